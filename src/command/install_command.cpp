// Installing the sensor from the package the framework downloaded: unpack it
// into the staging folder, take an old (pre-3.x) installation off the
// server, run the package's installer, then clear the old installation's
// traces. Every exit after the staging folder was prepared ends alike.
#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>

#include "command/command_handlers.h"
#include "command/install_steps.h"
#include "win32/file_ops.h"
#include "win32/folder_rules.h"
#include "deploy/installer_run.h"
#include "hostagent/nipc_channel.h"
#include "win32/processes.h"
#include "win32/registry.h"
#include "workfolders/child_environment.h"
#include "sensor/sensor_registry.h"
#include "sensor/installed.h"
#include "platform/text.h"
#include "log/log.h"

namespace ikx {
namespace {

constexpr char kHandler[] = "OnCommandInstall";
constexpr DWORD kOldFolderBytes = 522;  // 261 wide characters
constexpr DWORD kClientValueBytes = 520;
constexpr size_t kArgumentChars = 520;
constexpr DWORD kFullPathChars = 260;

// The Windows Installer registration of the old sensor, per Windows bitness.
struct MsiProduct {
    const wchar_t* productCode;
    const wchar_t* packedCode;
};
constexpr MsiProduct kOldProduct64 = {L"{4F7A2C19-8E3B-4D61-9B2F-5C8E1A7D3B60}",
                                      L"91C2A7F4B3E816D4B9F2C5E8A1D7B306"};
constexpr MsiProduct kOldProduct32 = {L"{A53E9D07-2B6C-4F18-8D4A-E1C7B9205F3E}",
                                      L"70D9E35AC6B281F4D8A41E7C9B02F5E3"};
constexpr wchar_t kOldComponentKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Components\\"
    L"A3B5E1C742D9F8A46B0EF3D2C8A9E175";
constexpr wchar_t kUserDataProducts[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Products\\";
constexpr wchar_t kUninstallKeys[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

// PkgPath as text; any other JSON type, or none, reads as empty: a number is
// no folder, and an array or object names none.
std::wstring PackageFile(const Json::Value& request) {
    const Json::Value& none = Json::Value::nullSingleton();
    const Json::Value& data = request.isObject() ? request["command_data"] : none;
    const Json::Value& path = data.isObject() ? data["PkgPath"] : none;
    std::wstring folder;
    if (path.isString()) folder = MultiByteToWide(path.asString(), kCodePageUtf8);
    if (folder.empty() || folder.back() != L'\\') folder += L'\\';
    return folder + kPackageName;
}

bool PrepareStaging(const std::wstring& folder, WorkFolder& staging) {
    const StagingPrep prep = PrepareStagingFolder(folder, staging);
    if (prep.step == StagingPrep::kNotEmptied) {
        LOG_WARN_AS(kHandler, "Sensor folder (%ws) is not empty.\n", folder.c_str());
    } else if (prep.step == StagingPrep::kNotCleared) {
        LOG_WARN_AS(kHandler, "Clear Sensor folder failed, error: %d",
                    static_cast<int>(prep.error));
    }
    return prep.step == StagingPrep::kReady;
}

constexpr ExtractStepTexts kExtractTexts = {
    "Decompress KX install package failed.",
    "The install package is invalid.",
    "Decompress KX Engine pack failed.",
    "Decompress KX Core pack failed.",
};

bool Unpack(const std::wstring& package, const StagingPaths& paths) {
    return ExtractStepSucceeded(ExtractSensorPackage(package, paths, true), kExtractTexts,
                                IKX_LOG_FILE, kHandler);
}

std::wstring OldInstallFolder() {
    std::wstring folder;
    UniqueHkey key;
    if (OpenKeyForRead(kKxcKey, key) == ERROR_SUCCESS) {
        QueryRegSz(key.get(), L"InstallPath", kOldFolderBytes, folder);
    }
    if (!folder.empty()) return folder;
    wchar_t programFiles[MAX_PATH] = {};
    ::SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, programFiles);
    return std::wstring(programFiles) + L"\\" + L"Corvask\\KXE";
}

// A plain delete: a key that still has subkeys stays, and failures are ignored.
void DeleteMsiRegistration(const MsiProduct& product) {
    const std::wstring packed = product.packedCode;
    ::RegDeleteKeyW(HKEY_CLASSES_ROOT, (L"Installer\\Products\\" + packed).c_str());
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE,
                    (L"SOFTWARE\\Classes\\Installer\\Products\\" + packed).c_str());
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kOldComponentKey);
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, (kUserDataProducts + packed).c_str());
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE,
                    (kUninstallKeys + std::wstring(product.productCode)).c_str());
}

// Removes the old folder unless it is where the new sensor now lives. When
// either path cannot be normalised the folder is kept: it might be the new one.
// Nor is it removed when it holds the new installation or the host agent, or
// is a root or system folder: an old "InstallPath" of "C:" or of a parent of
// the new folder would take everything below with it.
void RemoveOldFolder(const std::wstring& oldFolder) {
    std::wstring current, oldFull, currentFull;
    // An unknown current folder is judged like one that cannot be normalised.
    if (!GetKxInstallFolder(current)) ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
    if (current.empty() || !NormalizeFolder(oldFolder, oldFull, kFullPathChars) ||
        !NormalizeFolder(current, currentFull, kFullPathChars)) {
        LOG_WARN_AS(kHandler, "Can't normalize the install folder. (Error: %d)",
                    static_cast<int>(::GetLastError()));
        return;
    }
    if (_wcsicmp(oldFull.c_str(), currentFull.c_str()) == 0) {
        LOG_INFO_AS(kHandler, "The old install folder is same as the new one, skip delete.");
        return;
    }
    if (HoldsWhatMustStay(oldFull)) {
        LOG_WARN_AS(kHandler,
                    "The old install folder (%ws) holds the new installation, the host agent or a "
                    "system folder, skip delete.",
                    oldFull.c_str());
        return;
    }
    CleanDirectory(oldFolder.c_str(), true, true);
}

