#pragma once
// Where a detection log that is no complete record is moved aside.
#include <string>

namespace ikx {

// The name it keeps below the Corrupt folder: the path from its last
// separator ('\' or '/') on, so the backslash is doubled after the folder's
// own; a bare name gets one, so the shape stays the same; then ".brk". It
// never holds a separator past its first unit, so "x/../../name" cannot
// leave the folder.
std::u16string CorruptLogName(const std::u16string& path);

}  // namespace ikx
