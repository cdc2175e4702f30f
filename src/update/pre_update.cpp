// Pre-update: the new package unpacked into the staging folder, the IPC
// binding made, and the current installation backed up.
#include <shlwapi.h>

#include "common/file_ops.h"
#include "common/ipc.h"
#include "log/log.h"
#include "update/update.h"
#include "update/update_context.h"

namespace ikx::update {
namespace {

constexpr char kPreUpdate[] = "vornExt_PreUpdate";
constexpr wchar_t kPackageName[] = L"instupg_iKX.zip";
constexpr wchar_t kEngineArchive[] = L"KXEngineWin32.zip";
constexpr wchar_t kCoreArchive[] = L"KXCoreWin32.zip";
// Unlike an install, the host agent's libraries are not taken along.
constexpr const wchar_t* kUpgradeSetupFiles[] = {L"KXInstaller.exe", L"log4c.dll", L"logging.xml",
                                                 L"libDebugLogWriter.dll"};

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

int32_t ExtractPackage(const std::wstring& package, const std::wstring& staging) {
    if (!DecompressFile(package, staging)) {
        LOG_WARN_AS(kPreUpdate, "Decompress KX install pack failed.");
        return kExtractOrBackupFailed;
    }
    if (!DecompressFile(staging + L"\\" + kEngineArchive, staging)) {
        LOG_WARN_AS(kPreUpdate, "Decompress KX Engine pack failed.");
        return kExtractOrBackupFailed;
    }
    if (!DecompressFile(staging + L"\\" + kCoreArchive, staging + L"\\Package\\")) {
        LOG_WARN_AS(kPreUpdate, "Decompress KX Core pack failed.");
        return kExtractOrBackupFailed;
    }
    return 0;
}

void CopyUpgradeSetupFiles(const std::wstring& staging) {
    const std::wstring package = staging + L"\\Package\\";
    const std::wstring setup = staging + L"\\Setup\\";
    ::CreateDirectoryW(setup.c_str(), nullptr);
    for (const wchar_t* name : kUpgradeSetupFiles) {
        ::CopyFileW((package + name).c_str(), (setup + name).c_str(), FALSE);  // failures ignored
    }
}

// An empty backup folder, ready for the copy of the installation.
int32_t PrepareBackupFolder(const std::wstring& backup) {
    const DWORD attributes = ::GetFileAttributesW(WithoutTrailingBackslash(backup).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        ::CreateDirectoryW(backup.c_str(), nullptr);
        return 0;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        LOG_WARN_AS(kPreUpdate, "Backup folder exist but not directory");
        return kInvalidArgument;
    }
    if (!::PathIsDirectoryEmptyW(backup.c_str()) && CleanDirectory(backup.c_str(), false, false)) {
        LOG_WARN_AS(kPreUpdate, "Backup folder (%ws) is not empty.\n", backup.c_str());
        return kFolderNotEmptied;
    }
    return 0;
}

int32_t BackUpInstallation(const UpdateContext& context) {
    const std::wstring backup = BackupFolder();
    if (const int32_t result = PrepareBackupFolder(backup)) return result;
    if (::GetFileAttributesW(context.installFolder) == INVALID_FILE_ATTRIBUTES) {
        IKX_LOG_FOR(kPreUpdate, ::ikx::kNotice, "KXE directory does not exist, skip backup.");
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
    const std::wstring staging = StagingFolder();
    if (const int32_t result = ClearStagingFolder(staging)) return result;
    if (!InitNIPC(&update.ipc)) {
        LOG_WARN("Init NIPC failed");
        return kIpcFailed;
    }
    std::wstring package;
    if (const int32_t result = PackagePath(options, package)) return result;
    if (const int32_t result = ExtractPackage(package, staging)) return result;
    CopyUpgradeSetupFiles(staging);
    if (const int32_t result = BackUpInstallation(update)) return result;
    update.state = kStaged;
    return 0;
}

}  // namespace ikx::update
