#pragma once
// Where an archive entry may be written: the rule on its name alone.
#include <cstddef>
#include <string>

namespace ikx {

// The longest target path an entry is written to, in bytes (Windows' MAX_PATH).
constexpr size_t kMaxEntryPathBytes = 260;

enum class EntryPlace {
    kInside,   // below the target folder
    kOutside,  // rooted, a drive or stream colon, a piece that climbs up or names a device
    kTooLong,  // inside, but the path would pass kMaxEntryPathBytes
};

// The entry name with '/' turned into '\', as the target path carries it.
std::string EntryNameWithBackslashes(const std::string& name);

// True when `name` (backslashes only) stays below the target folder: not
// rooted, no colon, no piece of dots and blanks that holds "..", and no piece
// Windows reads as a device (CON, nul.txt, COM1, ...).
bool StaysInsideTarget(const std::string& name);

// Where the entry `name` lands below `folder` (not empty): `target` is the
// folder with one trailing backslash and the name after it, its "." and
// empty pieces before the last left out; `folderEnd` the position of that backslash. Both
// are set only for kInside.
EntryPlace PlaceEntry(const std::string& folder, const std::string& name, std::string& target,
                      size_t& folderEnd);

}  // namespace ikx
