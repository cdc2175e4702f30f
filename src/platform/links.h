#pragma once
// Junctions and symbolic links, which no walk, copy or extraction follows.
#include <windows.h>

namespace ikx {

// ERROR_REPARSE_POINT_ENCOUNTERED: a walk, copy or extraction met a junction or
// link, which it never follows.
constexpr DWORD kErrorReparsePointEncountered = 4395;

// A junction, symbolic link or other reparse point (false for no attributes).
inline bool IsReparsePoint(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

}  // namespace ikx
