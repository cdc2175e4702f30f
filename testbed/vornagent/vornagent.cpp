// Stand-in for the host agent library: the seven vornCnt_ exports, with a
// loader that really checks the embedded signer before loading a library.
#include <windows.h>

#include <cwchar>

#include "hostagent/vorn_agent.h"

namespace {

bool SignedBy(const wchar_t* path, const wchar_t* signer) {
    wchar_t name[ikx::kSignerNameChars] = {};
    return signer && ikx::GetSignerNamer(path, name) && _wcsicmp(name, signer) == 0;
}

}  // namespace

extern "C" {

__declspec(dllexport) HMODULE
    __cdecl vornCnt_LoadLibraryWithSignCheck(const wchar_t* signer, const wchar_t* path) {
    if (!path || !SignedBy(path, signer)) {
        ::SetLastError(static_cast<DWORD>(TRUST_E_NOSIGNATURE));
        return nullptr;
    }
    return ::LoadLibraryW(path);
}

__declspec(dllexport) int __cdecl vornCnt_VerifyLoaderProcessSign(const wchar_t* signer) {
    wchar_t image[MAX_PATH] = {};
    if (!::GetModuleFileNameW(nullptr, image, MAX_PATH)) return 0;
    return SignedBy(image, signer) ? 1 : 0;
}

__declspec(dllexport) int __cdecl vornCnt_SystemCall() {
    return 0;
}
__declspec(dllexport) int __cdecl vornCnt_Free(void*) {
    return 0;
}
__declspec(dllexport) int __cdecl vornCnt_CreateProcessWithSignCheck() {
    return 0;
}
__declspec(dllexport) int __cdecl vornCnt_VerifyEmbeddedSignature() {
    return 0;
}
#ifndef VORNAGENT_DROP_EXPORT
__declspec(dllexport) int __cdecl vornCnt_VerifyEmbeddedSignatureAndSigner() {
    return 0;
}
#endif

}  // extern "C"
