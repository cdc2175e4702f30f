#pragma once
// A sibling iProduct's extension library, loaded through the host agent's
// verified loader.
#include <windows.h>

#include <cstdint>

namespace ikx {

// Bound for one use.
using SiblingInitFn = int32_t(__cdecl*)(int32_t, int32_t);
using SiblingRequestFn = int32_t(__cdecl*)(int32_t, uint32_t, const char*);
using SiblingQueryFn = int32_t(__cdecl*)(int32_t, uint32_t, const char*, uint32_t*, char**);
using SiblingFreeFn = int32_t(__cdecl*)(void*);
struct IProductVornExtObject {
    SiblingInitFn Init = nullptr;
    SiblingInitFn Deinit = nullptr;
    SiblingQueryFn OnQueryData = nullptr;
    SiblingRequestFn OnCommand = nullptr;
    SiblingRequestFn OnNotify = nullptr;
    FARPROC ParseLog = nullptr;
    SiblingFreeFn Free = nullptr;
    HMODULE module = nullptr;
};
bool InitIProductVornExtObj(const wchar_t* path, IProductVornExtObject* obj);

}  // namespace ikx
