#pragma once
// Binding of the host agent library after checking its integrity flag and
// signer ourselves, and of the maker's other libraries through its verified
// loader.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace ikx {

constexpr wchar_t kExpectedSigner[] = L"Corvask, Inc.";
constexpr size_t kSignerNameChars = 260;

using LoadLibraryWithSignCheckFn = HMODULE(__cdecl*)(const wchar_t* signer, const wchar_t* path);
using VerifyLoaderProcessSignFn = int(__cdecl*)(const wchar_t* signer);

struct VornAgentObject {
    HMODULE module = nullptr;
    FARPROC SystemCall = nullptr;
    FARPROC Free = nullptr;
    FARPROC CreateProcessWithSignCheck = nullptr;
    std::atomic<LoadLibraryWithSignCheckFn> LoadLibraryWithSignCheck{nullptr};
    FARPROC VerifyEmbeddedSignature = nullptr;
    FARPROC VerifyEmbeddedSignatureAndSigner = nullptr;
    // Set last and cleared first: a non-null value means "bound".
    std::atomic<VerifyLoaderProcessSignFn> VerifyLoaderProcessSign{nullptr};
};
extern VornAgentObject VornAgentObj;

bool InitVornAgentObj();
// Clears the seven pointers and releases the module (the last Deinit).
void ReleaseVornAgentObj();
bool IsVornAgentBound();

int IsIntegrityCheckEnabled(const wchar_t* path);
// Non-zero when the file carries an embedded signature; `name` (260 units,
// zeroed by the caller) receives the signer's display name.
int GetSignerNamer(const wchar_t* path, wchar_t* name);

// A sibling iProduct's extension library, bound for one use.
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

// The host agent's HTTP library, bound for each send. The response text
// pointer is handed over for the library to fill; it is never read back.
using QvSendHttpFn = int32_t(__cdecl*)(const char* path, int32_t, const char* body,
                                       uint32_t bodyLength, int32_t, uint32_t* httpStatus,
                                       char** responseText, int32_t);
struct QvsockObject {
    QvSendHttpFn qvSendHttpToPelmoServer = nullptr;
    HMODULE module = nullptr;
};
bool InitQvsockObj(QvsockObject* obj);

// Loads `path` through the agent's verified loader with the expected signer;
// null when the loader is not bound or refuses (the thread's last error says why).
HMODULE LoadVerifiedLibrary(const wchar_t* path);

}  // namespace ikx
