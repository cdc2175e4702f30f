#include "deploy/backup_manifest.h"

#include <xxhash.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "log/log.h"
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

// Size and XXH3-128 of what `file` holds; with `copy`, each read is also
// written there before the next.
DWORD DigestStream(XXH3_state_t* state, HANDLE file, HANDLE copy, ManifestEntry& entry,
                   std::vector<uint8_t>& buffer) {
    if (XXH3_128bits_reset(state) != XXH_OK) return ERROR_INVALID_PARAMETER;
    for (;;) {
        DWORD got = 0, written = 0;
        if (!::ReadFile(file, buffer.data(), kReadChunk, &got, nullptr)) return ::GetLastError();
        if (got == 0) break;
        if (copy && !::WriteFile(copy, buffer.data(), got, &written, nullptr)) {
            return ::GetLastError();
        }
        if (copy && written != got) return ERROR_WRITE_FAULT;
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

// The copy of a listed file keeps what a copy by the platform keeps: its
// last-write time and the attributes a file can be given.
DWORD KeepListedFacts(HANDLE copy, const ListedEntry& listed) {
    constexpr DWORD kSettable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    FILE_BASIC_INFO basic = {};  // zero creation and access times are left as they are
    basic.LastWriteTime.QuadPart = listed.lastWrite;
    const DWORD kept = listed.attributes & kSettable;
    basic.FileAttributes = kept ? kept : FILE_ATTRIBUTE_NORMAL;
    return ::SetFileInformationByHandle(copy, FileBasicInfo, &basic, sizeof basic)
               ? 0
               : ::GetLastError();
}

DWORD ReadTree(ManifestWalk& walk, HANDLE folder, HANDLE into, const std::wstring& relative,
               size_t level);

// One entry of a listing: a folder is walked (and made in `into`), a file
// digested (and copied into `into`), each opened below its folder's handle.
DWORD ReadEntry(ManifestWalk& walk, HANDLE folder, HANDLE into, const ListedEntry& listed,
                const std::wstring& relative, size_t level, ManifestEntry& entry) {
    const bool isFolder = entry.folder;
    UniqueFile opened, copy;
    DWORD error =
        OpenBelow(folder, listed.name, isFolder ? FILE_LIST_DIRECTORY : GENERIC_READ, opened);
    if (error == 0 && into) {
        error = isFolder ? CreateFolderBelow(into, listed.name, copy)
                         : CreateFileBelow(into, listed.name, copy);
    }
    if (error != 0) return error;
    // Without a copy there is no handle to pass on: an empty owner's is not null.
    const HANDLE copied = copy ? copy.get() : nullptr;
    if (isFolder) {
        return ReadTree(walk, opened.get(), copied, relative + listed.name + L"\\", level + 1);
    }
    error = DigestStream(walk.state, opened.get(), copied, entry, walk.buffer);
    return error == 0 && copy ? KeepListedFacts(copy.get(), listed) : error;
}

// Every entry below the folder `folder` is a handle on, opened relative to
// it: no path is resolved again for each file, and no link is entered.
DWORD ReadTree(ManifestWalk& walk, HANDLE folder, HANDLE into, const std::wstring& relative,
               size_t level) {
    if (level > kMaxWalkDepth) return ERROR_FILENAME_EXCED_RANGE;
    std::vector<ListedEntry> entries;
    if (const DWORD error = ListFolder(folder, entries)) return error;
    for (const ListedEntry& listed : entries) {
        if (IsReparsePoint(listed.attributes)) return kErrorReparsePointEncountered;
        ManifestEntry entry;
        entry.folder = (listed.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (!entry.folder && walk.depth == ManifestDepth::kSizes) {
            entry.size = listed.size;
        } else if (const DWORD error =
                       ReadEntry(walk, folder, into, listed, relative, level, entry)) {
            return error;
        }
        walk.manifest[relative + listed.name] = entry;
    }
    return 0;
}

// The root of a walk, opened as itself: a link there is refused, never
// entered. Asked by its name first as well: where the platform resolves a
// link's handle (Wine does), its name still shows it.
DWORD OpenRoot(const std::wstring& folder, UniqueFile& root) {
    const std::wstring name = WithoutTrailingBackslash(folder);
    const DWORD named = ::GetFileAttributesW(name.c_str());
    DWORD attributes = 0;
    if (named != INVALID_FILE_ATTRIBUTES && IsReparsePoint(named)) {
        return kErrorReparsePointEncountered;
    }
    if (const DWORD error = OpenItselfAt(name, FILE_LIST_DIRECTORY, kShareAll, root, attributes)) {
        return error;
    }
    return IsReparsePoint(attributes) ? kErrorReparsePointEncountered : 0;
}

DWORD Walk(HANDLE root, HANDLE into, BackupManifest& manifest, ManifestDepth depth) {
    UniqueHashState state;
    if (depth == ManifestDepth::kDigests) {
        state.reset(XXH3_createState());
        if (!state) return ERROR_NOT_ENOUGH_MEMORY;
    }
    ManifestWalk walk{state.get(), std::vector<uint8_t>(), manifest, depth};
    if (depth == ManifestDepth::kDigests) walk.buffer.resize(kReadChunk);
    return ReadTree(walk, root, into, L"", 0);
}

}  // namespace

DWORD ReadManifest(const std::wstring& folder, BackupManifest& manifest, ManifestDepth depth) {
    manifest.clear();
    UniqueFile root;
    if (const DWORD error = OpenRoot(folder, root)) {
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : error;
    }
    return Walk(root.get(), nullptr, manifest, depth);
}

DWORD CopyInstallFolder(const std::wstring& source, const std::wstring& shown, HANDLE into,
                        BackupManifest& manifest) {
    constexpr char kCopyDirectory[] = "CopyDirectory";
    LOG_INFO_AS(kCopyDirectory, "Src Path: %ws\n", source.c_str());
    LOG_INFO_AS(kCopyDirectory, "Dst Path: %ws\n", shown.c_str());
    manifest.clear();
    UniqueFile root;
    DWORD error = OpenRoot(source, root);
    // A missing source, unlogged, as a listing of it reports it.
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return ERROR_PATH_NOT_FOUND;
    if (error == 0) error = Walk(root.get(), into, manifest, ManifestDepth::kDigests);
    if (error != 0) {
        LOG_WARN_AS(kCopyDirectory, "CopyFile fail. (Error: %d)", static_cast<int>(error));
    }
    return error;
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
