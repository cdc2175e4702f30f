#include "hostagent/vorn_agent.h"

#include <dbghelp.h>
#include <wincrypt.h>

#include <cstddef>
#include <cwchar>
#include <utility>
#include <vector>

#include "hostagent/host_agent.h"
#include "log/log.h"
#include "platform/handles.h"

namespace ikx {

// Never destroyed: a library still bound when the process ends is not
// released from inside the loader's detach call.
BoundLibrary<VornAgentEntryPoints>& VornAgentObj = *new BoundLibrary<VornAgentEntryPoints>();

void VornAgentEntryPoints::Resolve(ExportLookup& find) {
    find(SystemCall, "vornCnt_SystemCall");
    find(Free, "vornCnt_Free");
    find(CreateProcessWithSignCheck, "vornCnt_CreateProcessWithSignCheck");
    find(LoadLibraryWithSignCheck, "vornCnt_LoadLibraryWithSignCheck");
    find(VerifyEmbeddedSignature, "vornCnt_VerifyEmbeddedSignature");
    find(VerifyEmbeddedSignatureAndSigner, "vornCnt_VerifyEmbeddedSignatureAndSigner");
    find(VerifyLoaderProcessSign, "vornCnt_VerifyLoaderProcessSign");
}

namespace {

constexpr WORD kForceIntegrity = 0x0080;

// Whether the `size` bytes of the image hold NT headers complete up to the
// optional header's DllCharacteristics. A view has no bounds a read would stop
// at: past the file's last page a read is an access violation, which no C++
// handler catches. DllCharacteristics sits at the same offset in PE32 and PE32+.
bool HeadersFit(const void* image, ULONGLONG size) {
    constexpr ULONGLONG kHeadersEnd = offsetof(IMAGE_NT_HEADERS32, OptionalHeader) +
                                      offsetof(IMAGE_OPTIONAL_HEADER32, DllCharacteristics) +
                                      sizeof(WORD);
    static_assert(offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                          offsetof(IMAGE_OPTIONAL_HEADER64, DllCharacteristics) + sizeof(WORD) ==
                      kHeadersEnd,
                  "PE32+ keeps the flags where PE32 has them");
    if (size < sizeof(IMAGE_DOS_HEADER)) return false;
    const auto* dos = static_cast<const IMAGE_DOS_HEADER*>(image);
    return dos->e_magic == IMAGE_DOS_SIGNATURE && dos->e_lfanew >= 0 &&
           static_cast<ULONGLONG>(dos->e_lfanew) + kHeadersEnd <= size;
}

// Reads the optional header's integrity flag from a mapped image of `size` bytes.
int IntegrityFlagOf(const void* image, ULONGLONG size) {
    if (!HeadersFit(image, size)) return 0;
    const IMAGE_NT_HEADERS* nt = ::ImageNtHeader(const_cast<void*>(image));
    if (!nt) return 0;
    const WORD magic = nt->OptionalHeader.Magic;
    if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
        const auto* nt32 = reinterpret_cast<const IMAGE_NT_HEADERS32*>(nt);
        return (nt32->OptionalHeader.DllCharacteristics & kForceIntegrity) ? 1 : 0;
    }
    if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        const auto* nt64 = reinterpret_cast<const IMAGE_NT_HEADERS64*>(nt);
        return (nt64->OptionalHeader.DllCharacteristics & kForceIntegrity) ? 1 : 0;
    }
    LOG_WARN_AS("IsIntegrityCheckEnabled", "Unrecognized platform type: %x",
                static_cast<unsigned>(magic));
    return 0;
}

int ReadIntegrityFlag(const wchar_t* path) {
    UniqueFile file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        LOG_WARN_AS("IsIntegrityCheckEnabled", "Failed to open file: %ws, Windows error code: %d",
                    path, static_cast<int>(::GetLastError()));
        return 0;
    }
    LARGE_INTEGER size = {};
    ::GetFileSizeEx(file.get(), &size);  // left 0 on failure: then no header fits
    UniqueHandle mapping(::CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping) {
        LOG_WARN_AS("IsIntegrityCheckEnabled",
                    "Failed to create file mapping, Windows error code: %d",
                    static_cast<int>(::GetLastError()));
        return 0;
    }
    UniqueView view(::MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
    if (!view) {
        LOG_WARN_AS("IsIntegrityCheckEnabled",
                    "Failed to call MapViewOfFile, Windows error code: %d",
                    static_cast<int>(::GetLastError()));
        return 0;
    }
    return IntegrityFlagOf(view.get(), static_cast<ULONGLONG>(size.QuadPart));
}

