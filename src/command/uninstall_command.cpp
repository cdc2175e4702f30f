// Removing the sensor: warn the running client, copy the install folder into
// the backup folder and run the installer found there, so that it can delete
// the install folder it would otherwise run from.
#include <windows.h>

#include "command/command_handlers.h"
#include "command/install_steps.h"
#include "deploy/backup_manifest.h"
#include "workfolders/handle_tree.h"
#include "hostagent/nipc_channel.h"
#include "sensor/sensor_registry.h"
#include "sensor/installed.h"
#include "log/log.h"
#include "platform/clock.h"

namespace ikx {
namespace {

constexpr char kHandler[] = "OnCommandUninstall";
constexpr DWORD kAfterNoticeMs = 10000;

// Staging folder present, ours and empty (as far as it could be emptied),
// then a fresh backup folder in it, then a copy of the install folder there.
bool PrepareBackup(const StagingPaths& paths, WorkFolder& staging) {
    const StagingPrep prep = PrepareStagingFolder(paths.sensor, staging);
    if (prep.step == StagingPrep::kNotCleared) {
        LOG_WARN_AS(kHandler, "Clear Sensor folder failed, error: %d",
                    static_cast<int>(prep.error));
        return false;
    }
    // Made below the staging folder's handle: nothing anyone does to the
    // path in the meantime redirects the copy.
    UniqueFile backup;
    if (const DWORD error = CreateFolderBelow(staging.Handle(), L"Backup", backup)) {
        LOG_WARN_AS(kHandler, "Create backup folder failed, error: %d", static_cast<int>(error));
        return false;
    }
    std::wstring installFolder;
    BackupManifest copiedFiles;  // an uninstall keeps no record of its copy
    const DWORD copied =
        GetKxInstallFolder(installFolder)
            ? CopyInstallFolder(installFolder, paths.backup, backup.get(), copiedFiles)
            : static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE);
    if (copied != 0) {
        LOG_WARN_AS(kHandler, "Backup KXE directory failed. (Error: %x)",
                    static_cast<unsigned>(copied));
        return false;
    }
    return true;
}

bool RemoveWithBackup(NipcObject& ipc) {
    SendNIPCCmdToKxAgent(&ipc, kNipcTypeNoReply, kKxCmdUninstallNotice, nullptr, 0, nullptr);
    SleepMs(kAfterNoticeMs);  // lets the client finish what it is doing
    const StagingPaths paths = GetStagingPaths();
    WorkFolder staging;
    if (!PrepareBackup(paths, staging)) return false;

    const bool removed = UninstallIKX(ipc, paths);
    if (!removed) LOG_TRACE_AS(kHandler, "Trigger uninstall failed");
    SYSTEMTIME now = {};
    ::GetLocalTime(&now);
    KeepLog(staging, {L"Backup\\debug", paths.backup + L"debug"}, kInstallerLog, L"KXC_debug",
            L"Uninstall", now);
    RemoveStagingFolder(staging, paths.sensor);
    return removed;
}

}  // namespace

bool UninstallIKX(NipcObject& ipc, const StagingPaths& paths) {
    LOG_TRACE("Enter UninstallIKX");
    // Run from the copy, never from the install folder it removes.
    const bool removed =
        TriggerInstaller(paths.backup + kInstallerName, paths.backup, ipc, kInstallerCmdUninstall);
    if (!removed) LOG_WARN("Trigger uninstallI failed");
    return removed;
}

bool OnCommandUninstall(const Json::Value&, Json::Value& response) {
    if (!HasSensorToRemove(ReadSensorSnapshot())) {
        LOG_INFO("[iKX] KXC has not been installed.");
        response["result_code"] = 0;
        return true;
    }
    // A staged update's backup lives in the staging folder: never emptied under it.
    const StagingClaim claim;
    if (!claim.Held()) {
        LOG_WARN("The Sensor folder is held by a staged update, uninstall refused.");
        response["result_code"] = 1;
        return false;
    }
    NipcChannel ipc;
    if (!NIPC_BOUND_OR_LOGGED(ipc.Bound())) {
        response["result_code"] = 1;
        return false;
    }
    const bool removed = RemoveWithBackup(*ipc.get());
    ipc.Release();
    response["result_code"] = removed ? 0 : 1;
    return removed;
}

}  // namespace ikx
