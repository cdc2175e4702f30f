#pragma once
// Binding of the host agent library after checking its integrity flag and
// signer ourselves; its verified loader then loads the maker's other libraries.
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

// Loads `path` through the agent's verified loader with the expected signer;
// null when the loader is not bound or refuses (the thread's last error says why).
HMODULE LoadVerifiedLibrary(const wchar_t* path);

}  // namespace ikx
