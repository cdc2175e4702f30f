#pragma once
// Registry reads and writes under HKEY_LOCAL_MACHINE in the default view.
// Results are registry statuses (0 = success), as the callers pass them on.
#include <windows.h>

#include <string>

#include "platform/handles.h"

namespace ikx {

LONG OpenKeyForRead(const wchar_t* subkey, UniqueHkey& key);
// The legacy open (default access) that the policy values and install folder use.
LONG OpenKeyLegacy(const wchar_t* subkey, UniqueHkey& key);

// Reads a string value into a zeroed buffer of `maxBytes`; a longer value fails
// with ERROR_MORE_DATA. `type` receives the stored type when given.
LONG QueryWideString(HKEY key, const wchar_t* name, DWORD maxBytes, std::wstring& out,
                     DWORD* type = nullptr);
// The same for a value that must be REG_SZ: any other type fails with
// ERROR_UNSUPPORTED_TYPE and leaves `out` empty, never holding raw bytes.
LONG QueryRegSz(HKEY key, const wchar_t* name, DWORD maxBytes, std::wstring& out);
LONG QueryAnsiString(HKEY key, const char* name, DWORD maxBytes, std::string& out);

}  // namespace ikx
