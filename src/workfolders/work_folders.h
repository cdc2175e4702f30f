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
#include <vector>

#include "platform/handles.h"
#include "workfolders/handle_tree.h"

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
    kDelete,  // moved into a private folder and deleted there through handles
};
// Moves what is at `path` (a folder of any kind, a link or a file) aside
// under a unique name, through a handle on it; 0 when nothing is there.
// With kDelete, what cannot be deleted now stays in the private folder it
// was moved into until a sweep takes it: nothing is left to a restart.
DWORD MoveAside(const std::wstring& path, Aside mode);

// `path` as a work folder: held when ours, made when missing, and anything
// else there moved aside first. `found` says what was there.
DWORD TakeWorkFolder(const std::wstring& path, Aside mode, WorkFolder& folder, FolderTrust& found);

// Removes a held work folder as MoveAside(kDelete) does, through its own
// handle, so nothing can be put in its place first; the folder is released.
DWORD RemoveWorkFolder(WorkFolder& folder);

// Deletes everything below the folder `folder` is a handle on (listing
// access; a held work folder's, or one opened below it), through handles
// opened below it; the folder stays. A tree too deep to walk at once goes to
// a private folder for the sweep. What could not go is listed in
// `leftovers`; the result is the last error, 0 when all went. `path` names
// the folder to the test seam.
DWORD EmptyThroughHandle(HANDLE folder, const std::wstring& path, std::vector<Leftover>& leftovers);

// A private folder: made afresh with the protected DACL under the Windows
// temp folder as "KXE_Private.<16 hex digits>", a name nobody can take
// first, and held. Programs run in one each; what is deleted is moved into
// one first.
DWORD MakePrivateFolder(WorkFolder& folder);

// Deletes a private folder and what it holds, through handles; what cannot
// go now stays for SweepPrivateFolders. The folder is released.
void DisposePrivateFolder(WorkFolder& folder);

// Deletes, through handles, the private folders earlier work left behind
// (and the one an older version kept as "KXE_Private"): each that is ours and
// that nobody holds. Deployments call it before they start.
void SweepPrivateFolders();

}  // namespace ikx