struct CertStoreTraits {
    using Type = HCERTSTORE;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::CertCloseStore(h, 0); }
};
struct CryptMsgTraits {
    using Type = HCRYPTMSG;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::CryptMsgClose(h); }
};
struct CertContextTraits {
    using Type = PCCERT_CONTEXT;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::CertFreeCertificateContext(h); }
};

// The display name of the message's first signer; empty when any step fails.
void ReadFirstSignerName(HCERTSTORE store, HCRYPTMSG message, wchar_t* name) {
    DWORD size = 0;
    if (!::CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size)) return;
    UniqueLocal buffer(::LocalAlloc(LPTR, size));
    if (!buffer) return;
    if (!::CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, buffer.get(), &size)) return;
    const auto* signer = static_cast<const CMSG_SIGNER_INFO*>(buffer.get());
    CERT_INFO lookup = {};
    lookup.Issuer = signer->Issuer;
    lookup.SerialNumber = signer->SerialNumber;
    UniqueResource<CertContextTraits> cert(
        ::CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                     CERT_FIND_SUBJECT_CERT, &lookup, nullptr));
    if (!cert) return;
    const DWORD chars =
        ::CertGetNameStringW(cert.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    if (chars <= 1) return;
    std::vector<wchar_t> full(chars, L'\0');
    if (::CertGetNameStringW(cert.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, full.data(),
                             chars) <= 1) {
        return;
    }
    wcsncpy_s(name, kSignerNameChars, full.data(), _TRUNCATE);
}

}  // namespace

bool IsVornAgentBound() {
    return VornAgentObj.bound();
}

int IsIntegrityCheckEnabled(const wchar_t* path) {
    LOG_INFO(">> %ws", path);
    const int result = ReadIntegrityFlag(path);
    LOG_TRACE("<< %d", result);
    return result;
}

int GetSignerNamer(const wchar_t* path, wchar_t* name) {
    HCERTSTORE rawStore = nullptr;
    HCRYPTMSG rawMessage = nullptr;
    if (!::CryptQueryObject(CERT_QUERY_OBJECT_FILE, path,
                            CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                            CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, &rawStore,
                            &rawMessage, nullptr)) {
        LOG_WARN("GetIssuer - Error is %x (%ws).", static_cast<unsigned>(::GetLastError()), path);
        return 0;
    }
    UniqueResource<CertStoreTraits> store(rawStore);
    UniqueResource<CryptMsgTraits> message(rawMessage);
    ReadFirstSignerName(store.get(), message.get(), name);
    return 1;
}

bool InitVornAgentObj() {
    std::wstring folder;
    if (!GetPelmoClientInsallPath(folder)) {
        LOG_WARN("Cannot get Pelmo folder.");
        return false;
    }
    const std::wstring path = folder + L"VornAgent.dll";
    if (IsIntegrityCheckEnabled(path.c_str()) == 0) {
        LOG_WARN("VornAgent Integrity check failed. (File apth: %ws)", path.c_str());
        return false;
    }
    wchar_t signer[kSignerNameChars] = {};
    if (GetSignerNamer(path.c_str(), signer) == 0) {
        LOG_WARN("Get VornAgent signer failed. (File apth: %ws)", path.c_str());
        return false;
    }
    LOG_WARN("VornAgent dll's signer is %ws", signer);
    if (_wcsicmp(signer, kExpectedSigner) != 0) return false;

    UniqueModule module(::LoadLibraryW(path.c_str()));
    if (!module) {
        LOG_WARN("Load NIPC DLL failed (error: %d).", static_cast<int>(::GetLastError()));
        return false;
    }
    if (!VornAgentObj.Bind(std::move(module))) {
        LOG_WARN("GetProcAddress failed (error: %d).", static_cast<int>(::GetLastError()));
        return false;
    }
    return true;
}

void ReleaseVornAgentObj() {
    VornAgentObj.reset();
}

HMODULE LoadVerifiedLibrary(const wchar_t* path) {
    const VornAgentEntryPoints* agent = VornAgentObj.get();
    return agent ? agent->LoadLibraryWithSignCheck(kExpectedSigner, path) : nullptr;
}

}  // namespace ikx