// Steps from the unpacking to the old installation's clean-up; the caller
// ends every outcome alike.
bool InstallFromPackage(const std::wstring& package, const StagingPaths& paths,
                        NipcChannel& channel) {
    if (!Unpack(package, paths)) return false;
    CopySetupFiles(paths, true);
    if (!NIPC_BOUND_OR_LOGGED_AS(kHandler, channel.Bind())) {
        return false;
    }
    const bool old = IsOldInstallation(ReadSensorSnapshot());
    std::wstring oldFolder;
    if (old) {
        LOG_WARN_AS(kHandler, "There is an old QVKX exist");
        oldFolder = OldInstallFolder();
        LOG_INFO_AS(kHandler, "Try to unregister QVKX to server");
        UnRegisterClient();
    }
    const bool isWow64 = IsWow64();
    if (!InstallIKX(*channel.get(), paths, old, isWow64)) {
        LOG_TRACE_AS(kHandler, "Trigger installer failed");
        return false;
    }
    if (old) {
        DeleteMsiRegistration(isWow64 ? kOldProduct64 : kOldProduct32);
        RemoveOldFolder(oldFolder);
    }
    return true;
}

}  // namespace

bool TriggerInstaller(const std::wstring& installer, const std::wstring& workingFolder,
                      NipcObject& ipc, uint32_t code) {
    InstallerRun run;
    run.installer = installer;
    run.workingFolder = workingFolder;
    run.ipc = &ipc;
    run.code = code;
    run.creationFlags = CREATE_NO_WINDOW;
    run.logFile = IKX_LOG_FILE;
    run.function = __func__;
    run.announceWait = true;
    return RunInstaller(run).Succeeded();
}

bool InstallIKX(NipcObject& ipc, const StagingPaths& paths, bool oldFound, bool isWow64) {
    LOG_TRACE("Enter InstallIKX");
    // The package brings the runtime installers; whether one ran does not matter.
    ChildEnvironment runtime;
    CheckAndInstallVcRedistributable(paths.setup, isWow64, runtime);
    const uint32_t code = kInstallerCmdInstall + 2 * (oldFound ? 1 : 0);
    const bool installed = TriggerInstaller(paths.setup + kInstallerName, paths.setup, ipc, code);
    if (!installed) LOG_WARN("Trigger installer failed");
    return installed;
}

bool UnRegisterClient() {
    UniqueHkey key;
    if (OpenKeyLegacy(kKxcKey, key) != ERROR_SUCCESS) {
        LOG_WARN("Open KXC registry key failed");
        return false;
    }
    std::wstring installPath, agentGuid, apiKey;
    if (QueryRegSz(key.get(), L"InstallPath", kClientValueBytes, installPath) != ERROR_SUCCESS) {
        LOG_WARN("Get QVKX install path failed.");
    } else if (QueryRegSz(key.get(), L"Agent GUID", kClientValueBytes, agentGuid) !=
               ERROR_SUCCESS) {
        LOG_WARN("Get QVKX agent GUID failed.");
    } else if (QueryRegSz(key.get(), L"API Key", kClientValueBytes, apiKey) != ERROR_SUCCESS) {
        LOG_WARN("Get QVKX API key failed.");
    }
    key.reset();

    const std::wstring program = installPath + L"\\" + L"KXClient.exe";
    wchar_t arguments[kArgumentChars] = {};
    _snwprintf_s(arguments, kArgumentChars, _TRUNCATE,
                 L"-c=Unregister -Agent_guid=%ls -API_Key=%ls", agentGuid.c_str(), apiKey.c_str());
    // The credential goes on the client's command line and nowhere else.
    LOG_INFO("Unregister To Server...");
    ChildEnvironment child;
    const bool ran = LaunchCmd(program.c_str(), arguments, child);
    ::SecureZeroMemory(arguments, sizeof arguments);
    WipeText(apiKey);
    if (!ran) LOG_WARN("Unregister To Server failed");
    return ran;
}

bool OnCommandInstall(const Json::Value& request, Json::Value& response) {
    const std::wstring package = PackageFile(request);
    if (!::PathFileExistsW(package.c_str())) {
        LOG_WARN("Can't find install package.");
        response["result_code"] = 2;
        return false;
    }
    // A staged update's backup lives in the staging folder: never emptied under it.
    const StagingClaim claim;
    if (!claim.Held()) {
        LOG_WARN("The Sensor folder is held by a staged update, install refused.");
        response["result_code"] = 1;
        return false;
    }
    const StagingPaths paths = GetStagingPaths();
    WorkFolder staging;
    if (!PrepareStaging(paths.sensor, staging)) {
        response["result_code"] = 1;
        return false;
    }
    NipcChannel channel{NipcChannel::Deferred()};
    const bool installed = InstallFromPackage(package, paths, channel);
    channel.Release();
    SYSTEMTIME now = {};
    ::GetLocalTime(&now);
    KeepLog(staging, {L"Setup\\debug", paths.setup + L"debug"}, kInstallerLog, L"KXC_debug",
            L"Install", now);
    RemoveStagingFolder(staging, paths.sensor);
    response["result_code"] = installed ? 0 : 1;
    return installed;
}

}  // namespace ikx
