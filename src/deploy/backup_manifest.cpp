#include "deploy/backup_manifest.h"

#include <xxhash.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "platform/handles.h"
#include "platform/links.h"

namespace ikx {
namespace {

constexpr DWORD kReadChunk = 1 << 20;
// Only read: a file the running sensor holds open is still compared, not
// reported as a difference.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

struct HashStateDeleter {
    void operator()(XXH3_state_t* state) const { XXH3_freeState(state); }
};
using UniqueHashState = std::unique_ptr<XXH3_state_t, HashStateDeleter>;

DWORD OpenForReading(const std::wstring& path, UniqueFile& file) {
    file.reset(::CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    return file ? 0 : ::GetLastError();
}

// Size and XXH3-128 of what `file` holds.
DWORD DigestStream(XXH3_state_t* state, HANDLE file, ManifestEntry& entry,
                   std::vector<uint8_t>& buffer) {
    if (XXH3_128bits_reset(state) != XXH_OK) return ERROR_INVALID_PARAMETER;
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(file, buffer.data(), kReadChunk, &got, nullptr)) return ::GetLastError();
        if (got == 0) break;
        entry.size += got;
        XXH3_128bits_update(state, buffer.data(), got);
    }
    const XXH128_hash_t digest = XXH3_128bits_digest(state);
    entry.digest = {digest.low64, digest.high64};
    return 0;
}

struct ManifestWalk {
    XXH3_state_t* state;
    std::vector<uint8_t> buffer;
    BackupManifest& manifest;
    ManifestDepth depth;
};

// Size and digest of one file, read through a handle that does not follow a link.
DWORD DigestFile(ManifestWalk& walk, const std::wstring& path, ManifestEntry& entry) {
    UniqueFile file;
    if (const DWORD error = OpenForReading(path, file)) return error;
    return DigestStream(walk.state, file.get(), entry, walk.buffer);
}

DWORD ReadTree(ManifestWalk& walk, const std::wstring& root, const std::wstring& relative) {
    WIN32_FIND_DATAW found = {};
    const UniqueFind listing(::FindFirstFileW((root + relative + L"*").c_str(), &found));
    if (!listing) return ::GetLastError();
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if (IsReparsePoint(found.dwFileAttributes)) return kErrorReparsePointEncountered;
        ManifestEntry entry;
        DWORD error = 0;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            entry.folder = true;
            error = ReadTree(walk, root, relative + name + L"\\");
        } else if (walk.depth == ManifestDepth::kSizes) {
            entry.size = (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
        } else {
            error = DigestFile(walk, root + relative + name, entry);
        }
        if (error != 0) return error;
        walk.manifest[relative + name] = entry;
    } while (::FindNextFileW(listing.get(), &found));
    const DWORD end = ::GetLastError();
    return end == ERROR_NO_MORE_FILES ? 0 : end;
}

}  // namespace

DWORD ReadManifest(const std::wstring& folder, BackupManifest& manifest, ManifestDepth depth) {
    manifest.clear();
    const std::wstring self = WithoutTrailingBackslash(folder);
    const DWORD attributes = ::GetFileAttributesW(self.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
    if (IsReparsePoint(attributes)) return kErrorReparsePointEncountered;
    UniqueHashState state;
    if (depth == ManifestDepth::kDigests) {
        state.reset(XXH3_createState());
        if (!state) return ERROR_NOT_ENOUGH_MEMORY;
    }
    ManifestWalk walk{state.get(), std::vector<uint8_t>(kReadChunk), manifest, depth};
    if (depth == ManifestDepth::kSizes) walk.buffer.clear();
    return ReadTree(walk, self + L"\\", L"");
}

std::wstring FirstManifestDifference(const BackupManifest& expected, const BackupManifest& found,
                                     ManifestDepth depth) {
    const auto same = [depth](const ManifestEntry& a, const ManifestEntry& b) {
        return depth == ManifestDepth::kDigests ? a == b : a.folder == b.folder && a.size == b.size;
    };
    auto want = expected.begin();
    auto have = found.begin();
    for (; want != expected.end() && have != found.end(); ++want, ++have) {
        if (want->first != have->first) return std::min(want->first, have->first);
        if (!same(want->second, have->second)) return want->first;
    }
    if (want != expected.end()) return want->first;
    if (have != found.end()) return have->first;
    return std::wstring();
}

}  // namespace ikx
