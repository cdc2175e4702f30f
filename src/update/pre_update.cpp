// Pre-update: the new package unpacked into the staging folder, the IPC
// binding made, and the current installation backed up.
#include <shlwapi.h>

#include "common/file_ops.h"
#include "common/ipc.h"
#include "common/staging.h"
#include "log/log.h"
#include "update/update.h"
#include "update/update_context.h"

namespace ikx::update {
namespace {

constexpr char kPreUpdate[] = "vornExt_PreUpdate";

int32_t PrepareStaging(const std::wstring& staging) {
    const StagingPrep prep = PrepareStagingFolder(staging);
    switch (prep.step) {
        case StagingPrep::kReady:
            return 0;
        case StagingPrep::kNotEmptied:
            LOG_WARN_AS(kPreUpdate, "Sensor folder (%ws) is not empty.\n", staging.c_str());
            return kFolderNotEmptied;
        case StagingPrep::kFileNotDeleted:
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

// Unlike an install, both inner archives are not checked for first.
int32_t Unpack(const std::wstring& package, const StagingPaths& paths) {
    switch (ExtractSensorPackage(package, paths, false)) {
        case ExtractStep::kDone:
            return 0;
        case ExtractStep::kPackage:
        case ExtractStep::kArchivesMissing:
            LOG_WARN_AS(kPreUpdate, "Decompress KX install pack failed.");
            break;
        case ExtractStep::kEngine:
            LOG_WARN_AS(kPreUpdate, "Decompress KX Engine pack failed.");
            break;
        case ExtractStep::kCore:
            LOG_WARN_AS(kPreUpdate, "Decompress KX Core pack failed.");
            break;
    }
    return kExtractOrBackupFailed;
}

// An empty backup folder, ready for the copy of the installation.
int32_t PrepareBackupFolder(const std::wstring& backup) {
    switch (GetPathKind(backup)) {
        case PathKind::kMissing:
            ::CreateDirectoryW(backup.c_str(), nullptr);
            return 0;
        case PathKind::kFile:
            LOG_WARN_AS(kPreUpdate, "Backup folder exist but not directory");
            return kInvalidArgument;
        case PathKind::kDirectory:
            break;
    }
    if (!::PathIsDirectoryEmptyW(backup.c_str()) && CleanDirectory(backup.c_str(), false, false)) {
        LOG_WARN_AS(kPreUpdate, "Backup folder (%ws) is not empty.\n", backup.c_str());
        return kFolderNotEmptied;
    }
    return 0;
}

int32_t BackUpInstallation(const UpdateContext& context, const std::wstring& backup) {
    if (const int32_t result = PrepareBackupFolder(backup)) return result;
    if (::GetFileAttributesW(context.installFolder) == INVALID_FILE_ATTRIBUTES) {
        IKX_LOG_FOR(kPreUpdate, kNotice, "KXE directory does not exist, skip backup.");
        return 0;
    }
    if (const DWORD error = CopyDirectory(context.installFolder, backup.c_str())) {
        LOG_WARN_AS(kPreUpdate, "Backup KXE directory failed. (Error: %x)",
                    static_cast<unsigned>(error));
        return kExtractOrBackupFailed;
    }
    return 0;
}

}  // namespace

int32_t vornExt_PreUpdate(const void* options, void* context) {
    if (const int32_t refused = CheckStageEntry(__func__, options, context)) return refused;
    auto& update = *static_cast<UpdateContext*>(context);
    const StagingPaths paths = GetStagingPaths();
    if (const int32_t result = PrepareStaging(paths.sensor)) return result;
    // A repeated pre-update on the same context binds afresh, not on top.
    DeInitNIPC(&update.ipc);
    if (!InitNIPC(&update.ipc)) {
        LOG_WARN("Init NIPC failed");
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

}  // namespace ikx::update
