#pragma once
// Who owns a file or folder and who else may change it, read from the
// security of a handle the caller holds: never from a path looked up again.
#include <windows.h>

#include <string>

namespace ikx {

// SYSTEM, Administrators, or the user this process runs as (SYSTEM in the
// service): the owners whose files and folders are taken as ours.
bool IsTrustedSid(PSID sid);

// Whether an entry of `dacl` that applies to the object itself lets anyone
// but SYSTEM, Administrators and this process's user add, remove or replace
// entries or bytes, change its attributes (enough to make a folder a link)
// or take it over. Allowing entries whose SID sits behind object types count
// as letting others write: nothing of ours makes them. A null DACL lets
// everyone.
bool DaclLetsOthersWrite(PACL dacl);

// What the owner and DACL of an open object say.
enum class ObjectTrust {
    kOurs,          // a trusted owner, and nobody else may write to it
    kOpenToUsers,   // such an owner, but others may write to it
    kForeignOwner,  // owned by someone else
    kUnreadable,    // its security cannot be read
};
// Reads both through `object`, opened with READ_CONTROL. `path` is the name
// it was opened by; the test build's ownership seam answers by it.
ObjectTrust TrustOfObject(HANDLE object, const std::wstring& path);

}  // namespace ikx
