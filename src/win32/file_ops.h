#pragma once
// Whole-folder operations used by install, upgrade, rollback and removal.
// Results are Windows error codes (0 = success); nothing throws.
#include <windows.h>

#include <string>

#include "platform/links.h"

namespace ikx {

// Deletes everything below `folder`, and the folder itself when `removeSelf`.
// With `delayOnFailure`, what cannot be deleted now is scheduled for deletion
// at the next restart instead of failing the call; never a path below the
// Windows temp folder (remove such folders with RemoveWorkFolder or MoveAside). A link met on the
// way is removed itself, never walked; one that cannot be removed fails the call. A drive root, the
// Windows folder or Program Files is refused (5).
DWORD CleanDirectory(const wchar_t* folder, bool removeSelf, bool delayOnFailure);

// Deletes a junction or symbolic link itself, never what it points to: the
// delete goes through a handle opened on the link, and only once that handle
// shows a reparse point. Where the platform resolves it all the same (Wine
// does), nothing is deleted and the result is 4395.
DWORD RemoveLinkItself(const std::wstring& path);

// Copies the tree under `source` into `destination`, replacing files. A link
// in either tree fails the copy: nothing is read or written through one.
DWORD CopyDirectory(const wchar_t* source, const wchar_t* destination);

// Copies a file to `target` without ever writing through the name found
// there, which may be a hard or symbolic link to a file of someone else's, or
// a file someone else made to rewrite once it holds our bytes. A free name is
// made new. An existing file is written through a handle on the name itself
// once that handle shows a file no other name reaches, owned by SYSTEM,
// Administrators or this process's user, that nobody else may write; any
// other file is replaced (copied beside it, then renamed over it through the
// copy's handle). A link or folder at the name is refused (4395, 267); a file
// held open for writing, or without read sharing, fails the copy (32) and is
// left as it is.
DWORD CopyReplacingName(const std::wstring& source, const std::wstring& target);

// Deletes the file at `path` through a handle on the name itself: a read-only
// file with no other name is deleted all the same; a hard link loses this name
// only, and a read-only one stays (the bit belongs to its other names too); a
// link or folder is refused.
DWORD DeleteFileItself(const std::wstring& path);

// Copies what is left to read of `from` into `to`, `chunk` bytes at a time.
DWORD CopyBytes(HANDLE from, HANDLE to, DWORD chunk);

// Renames what `handle` is open on (DELETE access) to `target`, a full path.
// Without `replace` it fails when `target` exists; with it, a file there is
// replaced.
DWORD RenameByHandle(HANDLE handle, const std::wstring& target, bool replace = false);

// Marks what `handle` is open on (DELETE access) for deletion when the last
// handle closes; a directory must be empty by then.
DWORD DeleteByHandle(HANDLE handle);

// "<stem>.<16 hex digits>" from the system's random numbers: a name for what
// is put beside other files that nobody can prepare in advance. When the
// system cannot give random numbers there is no such name: a Windows error,
// and `name` is left as it was.
DWORD UnguessableName(const std::wstring& stem, std::wstring& name);

// Whether a copy replaces a file of the destination name, or only ever makes
// a new one (a kept log never takes the place of another file).
enum class CopyTarget { kReplace, kNewFile };

// Copies source\name to destination\destName (or \name), with retries. A
// source path longer than 260 units is not copied (cut short it would name
// another file). With kNewFile a taken destination name ends the attempts.
void TryCopyFile(const wchar_t* sourceFolder, const wchar_t* destinationFolder, const wchar_t* name,
                 const wchar_t* destName = nullptr, CopyTarget target = CopyTarget::kReplace);

}  // namespace ikx
