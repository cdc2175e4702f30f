// Pre-update: the new package unpacked into the staging folder, the IPC
// binding made, and the current installation backed up.
#include <shlwapi.h>

#include <memory>

#include "deploy/backup_manifest.h"
#include "platform/links.h"
#include "workfolders/handle_tree.h"
#include "hostagent/ipc.h"
#include "deploy/staging.h"
#include "log/log.h"
#include "update/update.h"
#include "update/update_context.h"

namespace ikx::update {
namespace {

constexpr char kPreUpdate[] = "vornExt_PreUpdate";

int32_t PrepareStaging(const std::wstring& staging, WorkFolder& held) {
    const StagingPrep prep = PrepareStagingFolder(staging, held);
    switch (prep.step) {
        case StagingPrep::kReady:
            return 0;
        case StagingPrep::kNotEmptied:
            LOG_WARN_AS(kPreUpdate, "Sensor folder (%ws) is not empty.\n", staging.c_str());
            return kFolderNotEmptied;
        case StagingPrep::kNotCleared:
            LOG_WARN_AS(kPreUpdate, "Clear Sensor folder failed, error: %d",
                        static_cast<int>(prep.error));
            return kClearFailed;
    }
    return kClearFailed;
}

// The package lies beside the file the framework names.
int32_t PackagePath(const void* options, std::wstring& package) {
    std::wstring filePath;
    const bool terminated = ReadOptionsFilePath(options, filePath);
    LOG_INFO_AS(kPreUpdate, "File path: %ws", filePath.c_str());
    const size_t slash = filePath.rfind(L'\\');
    if (!terminated || slash == std::wstring::npos) {
        LOG_WARN_AS(kPreUpdate, "File path invalid! [%ws]", filePath.c_str());
        return kInvalidArgument;
    }
    package = filePath.substr(0, slash + 1) + kPackageName;
    return 0;
}

// A missing inner archive reads as a failed package here.
constexpr ExtractStepTexts kExtractTexts = {
    "Decompress KX install pack failed.",
    "Decompress KX install pack failed.",
    "Decompress KX Engine pack failed.",
    "Decompress KX Core pack failed.",
};

// Unlike an install, both inner archives are not checked for first.
int32_t Unpack(const std::wstring& package, const StagingPaths& paths) {
    return ExtractStepSucceeded(ExtractSensorPackage(package, paths, false), kExtractTexts,
                                IKX_LOG_FILE, kPreUpdate)
               ? 0
               : kExtractOrBackupFailed;
}

bool IsEmptyFolder(HANDLE folder) {
    std::vector<ListedEntry> entries;
    return ListFolder(folder, entries) == 0 && entries.empty();
}

// An empty backup folder below the held staging folder, ready for the copy
// of the installation: made there, or emptied through its handle. `folder`
// stays without a handle when it could not be made; that shows as the copy's
// failure.
int32_t PrepareBackupFolder(const WorkFolder& staging, const std::wstring& backup,
                            UniqueFile& folder, DWORD& madeError) {
    constexpr wchar_t kBackup[] = L"Backup";
    constexpr ACCESS_MASK kAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES;
    DWORD attributes = 0;
    DWORD error = OpenBelow(staging.Handle(), kBackup, kAccess, folder);
    if (error == ERROR_FILE_NOT_FOUND) {
        madeError = CreateFolderBelow(staging.Handle(), kBackup, folder);
        return 0;
    }
    if (error == 0) error = AttributesOf(folder.get(), attributes);
    if (error == 0 && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        LOG_WARN_AS(kPreUpdate, "Backup folder exist but not directory");
        return kInvalidArgument;
    }
    // Emptiness is read again, not taken from the emptying's result: that
    // says only whether its last failing step was followed by one that worked.
    std::vector<Leftover> leftovers;
    if (error != 0 || IsReparsePoint(attributes) ||
        (!IsEmptyFolder(folder.get()) &&
         (EmptyThroughHandle(folder.get(), backup, leftovers) != 0 ||
          !IsEmptyFolder(folder.get())))) {
        LOG_WARN_AS(kPreUpdate, "Backup folder (%ws) is not empty.\n", backup.c_str());
        return kFolderNotEmptied;
    }
    return 0;
}

// The installation copied into the backup folder, read once: the manifest
// comes from the bytes as they are written, and is kept only once the whole
// copy is there, so a rollback can tell a finished backup.
int32_t BackUpInstallation(UpdateContext& context, const std::wstring& backup) {
    UniqueFile folder;
    DWORD madeError = 0;
    if (const int32_t result = PrepareBackupFolder(context.staging, backup, folder, madeError)) {
        return result;
    }
    auto manifest = std::make_unique<BackupManifest>();
    if (::GetFileAttributesW(context.installFolder) == INVALID_FILE_ATTRIBUTES) {
        IKX_LOG_FOR(kPreUpdate, kNotice, "KXE directory does not exist, skip backup.");
    } else if (const DWORD error = folder ? CopyInstallFolder(context.installFolder, backup,
                                                              folder.get(), *manifest)
                                          : madeError) {
        LOG_WARN_AS(kPreUpdate, "Backup KXE directory failed. (Error: %x)",
                    static_cast<unsigned>(error));
        return kExtractOrBackupFailed;
    }
    context.backup = std::move(manifest);
    return 0;
}

int32_t StageUpdate(const void* options, UpdateContext& update) {
    const StagingPaths paths = GetStagingPaths();
    if (const int32_t result = PrepareStaging(paths.sensor, update.staging)) return result;
    // A repeated pre-update on the same context binds afresh, not on top.
    DeInitNIPC(&update.ipc);
    if (!NIPC_BOUND_OR_LOGGED_AS(kPreUpdate, InitNIPC(&update.ipc))) {
        return kIpcFailed;
    }
    std::wstring package;
    if (const int32_t result = PackagePath(options, package)) return result;
    if (const int32_t result = Unpack(package, paths)) return result;
    CopySetupFiles(paths, false);  // the host agent's libraries stay where they are
    if (const int32_t result = BackUpInstallation(update, paths.backup)) return result;
    update.state = kStaged;
    return 0;
}

}  // namespace

int32_t vornExt_PreUpdate(const void* options, void* context) {
    if (const int32_t refused = CheckStageEntry(__func__, options, context)) return refused;
    auto& update = *static_cast<UpdateContext*>(context);
    // A repeated pre-update empties the staging folder, the old backup with
    // it: until it has staged anew there is nothing a rollback may restore.
    update.state = kCreated;
    update.backup.reset();
    if (!ClaimStagingFolder(&update)) {
        LOG_WARN("The Sensor folder is held by another deployment, pre-update refused.");
        return kFolderNotEmptied;
    }
    const int32_t result = StageUpdate(options, update);
    if (result != 0) {
        // Left as it is for the next deployment, which must be able to take it.
        update.staging.Release();
        ReleaseStagingFolder(&update);
    }
    return result;
}

}  // namespace ikx::update
