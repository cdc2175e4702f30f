#include "sensor/versions.h"

#include <cwchar>

#include "sensor/sensor_registry.h"
#include "win32/registry.h"

namespace ikx {
namespace {

constexpr DWORD kVersionBytes = 520;
constexpr DWORD kAnsiValueBytes = 260;

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

}  // namespace

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

}  // namespace ikx
