#pragma once
// Looking up a bound library's exports by name.
#include <windows.h>

namespace ikx {

inline FARPROC Lookup(HMODULE module, const char* name) {
    return ::GetProcAddress(module, name);
}

// The export as the function pointer type the caller calls it through.
template <typename Fn>
Fn LookupAs(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

}  // namespace ikx
