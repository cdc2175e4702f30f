#pragma once
// Trees walked through handles: every entry is opened relative to the handle
// of the folder that listed it, never by a path rebuilt from names, and no
// link is followed. A folder renamed or swapped for a link in the middle of a
// walk changes nothing: the walk goes on in the folder it holds.
#include <windows.h>

#include <string>
#include <vector>

#include "platform/handles.h"

namespace ikx {

struct ListedEntry {
    std::wstring name;
    DWORD attributes = 0;
};
// The entries of the folder `folder` is a handle on (FILE_LIST_DIRECTORY),
// without "." and "..". Returns a Windows error, 0 on success.
DWORD ListFolder(HANDLE folder, std::vector<ListedEntry>& entries);

// Opens `name` below the folder `parent` is a handle on, the name itself and
// never a link's target (FILE_OPEN_REPARSE_POINT). Shares everything, so that
// the walk itself never stands in the way of what it removes.
DWORD OpenBelow(HANDLE parent, const std::wstring& name, ACCESS_MASK access, UniqueFile& opened);

// The attributes of what a handle is open on.
DWORD AttributesOf(HANDLE handle, DWORD& attributes);

// Renames what `handle` is open on (DELETE access) to `target`, a full path;
// fails when `target` exists.
DWORD RenameByHandle(HANDLE handle, const std::wstring& target);

// Marks what `handle` is open on (DELETE access) for deletion when the last
// handle closes; a directory must be empty by then.
DWORD DeleteByHandle(HANDLE handle);

// Deletes everything below the folder `folder` is a handle on (listing and
// DELETE access), contents before their folder. A link is removed itself,
// and only once its own handle shows it to be one; where that cannot be shown
// (Wine resolves such handles) it stays. Whatever could not go is added to
// `leftovers` as paths relative to the folder, contents before their folder.
// `walkName` is what the test seam is told the folder is.
DWORD DeleteTreeBelow(HANDLE folder, const std::wstring& walkName,
                      std::vector<std::wstring>& leftovers);

}  // namespace ikx
