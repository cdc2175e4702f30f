#include "sensor/versions.h"

#include "platform/text.h"
#include "sensor/sensor_registry.h"
#include "sensor/version_text.h"
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
    const VersionFields version = ParseVersionFields(Utf16Of(text.c_str()));
    if (version.fields >= 1) major = static_cast<uint32_t>(version.part[0]);
    if (version.fields >= 2) minor = static_cast<uint32_t>(version.part[1]);
    if (version.fields >= 3) build = static_cast<uint32_t>(version.part[2]);
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

}  // namespace ikx
