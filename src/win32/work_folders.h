#pragma once
// Folders SYSTEM steps work in under the Windows temp folder, where every
// local user may create entries. A WorkFolder is one such folder held open:
// made by this process with a protected DACL (SYSTEM and Administrators
// only), or verified once through its handle (a directory, not a link, owned
// by SYSTEM, Administrators or this process's user, that nobody else may
// write to). Held without delete sharing, its path names that folder for as
// long as it is held: it cannot be renamed, removed or swapped for a link.
// Steps take the held folder and never re-check its path. What fails the
// check is moved aside under a unique name, never walked by path.
#include <windows.h>

#include <string>

#include "platform/handles.h"

namespace ikx {

// What a path was found to be.
enum class FolderTrust {
    kMissing,
    kLink,          // a junction or symbolic link
    kFile,          // a file of that name
    kTrusted,       // a directory of ours (see above)
    kOpenToUsers,   // such an owner, but others may write to it
    kForeignOwner,  // owned by someone else
    kUnreadable,    // it cannot be opened or its security cannot be read
};

class WorkFolder {
  public:
    WorkFolder() = default;
    WorkFolder(WorkFolder&&) noexcept = default;
    WorkFolder& operator=(WorkFolder&&) noexcept = default;

    const std::wstring& Path() const { return path_; }  // ends with a backslash
    HANDLE Handle() const { return handle_.get(); }
    bool Held() const { return handle_.valid(); }
    // Whether it holds no entry, read through its handle: never concluded
    // from what an emptying reported.
    bool IsEmpty() const;
    void Release() {
        handle_.reset();
        path_.clear();
    }

  private:
    friend FolderTrust HoldTrustedFolder(const std::wstring& path, WorkFolder& folder);
    friend DWORD MakeWorkFolder(const std::wstring& path, WorkFolder& folder);
    std::wstring path_;
    UniqueFile handle_;
};

// Holds `path` when it is a folder of ours (kTrusted); otherwise says what
// it is and holds nothing. Security is read through the held handle.
FolderTrust HoldTrustedFolder(const std::wstring& path, WorkFolder& folder);

// Creates `path` (one level) with the protected DACL and holds it. Anything
// already there fails the call (ERROR_ALREADY_EXISTS): a folder found there
// is never taken as made.
DWORD MakeWorkFolder(const std::wstring& path, WorkFolder& folder);

// How a path that is not ours is moved out of the way.
enum class Aside {
    kKeep,    // renamed beside itself under a unique name and left to its owner
    kDelete,  // moved into the private folder and deleted there through handles
};
// Moves what is at `path` (a folder of any kind, a link or a file) aside
// under a unique name; 0 when nothing is there. With kDelete, what cannot be
// deleted now is deleted at the next restart, scheduled only inside the
// private folder, where no user can put anything back under that name.
DWORD MoveAside(const std::wstring& path, Aside mode);

// `path` as a work folder: held when ours, made when missing, and anything
// else there moved aside first. `found` says what was there.
DWORD TakeWorkFolder(const std::wstring& path, Aside mode, WorkFolder& folder, FolderTrust& found);

// Removes a held work folder as MoveAside(kDelete) does, through its own
// handle, so nothing can be put in its place first; the folder is released.
DWORD RemoveWorkFolder(WorkFolder& folder);

// A fresh folder for one run of a program, made inside the private folder.
DWORD MakeRunFolder(WorkFolder& folder);

// The private folder: Windows temp folder + "\KXE_Private\".
std::wstring PrivateFolderPath();

}  // namespace ikx
