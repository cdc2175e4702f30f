#include "win32/protected_folders.h"

#include <aclapi.h>
#include <sddl.h>

#include "platform/handles.h"
#include "platform/links.h"

namespace ikx {
namespace {

// SYSTEM and Administrators, full control, inherited by everything below; the
// DACL is protected, so nothing of the temp folder's DACL flows in.
constexpr wchar_t kProtectedSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// Rights that let a holder place, replace or remove entries, or take the folder over.
constexpr ACCESS_MASK kWriteRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD |
                                     DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

bool ProtectedDescriptor(UniqueLocal& sd) {
    return ::ConvertStringSecurityDescriptorToSecurityDescriptorW(kProtectedSddl, SDDL_REVISION_1,
                                                                  sd.put(), nullptr) != FALSE;
}

// The user this process runs as (SYSTEM in the service); its own folders are trusted.
bool IsProcessUser(PSID sid) {
    UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    DWORD length = 0;
    if (!::GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &length)) {
        return false;
    }
    return ::EqualSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, sid) != FALSE;
}

bool IsTrustedSid(PSID sid) {
    return ::IsWellKnownSid(sid, WinLocalSystemSid) ||
           ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || IsProcessUser(sid);
}

// Whether an ACE that applies to the folder itself lets an untrusted SID write.
bool OthersMayWrite(PACL dacl) {
    if (!dacl) return true;  // a null DACL grants everyone everything
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!::GetAce(dacl, i, &ace)) return true;
        const auto* header = static_cast<ACE_HEADER*>(ace);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
        if (header->AceFlags & INHERIT_ONLY_ACE) continue;
        const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        const PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        if ((allowed->Mask & kWriteRights) && !IsTrustedSid(sid)) return true;
    }
    return false;
}

// Opens the name itself, never a link's target, and refuses what is not a
// plain directory once opened.
DWORD OpenDirectoryItself(const std::wstring& path, DWORD access, UniqueFile& folder) {
    folder.reset(::CreateFileW(
        path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!folder) return ::GetLastError();
    FILE_ATTRIBUTE_TAG_INFO opened = {};
    if (!::GetFileInformationByHandleEx(folder.get(), FileAttributeTagInfo, &opened,
                                        sizeof opened)) {
        return ::GetLastError();
    }
    if (IsReparsePoint(opened.FileAttributes)) return kErrorReparsePointEncountered;
    return (opened.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : ERROR_DIRECTORY;
}

}  // namespace

FolderTrust InspectFolder(const std::wstring& path) {
    const std::wstring self = WithoutTrailingBackslash(path);
    const DWORD attributes = ::GetFileAttributesW(self.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return FolderTrust::kMissing;
    if (IsReparsePoint(attributes)) return FolderTrust::kLink;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return FolderTrust::kFile;

    UniqueFile folder;
    const DWORD opened = OpenDirectoryItself(self, READ_CONTROL, folder);
    if (opened == kErrorReparsePointEncountered) return FolderTrust::kLink;
    if (opened != 0) return FolderTrust::kUnreadable;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    UniqueLocal sd;
    if (::GetSecurityInfo(folder.get(), SE_FILE_OBJECT,
                          OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                          &dacl, nullptr, sd.put()) != ERROR_SUCCESS) {
        return FolderTrust::kUnreadable;
    }
    if (!owner || !IsTrustedSid(owner)) return FolderTrust::kForeignOwner;
    return OthersMayWrite(dacl) ? FolderTrust::kOpenToUsers : FolderTrust::kTrusted;
}

DWORD CreateProtectedFolder(const std::wstring& path) {
    UniqueLocal sd;
    if (!ProtectedDescriptor(sd)) return ::GetLastError();
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, sd.get(), FALSE};
    return ::CreateDirectoryW(WithoutTrailingBackslash(path).c_str(), &attributes)
               ? 0
               : ::GetLastError();
}

DWORD ProtectFolder(const std::wstring& path) {
    UniqueFile folder;
    if (const DWORD error =
            OpenDirectoryItself(WithoutTrailingBackslash(path), READ_CONTROL | WRITE_DAC, folder)) {
        return error;
    }
    UniqueLocal sd;
    if (!ProtectedDescriptor(sd)) return ::GetLastError();
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorDacl(sd.get(), &present, &dacl, &defaulted)) {
        return ::GetLastError();
    }
    return ::SetSecurityInfo(folder.get(), SE_FILE_OBJECT,
                             DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                             nullptr, nullptr, dacl, nullptr);
}

}  // namespace ikx
