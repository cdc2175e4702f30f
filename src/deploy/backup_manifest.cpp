#include "deploy/backup_manifest.h"

#include <xxhash.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "platform/handles.h"
#include "platform/links.h"
#include "workfolders/handle_tree.h"

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

// Every entry below the folder `folder` is a handle on, opened relative to
// it: no path is resolved again for each file, and no link is entered.
DWORD ReadTree(ManifestWalk& walk, HANDLE folder, const std::wstring& relative) {
    std::vector<ListedEntry> entries;
    if (const DWORD error = ListFolder(folder, entries)) return error;
    for (const ListedEntry& listed : entries) {
        if (IsReparsePoint(listed.attributes)) return kErrorReparsePointEncountered;
        const bool isFolder = (listed.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        ManifestEntry entry;
        entry.folder = isFolder;
        if (!isFolder && walk.depth == ManifestDepth::kSizes) entry.size = listed.size;
        if (isFolder || walk.depth == ManifestDepth::kDigests) {
            UniqueFile opened;
            const ACCESS_MASK access = isFolder ? FILE_LIST_DIRECTORY : GENERIC_READ;
            DWORD error = OpenBelow(folder, listed.name, access, opened);
            if (error == 0) {
                error = isFolder ? ReadTree(walk, opened.get(), relative + listed.name + L"\\")
                                 : DigestStream(walk.state, opened.get(), entry, walk.buffer);
            }
            if (error != 0) return error;
        }
        walk.manifest[relative + listed.name] = entry;
    }
    return 0;
}

}  // namespace

DWORD ReadManifest(const std::wstring& folder, BackupManifest& manifest, ManifestDepth depth) {
    manifest.clear();
    // Opened as itself: a link at the root is refused, never entered.
    const UniqueFile root(
        ::CreateFileW(WithoutTrailingBackslash(folder).c_str(),
                      FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!root) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : error;
    }
    DWORD attributes = 0;
    if (const DWORD error = AttributesOf(root.get(), attributes)) return error;
    if (IsReparsePoint(attributes)) return kErrorReparsePointEncountered;
    UniqueHashState state;
    if (depth == ManifestDepth::kDigests) {
        state.reset(XXH3_createState());
        if (!state) return ERROR_NOT_ENOUGH_MEMORY;
    }
    ManifestWalk walk{state.get(), std::vector<uint8_t>(kReadChunk), manifest, depth};
    if (depth == ManifestDepth::kSizes) walk.buffer.clear();
    return ReadTree(walk, root.get(), L"");
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
