#include "win32/object_security.h"

#include <aclapi.h>

#include "platform/handles.h"
#include "platform/test_seams.h"

namespace ikx {
namespace {

// Rights that let a holder place, replace or remove entries or bytes, turn a
// folder into a link (attributes) or take the object over.
constexpr ACCESS_MASK kWriteRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD |
                                     FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA | DELETE | WRITE_DAC |
                                     WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// The process's own user, read once: a security check runs for every file a
// copy meets, and the process token's user never changes.
struct ProcessUser {
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    bool known = false;
    ProcessUser() {
        UniqueHandle token;
        DWORD length = 0;
        known = ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put()) &&
                ::GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &length);
    }
};

bool IsProcessUser(PSID sid) {
    static const ProcessUser user;
    return user.known &&
           ::EqualSid(reinterpret_cast<const TOKEN_USER*>(user.buffer)->User.Sid, sid) != FALSE;
}

}  // namespace

bool IsTrustedSid(PSID sid) {
    return ::IsWellKnownSid(sid, WinLocalSystemSid) ||
           ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || IsProcessUser(sid);
}

bool DaclLetsOthersWrite(PACL dacl) {
    if (!dacl) return true;  // a null DACL grants everyone everything
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!::GetAce(dacl, i, &ace)) return true;
        const auto* header = static_cast<ACE_HEADER*>(ace);
        if (header->AceFlags & INHERIT_ONLY_ACE) continue;
        switch (header->AceType) {
            case ACCESS_ALLOWED_ACE_TYPE:
            case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: {
                const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
                const PSID sid = const_cast<DWORD*>(&allowed->SidStart);
                if ((allowed->Mask & kWriteRights) && !IsTrustedSid(sid)) return true;
                break;
            }
            case ACCESS_ALLOWED_COMPOUND_ACE_TYPE:
            case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
            case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
                if (static_cast<ACCESS_ALLOWED_ACE*>(ace)->Mask & kWriteRights) return true;
                break;
            default:
                break;  // denying and auditing entries grant nothing
        }
    }
    return false;
}

ObjectTrust TrustOfObject(HANDLE object, const std::wstring& path) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    UniqueLocal sd;
    if (::GetSecurityInfo(object, SE_FILE_OBJECT,
                          OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                          &dacl, nullptr, sd.put()) != ERROR_SUCCESS) {
        return ObjectTrust::kUnreadable;
    }
    if (!owner || !IsTrustedSid(owner) || TestSaysOwnedByOthers(path)) {
        return ObjectTrust::kForeignOwner;
    }
    return DaclLetsOthersWrite(dacl) ? ObjectTrust::kOpenToUsers : ObjectTrust::kOurs;
}

}  // namespace ikx
