#pragma once
// Where the sensor keeps its values, what it protects, and where it is installed.
#include <string>
#include <vector>

namespace ikx {

constexpr wchar_t kKxcKey[] = L"SOFTWARE\\Corvask\\KXC";
constexpr wchar_t kKxeKey[] = L"SOFTWARE\\Corvask\\KXE";

struct SelfProtectionLists {
    std::vector<std::wstring> registryKeys;
    std::vector<std::wstring> processNames;
    std::vector<std::wstring> serviceKeys;
    std::vector<std::wstring> whitelistProcessNames;
};
const SelfProtectionLists& GetSelfProtectionLists();

// The sensor install folder, ending with a backslash. False, with `folder`
// empty, only when no rule gives a folder that fits 260 units.
bool GetKxInstallFolder(std::wstring& folder);

}  // namespace ikx
