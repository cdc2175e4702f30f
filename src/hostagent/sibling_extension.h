#pragma once
// A sibling iProduct's extension library, loaded through the host agent's
// verified loader.
#include <windows.h>

#include <cstdint>
#include <functional>

#include "platform/bound_library.h"

namespace ikx {

using SiblingInitFn = int32_t(__cdecl*)(int32_t, int32_t);
using SiblingRequestFn = int32_t(__cdecl*)(int32_t, uint32_t, const char*);
using SiblingQueryFn = int32_t(__cdecl*)(int32_t, uint32_t, const char*, uint32_t*, char**);
using SiblingFreeFn = int32_t(__cdecl*)(void*);

// All seven are required, vornExt_ParseLog too although nothing calls it.
struct SiblingEntryPoints {
    SiblingInitFn Init = nullptr;
    SiblingInitFn Deinit = nullptr;
    SiblingQueryFn OnQueryData = nullptr;
    SiblingRequestFn OnCommand = nullptr;
    SiblingRequestFn OnNotify = nullptr;
    FARPROC ParseLog = nullptr;
    SiblingFreeFn Free = nullptr;

    void Resolve(ExportLookup& find);
};
using IProductVornExtObject = BoundLibrary<SiblingEntryPoints>;

bool InitIProductVornExtObj(const wchar_t* path, IProductVornExtObject* obj);

// Binds iBorda's extension library from the host agent's folder and runs
// `use` between its vornExt_Init and vornExt_Deinit. False when the library
// cannot be had; "Cannot get Pelmo folder." or "Cannot load iBorda's ext dll."
// then goes on a warning record in the caller's module, line and function.
bool UseBordaExtension(const std::function<void(const SiblingEntryPoints&)>& use,
                       const char* logFile, int line, const char* function);

}  // namespace ikx

#define USE_BORDA_EXTENSION(use) ::ikx::UseBordaExtension((use), IKX_LOG_FILE, __LINE__, __func__)
