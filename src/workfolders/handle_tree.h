#pragma once
// Trees walked through handles: every entry is opened relative to the handle
// of the folder that listed it, never by a path rebuilt from names, and no
// link is followed. A folder renamed or swapped for a link in the middle of a
// walk changes nothing: the walk goes on in the folder it holds.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/handles.h"

namespace ikx {

struct ListedEntry {
    std::wstring name;
    DWORD attributes = 0;
    uint64_t size = 0;      // a file's end, as the listing gives it
    int64_t lastWrite = 0;  // its last-write time, as the listing gives it
};
// The entries of the folder `folder` is a handle on (FILE_LIST_DIRECTORY),
// without "." and "..". Returns a Windows error, 0 on success.
DWORD ListFolder(HANDLE folder, std::vector<ListedEntry>& entries);

// Opens `name` below the folder `parent` is a handle on, the name itself and
// never a link's target (FILE_OPEN_REPARSE_POINT). Shares everything, so that
// the walk itself never stands in the way of what it removes.
DWORD OpenBelow(HANDLE parent, const std::wstring& name, ACCESS_MASK access, UniqueFile& opened);

// Makes a new file `name` below the folder `parent` is a handle on, open for
// writing; a name that is taken, whatever it is, fails with 80.
DWORD CreateFileBelow(HANDLE parent, const std::wstring& name, UniqueFile& created);

// Makes a new folder `name` below the folder `parent` is a handle on, with
// what the parent passes on to it, open for listing.
DWORD CreateFolderBelow(HANDLE parent, const std::wstring& name, UniqueFile& created);

// The attributes of what a handle is open on.
DWORD AttributesOf(HANDLE handle, DWORD& attributes);

// Opens what is at `path` itself (OPEN_EXISTING), a folder or a file, never a
// link's target, and reads its attributes through that handle: a link shows
// there as one where the platform opens links themselves.
DWORD OpenItselfAt(const std::wstring& path, ACCESS_MASK access, DWORD share, UniqueFile& opened,
                   DWORD& attributes);

// Levels a walk enters below the folder it was given. A user may plant a tree
// of any depth; past this one the walk moves what is left elsewhere instead.
constexpr size_t kMaxWalkDepth = 128;

// What a walk could not delete, as a path relative to the folder walked.
struct Leftover {
    std::wstring path;
    DWORD error = 0;
    bool folder = false;
};

// Deletes everything below the folder `folder` is a handle on (listing
// access), contents before their folder. The walk holds one handle and one
// listing per level on the heap, never recursing, so its stack stays the same
// at any depth. A folder kMaxWalkDepth levels down is not entered: it is moved
// into `park` (the full path of a folder of ours) under a fresh name, for a
// later walk to start on. A link is removed itself, and only once its own
// handle shows it to be one; where that cannot be shown (Wine resolves such
// handles) it stays. A file with other names keeps its read-only, hidden and
// system bits: cleared through this name, they would change for the others,
// so such a name stays when they refuse its deletion. Returns the last error;
// with `leftovers`, what stayed is listed there. `path` is what the test seam
// is told the folder is.
DWORD DeleteTreeBelow(HANDLE folder, const std::wstring& path, const std::wstring& park,
                      std::vector<Leftover>* leftovers = nullptr);

}  // namespace ikx
