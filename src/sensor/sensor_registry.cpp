#include "sensor/sensor_registry.h"

#include <shlobj.h>

#include <initializer_list>

#include "hostagent/host_agent.h"
#include "win32/registry.h"
#include "log/log.h"

namespace ikx {
namespace {

constexpr DWORD kInstallDirBytes = 522;
constexpr size_t kFolderChars = 260;

const SelfProtectionLists g_selfProtectionLists = {
    {L"HKLM\\SOFTWARE\\Corvask\\KXC", L"HKLM\\SOFTWARE\\Corvask\\KXE"},
    {L"KXClient.exe", L"KXEServiceShell.exe", L"KXEFrameworkHost.exe"},
    {L"SYSTEM\\CurrentControlSet\\Services\\QVKXC", L"SYSTEM\\CurrentControlSet\\Services\\QVKXE",
     L"SYSTEM\\CurrentControlSet\\Services\\qvkxcore",
     L"SYSTEM\\CurrentControlSet\\Services\\qvkxflt",
     L"SYSTEM\\CurrentControlSet\\Services\\qvkxutil"},
    {L"KXClient.exe", L"KXEServiceShell.exe", L"KXEFrameworkHost.exe"},
};

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

const SelfProtectionLists& GetSelfProtectionLists() {
    return g_selfProtectionLists;
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

}  // namespace ikx
