#include "unzip/entry_names.h"

#include <string_view>

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

// Windows opens these devices for a piece named so, in any folder and with any
// extension: a file "nul.txt" is written to NUL, "COM1" to a serial port.
constexpr std::string_view kDeviceNames[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
constexpr std::string_view kDevicePorts[] = {"COM", "LPT"};
// Port digits 1-9 and, in the ANSI code page, the superscripts 1, 2 and 3.
constexpr std::string_view kPortDigits = "123456789\xB9\xB2\xB3";

// The piece's name up to its first dot, trailing blanks cut, without regard to case.
bool NamesDevice(const std::string& piece) {
    std::string stem = piece.substr(0, piece.find('.'));
    stem.erase(stem.find_last_not_of(' ') + 1);
    for (char& c : stem) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    for (const std::string_view device : kDeviceNames) {
        if (stem == device) return true;
    }
    if (stem.size() != 4 || kPortDigits.find(stem[3]) == std::string_view::npos) return false;
    for (const std::string_view port : kDevicePorts) {
        if (stem.compare(0, port.size(), port) == 0) return true;
    }
    return false;
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
        const std::string piece = name.substr(start, end - start);
        if (ClimbsUp(piece) || NamesDevice(piece)) return false;
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
