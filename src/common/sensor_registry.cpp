#include "common/sensor_registry.h"

#include <shlobj.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

#include "common/host_agent.h"
#include "common/registry.h"
#include "common/services.h"
#include "log/log.h"

namespace ikx {
namespace {

constexpr DWORD kVersionBytes = 520;
constexpr DWORD kInstallDirBytes = 522;
constexpr DWORD kAnsiValueBytes = 260;
constexpr size_t kFolderChars = 260;

AgentComponent MakeComponent(uint32_t auid, const char* versionKey, const char* timeKey,
                             const char* folder, const wchar_t* tempFolder, const wchar_t* prefix,
                             const wchar_t* updateType) {
    AgentComponent c;
    c.auid = auid;
    char hex[16] = {};
    std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(auid));
    c.au_type = hex;
    c.version_key = versionKey;
    c.download_time_key = timeKey;
    c.download_folder = folder;
    c.temp_folder = tempFolder;
    c.file_prefix = prefix;
    c.update_type = updateType;
    return c;
}

const ComponentTable g_componentTable = [] {
    ComponentTable table;
    for (AgentComponent c : {
             MakeComponent(0x48040184, "SLF_KernelGlobalVersion", "SLF_KernelGlobalDownloadTime",
                           "Pattern\\excpglbqv", L"temp\\Pattern\\excpglbqv", L"excpGlbQV",
                           L"ker_global"),
             MakeComponent(0x48040224, "SLF_ADECorvaskVersion", "SLF_ADECorvaskDownloadTime",
                           "Pattern\\kxadp", L"temp\\Pattern\\kxadp", L"ikx_adp_", L"fans_corvask"),
             MakeComponent(0x48040244, "XdrFilterVersion", "XdrFilterDownloadTime",
                           "Pattern\\qvxdrfilter", L"temp\\Pattern\\qvxdrfilter", L"qvxdrfilter",
                           L"xdr_filter"),
         }) {
        table.emplace(c.auid, c);
    }
    return table;
}();

const SelfProtectionLists g_selfProtectionLists = {
    {L"HKLM\\SOFTWARE\\Corvask\\KXC", L"HKLM\\SOFTWARE\\Corvask\\KXE"},
    {L"KXClient.exe", L"KXEServiceShell.exe", L"KXEFrameworkHost.exe"},
    {L"SYSTEM\\CurrentControlSet\\Services\\QVKXC", L"SYSTEM\\CurrentControlSet\\Services\\QVKXE",
     L"SYSTEM\\CurrentControlSet\\Services\\qvkxcore",
     L"SYSTEM\\CurrentControlSet\\Services\\qvkxflt",
     L"SYSTEM\\CurrentControlSet\\Services\\qvkxutil"},
    {L"KXClient.exe", L"KXEServiceShell.exe", L"KXEFrameworkHost.exe"},
};

LONG ReadVersion(const wchar_t* subkey, uint32_t& major, uint32_t& minor, uint32_t& build) {
    UniqueHkey key;
    LONG status = OpenKeyForRead(subkey, key);
    if (status != ERROR_SUCCESS) return status;
    std::wstring text;
    status = QueryWideString(key.get(), L"Version", kVersionBytes, text);
    if (status != ERROR_SUCCESS) return status;
    int parts[3] = {};
    const int parsed = swscanf(text.c_str(), L"%d.%d.%d", &parts[0], &parts[1], &parts[2]);
    if (parsed >= 1) major = static_cast<uint32_t>(parts[0]);
    if (parsed >= 2) minor = static_cast<uint32_t>(parts[1]);
    if (parsed >= 3) build = static_cast<uint32_t>(parts[2]);
    return ERROR_SUCCESS;
}

bool ReadInstallDir(std::wstring& folder) {
    UniqueHkey key;
    if (OpenKeyLegacy(kKxeKey, key) != ERROR_SUCCESS) return false;
    std::wstring value;
    if (QueryRegSz(key.get(), L"InstallDir", kInstallDirBytes, value) != ERROR_SUCCESS ||
        value.empty()) {
        return false;
    }
    if (value.back() != L'\\') value += L'\\';
    folder = value;
    return true;
}

std::wstring ProgramFilesX86() {
    wchar_t buffer[kFolderChars] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"ProgramFiles(x86)", buffer, kFolderChars);
    if (length > 0 && length < kFolderChars) return buffer;
    buffer[0] = L'\0';
    ::SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILESX86, nullptr, SHGFP_TYPE_CURRENT, buffer);
    return buffer;
}

// Each piece followed by a backslash, as the rules format their folders. A
// folder that does not fit the 260-unit buffer gives none: cut short, it
// would name another folder.
bool JoinFolder(std::initializer_list<std::wstring> pieces, std::wstring& folder) {
    std::wstring joined;
    for (const std::wstring& piece : pieces) joined += piece + L"\\";
    folder = joined.size() < kFolderChars ? joined : std::wstring();
    return !folder.empty();
}

}  // namespace

const ComponentTable& GetComponentTable() {
    return g_componentTable;
}
const SelfProtectionLists& GetSelfProtectionLists() {
    return g_selfProtectionLists;
}

LONG GetKxcVersion(uint32_t& major, uint32_t& minor, uint32_t& build) {
    return ReadVersion(kKxcKey, major, minor, build);
}

LONG GetKxeVersion(uint32_t& major, uint32_t& minor, uint32_t& build) {
    return ReadVersion(kKxeKey, major, minor, build);
}

LONG GetKxcVersionString(std::string& text) {
    text.clear();
    UniqueHkey key;
    LONG status = OpenKeyForRead(kKxcKey, key);
    if (status != ERROR_SUCCESS) return status;
    return QueryAnsiString(key.get(), "Version", kAnsiValueBytes, text);
}

bool ClientMajorVersion(uint32_t& major) {
    uint32_t minor = 0, build = 0;
    return GetKxcVersion(major, minor, build) == ERROR_SUCCESS;
}

bool EngineMajorVersion(uint32_t& major) {
    uint32_t minor = 0, build = 0;
    return GetKxeVersion(major, minor, build) == ERROR_SUCCESS;
}

bool IsCurrentClientVersion() {
    uint32_t major = 0;
    return ClientMajorVersion(major) && major >= kCurrentMajorVersion;
}

bool IsCurrentEngineVersion() {
    uint32_t major = 0;
    return EngineMajorVersion(major) && major >= kCurrentMajorVersion;
}

bool GetKxInstallFolder(std::wstring& folder) {
    if (ReadInstallDir(folder)) return true;
    std::wstring parent;
    if (GetIProductParentPath(parent) &&
        JoinFolder({parent, L"iService", L"iKX", L"KXE"}, folder)) {
        return true;
    }
    return JoinFolder({ProgramFilesX86(), L"Corvask", L"iService", L"iKX", L"KXE"}, folder);
}

bool IsIKxInstalled() {
    if ((scIsServiceInstalled(kClientService) == 1 ||
         scIsServiceInstalled(kOldClientService) == 1) &&
        IsCurrentClientVersion()) {
        return true;
    }
    return (scIsServiceInstalled(kEngineService) == 1 ||
            scIsServiceInstalled(kOldEngineService) == 1) &&
           IsCurrentEngineVersion();
}

}  // namespace ikx
