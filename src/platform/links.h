#pragma once
// Junctions and symbolic links, which no walk, copy or extraction follows.
#include <windows.h>

#include <string>

namespace ikx {

// ERROR_REPARSE_POINT_ENCOUNTERED: a walk, copy or extraction met a junction or
// link, which it never follows.
constexpr DWORD kErrorReparsePointEncountered = 4395;

// A junction, symbolic link or other reparse point (false for no attributes).
inline bool IsReparsePoint(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// The name itself, without trailing backslashes: asked with one, Windows (and
// Wine) may answer for a link's target, or for nothing when the name is a file.
// A drive root keeps its backslash: "C:" names the drive's current folder.
inline std::wstring WithoutTrailingBackslash(std::wstring path) {
    while (path.size() > 1 && path.back() == L'\\' && !(path.size() == 3 && path[1] == L':')) {
        path.pop_back();
    }
    return path;
}

}  // namespace ikx
