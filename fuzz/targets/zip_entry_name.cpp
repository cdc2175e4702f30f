// An archive entry name as the unzip library hands it over (up to its NUL,
// at most 260 bytes): an entry placed inside lands below the target folder,
// whatever Windows makes of its pieces.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "unzip/entry_names.h"

namespace {

constexpr char kFolder[] = "C:\\Windows\\Temp\\Sensor";

// The pieces below the folder after Windows' reading: "." stays, ".." climbs,
// and trailing dots and blanks of a piece go. False when it climbs above.
bool ResolvesBelow(const std::string& tail) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start <= tail.size()) {
        size_t end = tail.find('\\', start);
        if (end == std::string::npos) end = tail.size();
        std::string piece = tail.substr(start, end - start);
        const bool dotsOnly = !piece.empty() && piece.find_first_not_of(". ") == std::string::npos;
        if (dotsOnly && piece.find("..") != std::string::npos) {
            if (pieces.empty()) return false;
            pieces.pop_back();
        } else if (!piece.empty() && piece != ".") {
            pieces.push_back(piece);
        }
        start = end + 1;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string name(reinterpret_cast<const char*>(data), size);
    name = name.c_str();
    if (name.size() > 260) name.resize(260);
    std::string target;
    size_t folderEnd = 0;
    const ikx::EntryPlace place = ikx::PlaceEntry(kFolder, name, target, folderEnd);
    if (place != ikx::EntryPlace::kInside) {
        if (!target.empty()) std::abort();
        return 0;
    }
    const std::string prefix = std::string(kFolder) + "\\";
    if (target.compare(0, prefix.size(), prefix) != 0 || folderEnd != prefix.size() - 1) {
        std::abort();
    }
    if (target.size() > ikx::kMaxEntryPathBytes) std::abort();
    const std::string tail = target.substr(prefix.size());
    if (tail.find(':') != std::string::npos || tail.find('/') != std::string::npos) std::abort();
    if (!tail.empty() && tail[0] == '\\') std::abort();
    if (!ResolvesBelow(tail)) std::abort();
    return 0;
}
