#pragma once
// Folders that SYSTEM steps work in under the Windows temp folder, where every
// local user may create entries: such a folder is used only as a real
// directory that no ordinary user owns or may write to. Folders this code
// makes admit only SYSTEM and Administrators.
#include <windows.h>

#include <string>

namespace ikx {

enum class FolderTrust {
    kMissing,
    kLink,          // a junction or symbolic link: never used, only removed
    kFile,          // a file of that name
    kTrusted,       // a directory owned by SYSTEM, Administrators or this process's user,
                    // which nobody else may write to
    kOpenToUsers,   // such an owner, but others may write to it
    kForeignOwner,  // owned by someone else
    kUnreadable,    // its security cannot be read
};
// Judges `path` (a trailing backslash is ignored: with it, a link answers for
// its target). The security is read through a handle that does not follow a link.
FolderTrust InspectFolder(const std::wstring& path);

// Creates the folder (one level) with a protected DACL that admits SYSTEM and
// Administrators only; an existing folder of that name fails the call
// (ERROR_ALREADY_EXISTS), so a folder found there is never taken as made.
// Returns a Windows error, 0 on success.
DWORD CreateProtectedFolder(const std::wstring& path);

// Replaces the DACL of an existing directory (not a link) with the protected one.
DWORD ProtectFolder(const std::wstring& path);

}  // namespace ikx
