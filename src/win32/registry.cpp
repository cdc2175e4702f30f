#include "win32/registry.h"

#include <vector>

#include "platform/text.h"

namespace ikx {

LONG OpenKeyForRead(const wchar_t* subkey, UniqueHkey& key) {
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey, 0, KEY_READ, key.put());
}

LONG OpenKeyLegacy(const wchar_t* subkey, UniqueHkey& key) {
    return ::RegOpenKeyW(HKEY_LOCAL_MACHINE, subkey, key.put());
}

LONG QueryWideString(HKEY key, const wchar_t* name, DWORD maxBytes, std::wstring& out,
                     DWORD* type) {
    std::vector<wchar_t> buffer(maxBytes / sizeof(wchar_t) + 1, L'\0');
    DWORD size = maxBytes;
    DWORD stored = 0;
    const LONG status = ::RegQueryValueExW(key, name, nullptr, &stored,
                                           reinterpret_cast<BYTE*>(buffer.data()), &size);
    if (type) *type = stored;
    if (status == ERROR_SUCCESS) out.assign(buffer.data());
    // Values such as the API key pass through here: no copy outlives the read.
    ::SecureZeroMemory(buffer.data(), buffer.size() * sizeof(wchar_t));
    return status;
}

LONG QueryRegSz(HKEY key, const wchar_t* name, DWORD maxBytes, std::wstring& out) {
    out.clear();
    std::wstring value;
    DWORD type = 0;
    const LONG status = QueryWideString(key, name, maxBytes, value, &type);
    if (status != ERROR_SUCCESS) return status;
    if (type != REG_SZ) {
        WipeText(value);
        return ERROR_UNSUPPORTED_TYPE;
    }
    out.swap(value);  // handed over, not copied
    return ERROR_SUCCESS;
}

LONG QueryAnsiString(HKEY key, const char* name, DWORD maxBytes, std::string& out) {
    std::vector<char> buffer(maxBytes + 1, '\0');
    DWORD size = maxBytes;
    const LONG status = ::RegQueryValueExA(key, name, nullptr, nullptr,
                                           reinterpret_cast<BYTE*>(buffer.data()), &size);
    if (status != ERROR_SUCCESS) return status;
    out.assign(buffer.data());
    return ERROR_SUCCESS;
}

}  // namespace ikx
