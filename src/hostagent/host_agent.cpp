#include "hostagent/host_agent.h"

#include "win32/registry.h"
#include "platform/text.h"
#include "log/log.h"

namespace ikx {
namespace {

constexpr DWORD kPathBytes = 520;
constexpr DWORD kGuidBytes = 128;

// 0 when the key cannot be opened; -1 when the value cannot be read; 1 on success.
int ReadApplicationPath(std::wstring& folder) {
    UniqueHkey key;
    if (OpenKeyForRead(kHostAgentKey, key) != ERROR_SUCCESS) return 0;
    return QueryWideString(key.get(), L"Application Path", kPathBytes, folder) == ERROR_SUCCESS
               ? 1
               : -1;
}

}  // namespace

bool GetPelmoClientInsallPath(std::wstring& folder) {
    std::wstring value;
    const int read = ReadApplicationPath(value);
    if (read < 0) LOG_WARN("Failed to retrieve Pelmo client installation path");
    if (read <= 0) return false;
    folder = value;
    return true;
}

bool GetIProductParentPath(std::wstring& folder) {
    std::wstring value;
    const int read = ReadApplicationPath(value);
    if (read < 0) LOG_WARN("Failed to retrieve iProduct client parent installation path");
    if (read <= 0) return false;
    if (!value.empty()) value.pop_back();
    const size_t slash = value.rfind(L'\\');
    folder = slash == std::wstring::npos ? std::wstring() : value.substr(0, slash + 1);
    return true;
}

bool GetPelmoClientGUID(std::string& guid) {
    UniqueHkey key;
    LONG status = OpenKeyForRead(kHostAgentKey, key);
    if (status != ERROR_SUCCESS) {
        LOG_WARN("Agent GUID open key error=%d", static_cast<int>(status));
        return false;
    }
    std::wstring value;
    status = QueryWideString(key.get(), L"GUID", kGuidBytes, value);
    if (status != ERROR_SUCCESS) {
        LOG_WARN("Agent GUID query value error=%d", static_cast<int>(status));
        return false;
    }
    guid = WideToMultiByte(value, kCodePageAnsi);
    return true;
}

}  // namespace ikx
