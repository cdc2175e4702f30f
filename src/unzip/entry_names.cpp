#include "unzip/entry_names.h"

namespace ikx {
namespace {

// ".." climbs out, and so do ".. " and "...": Windows trims trailing dots and
// spaces from a path piece.
bool ClimbsUp(const std::string& piece) {
    if (piece.find("..") == std::string::npos) return false;
    return piece.find_first_not_of(". ") == std::string::npos;
}

// Without the "." and empty pieces before the last: Windows makes no folder
// ".", so "x\.\y" could not be created piece by piece; the entry lands at
// "x\y", as "x\\y" does. A leftover "\" would otherwise follow the folder's.
std::string WithoutCurrentFolderPieces(const std::string& name) {
    std::string out;
    size_t start = 0;
    for (size_t end = name.find('\\'); end != std::string::npos; end = name.find('\\', start)) {
        if (end != start && name.compare(start, end - start, ".") != 0) {
            out.append(name, start, end - start + 1);
        }
        start = end + 1;
    }
    return out.append(name, start, std::string::npos);
}

}  // namespace

std::string EntryNameWithBackslashes(const std::string& name) {
    std::string out(name);
    for (char& c : out) {
        if (c == '/') c = '\\';
    }
    return out;
}

bool StaysInsideTarget(const std::string& name) {
    if (!name.empty() && name[0] == '\\') return false;
    if (name.find(':') != std::string::npos) return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('\\', start);
        if (end == std::string::npos) end = name.size();
        if (ClimbsUp(name.substr(start, end - start))) return false;
        start = end + 1;
    }
    return true;
}

EntryPlace PlaceEntry(const std::string& folder, const std::string& name, std::string& target,
                      size_t& folderEnd) {
    const std::string inner = EntryNameWithBackslashes(name);
    if (!StaysInsideTarget(inner)) return EntryPlace::kOutside;
    std::string path(folder);
    if (path.empty() || path.back() != '\\') path += '\\';
    const size_t end = path.size() - 1;
    path += WithoutCurrentFolderPieces(inner);
    if (path.size() > kMaxEntryPathBytes) return EntryPlace::kTooLong;
    target = std::move(path);
    folderEnd = end;
    return EntryPlace::kInside;
}

}  // namespace ikx
