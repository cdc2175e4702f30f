// The two ways an update ends: post-update after a successful installer run,
// rollback when the framework abandons the upgrade.
#include <cwchar>

#include "deploy/backup_manifest.h"
#include "deploy/backup_restore.h"
#include "workfolders/work_folders.h"
#include "sensor/sensor_registry.h"
#include "deploy/staging.h"
#include "log/log.h"
#include "platform/handles.h"
#include "update/service_names.h"
#include "update/update.h"
#include "update/update_context.h"

namespace ikx::update {
namespace {

constexpr size_t kVersionTextUnits = 20;

// Best effort, as the sensor may be half gone: failures are not reported.
void WriteBackClientVersion(const UpdateContext& context) {
    wchar_t text[kVersionTextUnits] = {};
    _snwprintf_s(text, kVersionTextUnits, _TRUNCATE, L"%d.%d.%d",
                 static_cast<int>(context.versionMajor), static_cast<int>(context.versionMinor),
                 static_cast<int>(context.versionBuild));
    UniqueHkey key;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKxcKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                          key.put(), nullptr) != ERROR_SUCCESS) {
        return;
    }
    const auto bytes = static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t));
    ::RegSetValueExW(key.get(), L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes);
}

constexpr char kRollback[] = "vornExt_Rollback";

// Whether the backup still holds what pre-update recorded once it was whole;
// without that the install folder is better left as it is than emptied.
bool BackupIsWhole(const UpdateContext& context, const StagingPaths& paths) {
    if (!context.backup || !context.staging.Held()) {
        LOG_WARN_AS(kRollback, "No whole backup to restore, the install folder is left as it is.");
        return false;
    }
    BackupManifest found;
    const DWORD error = ReadManifest(paths.backup, found);
    const std::wstring differs = FirstManifestDifference(*context.backup, found);
    if (error != 0 || !differs.empty()) {
        LOG_WARN_AS(kRollback,
                    "The backup no longer matches what was backed up (%ws, error %d), the install "
                    "folder is left as it is.",
                    differs.c_str(), static_cast<int>(error));
        return false;
    }
    return true;
}

void RestoreBackup(const UpdateContext& context, const StagingPaths& paths) {
    if (!BackupIsWhole(context, paths)) return;
    if (HoldsWhatMustStay(context.installFolder)) {
        LOG_WARN_AS(kRollback,
                    "The install folder (%ws) holds the host agent or a system folder, the backup "
                    "is not restored.",
                    context.installFolder);
        return;
    }
    // Whatever can be put back is put back; nothing is removed that the
    // backup cannot replace. Then the folder is compared with the backup.
    const std::vector<RestoreFailure> failures =
        RestoreBackup(paths.backup, context.installFolder, *context.backup);
    for (const RestoreFailure& failure : failures) {
        LOG_WARN_AS(kRollback, "Could not restore (%ws) from the backup. (Error: %d)",
                    failure.path.c_str(), static_cast<int>(failure.error));
    }
    // Every file copied came from the verified backup, so the listing tells
    // the rest: what is there, and with which sizes. A file that could not
    // be restored is a difference whatever its size.
    BackupManifest restored;
    const DWORD error = ReadManifest(context.installFolder, restored, ManifestDepth::kSizes);
    std::wstring differs =
        FirstManifestDifference(*context.backup, restored, ManifestDepth::kSizes);
    if (!failures.empty() && (differs.empty() || failures.front().path < differs)) {
        differs = failures.front().path;
    }
    if (error != 0 || !differs.empty()) {
        LOG_WARN_AS(kRollback,
                    "The restored install folder does not match the backup (%ws, error %d).",
                    differs.c_str(), static_cast<int>(error));
    }
}

// The staging folder is removed only by the update that holds it, or when no
// deployment does: an install or uninstall may be using it now.
void RemoveStaging(UpdateContext& context, const StagingPaths& paths) {
    if (!ClaimStagingFolder(&context)) return;
    RemoveStagingFolder(context.staging, paths.sensor);
    ReleaseStagingFolder(&context);
}

// Both kept names carry one local time. They are read only through the
// staging folder the context holds: after a pre-update that failed, what is
// at its name now is anyone's.
void KeepUpgradeLogs(const UpdateContext& context, const StagingPaths& paths) {
    SYSTEMTIME now = {};
    ::GetLocalTime(&now);
    const KeptLogSource debug = {L"Setup\\debug", paths.setup + L"debug"};
    KeepLog(context.staging, debug, kInstallerLog, L"KXC_debug", L"Upgrade", now);
    KeepLog(context.staging, debug, L"Torv_Event.log", L"Torv_Event", L"Upgrade", now);
}

}  // namespace

int32_t vornExt_PostUpdate(const void* options, void* context) {
    if (const int32_t refused = CheckStageEntry(__func__, options, context)) return refused;
    auto& update = *static_cast<UpdateContext*>(context);
    update.state = kPostUpdating;
    const StagingPaths paths = GetStagingPaths();
    KeepUpgradeLogs(update, paths);
    RemoveStaging(update, paths);
    // The sensor's own folder, which users may write to: moved aside, not walked.
    MoveAside(paths.sensorData, Aside::kDelete);
    DeInitNIPC(&update.ipc);
    update.state = kFinished;
    return 0;
}

int32_t vornExt_Rollback(const void* options, void* context) {
    if (const int32_t refused = CheckStageEntry(__func__, options, context)) return refused;
    auto& update = *static_cast<UpdateContext*>(context);
    if (update.state >= kPostUpdating) {
        LOG_WARN("Already invoke PostUpdate, should not rollback after that.");
        return kRollbackRefused;
    }
    const StagingPaths paths = GetStagingPaths();
    // Without a finished pre-update there is no backup to restore.
    if (update.state >= kStaged) RestoreBackup(update, paths);
    update.state = kRollingBack;
    RestoreOldServiceNames(update);
    WriteBackClientVersion(update);
    KeepUpgradeLogs(update, paths);
    RemoveStaging(update, paths);
    update.backup.reset();
    update.state = kFinished;
    return 0;
}

}  // namespace ikx::update
