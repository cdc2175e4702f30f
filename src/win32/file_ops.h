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

// Copies the tree under `source` into `destination`, overwriting files. A link
// in either tree fails the copy: nothing is read or written through one.
DWORD CopyDirectory(const wchar_t* source, const wchar_t* destination);

// Whether a copy may replace a file of the destination name, or must make a
// new file: in a folder a user could once write to, an existing name may be a
// hard link to a file of theirs, and writing to it writes to that file.
enum class CopyTarget { kOverwrite, kNewFile };

// Copies source\name to destination\destName (or \name), with retries. A
// source path longer than 260 units is not copied (cut short it would name
// another file). With kNewFile a taken destination name ends the attempts.
void TryCopyFile(const wchar_t* sourceFolder, const wchar_t* destinationFolder, const wchar_t* name,
                 const wchar_t* destName = nullptr, CopyTarget target = CopyTarget::kOverwrite);

}  // namespace ikx
