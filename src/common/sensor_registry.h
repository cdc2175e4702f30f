#pragma once
// The sensor's registry values, versions, install folder and fixed tables.
#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ikx {

constexpr wchar_t kKxcKey[] = L"SOFTWARE\\Corvask\\KXC";
constexpr wchar_t kKxeKey[] = L"SOFTWARE\\Corvask\\KXE";
// A sensor counts as a current installation from this major version on.
constexpr uint32_t kCurrentMajorVersion = 3;

constexpr wchar_t kClientService[] = L"QVKXC";
constexpr wchar_t kOldClientService[] = L"KXClient";
constexpr wchar_t kEngineService[] = L"QVKXE";
constexpr wchar_t kOldEngineService[] = L"KXE";

struct AgentComponent {
    uint32_t auid = 0;
    uint32_t au_klass = 3;
    std::string au_type;
    uint32_t au_platform_id = 0;
    uint32_t au_language_id = 1;
    std::string version_key;
    std::string download_time_key;
    std::string version;
    std::string download_time;
    std::string download_folder;
    std::wstring temp_folder;
    std::wstring file_prefix;
    std::wstring update_type;
};
using ComponentTable = std::map<uint32_t, AgentComponent>;
const ComponentTable& GetComponentTable();

struct SelfProtectionLists {
    std::vector<std::wstring> registryKeys;
    std::vector<std::wstring> processNames;
    std::vector<std::wstring> serviceKeys;
    std::vector<std::wstring> whitelistProcessNames;
};
const SelfProtectionLists& GetSelfProtectionLists();

LONG GetKxcVersion(uint32_t& major, uint32_t& minor, uint32_t& build);
LONG GetKxeVersion(uint32_t& major, uint32_t& minor, uint32_t& build);
LONG GetKxcVersionString(std::string& text);
// The major number of the client ("KXC") or engine ("KXE") version value;
// false when the value cannot be read.
bool ClientMajorVersion(uint32_t& major);
bool EngineMajorVersion(uint32_t& major);
// The version value reads, with a major number of at least 3.
bool IsCurrentClientVersion();
bool IsCurrentEngineVersion();
// The sensor install folder, ending with a backslash. False, with `folder`
// empty, only when no rule gives a folder that fits 260 units.
bool GetKxInstallFolder(std::wstring& folder);

bool SetPolicyIdRegKey(int64_t policyId);
bool SetPolicySettingRegKey(uint32_t setting);
bool GetPolicySetting(uint32_t& setting);

uint32_t StrToULong(const std::string& text, int base);
bool GetKxAgentComponentList(std::vector<AgentComponent>& list);
bool GetKxAgentComponent(uint32_t auid, AgentComponent& component);
uint32_t GetComponentVersion(uint32_t auid);
void FileTimeToDateString(uint64_t fileTime, std::string& text);
// Removes every "." from a version text (1.234.00 -> 123400).
std::string VersionWithoutDots(const std::string& version);

bool IsIKxInstalled();

}  // namespace ikx
