#pragma once
// Binding of the host agent library after checking its integrity flag and
// signer ourselves; its verified loader then loads the maker's other libraries.
#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/bound_library.h"

namespace ikx {

constexpr wchar_t kExpectedSigner[] = L"Corvask, Inc.";
constexpr size_t kSignerNameChars = 260;

using LoadLibraryWithSignCheckFn = HMODULE(__cdecl*)(const wchar_t* signer, const wchar_t* path);
using VerifyLoaderProcessSignFn = int(__cdecl*)(const wchar_t* signer);

// The seven exports of the host agent library, in table order.
struct VornAgentEntryPoints {
    FARPROC SystemCall = nullptr;
    FARPROC Free = nullptr;
    FARPROC CreateProcessWithSignCheck = nullptr;
    LoadLibraryWithSignCheckFn LoadLibraryWithSignCheck = nullptr;
    FARPROC VerifyEmbeddedSignature = nullptr;
    FARPROC VerifyEmbeddedSignatureAndSigner = nullptr;
    VerifyLoaderProcessSignFn VerifyLoaderProcessSign = nullptr;

    void Resolve(ExportLookup& find);
};
// Bound by the first Init, released by the last Deinit; any thread may read it.
extern BoundLibrary<VornAgentEntryPoints>& VornAgentObj;

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
