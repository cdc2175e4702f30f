#pragma once
// What a backup holds, so that a rollback restores only a backup known to be
// whole and can tell whether the restored folder matches it: every file and
// folder below a root by relative path, with each file's size and SHA-256.
#include <windows.h>

#include <array>
#include <cstdint>
#include <map>
#include <string>

namespace ikx {

struct ManifestEntry {
    bool folder = false;
    uint64_t size = 0;
    std::array<uint8_t, 32> digest = {};
    bool operator==(const ManifestEntry& other) const {
        return folder == other.folder && size == other.size && digest == other.digest;
    }
};
using BackupManifest = std::map<std::wstring, ManifestEntry>;

// How much of each file a reading takes in: its size from the listing, or
// its size and digest from its bytes.
enum class ManifestDepth { kSizes, kDigests };

// Reads the tree below `folder` (a missing folder reads as empty). A link in
// the tree fails the read (4395): its contents are not the backup's. With
// kSizes no file is opened and every digest is left zero. Returns a Windows
// error or status, 0 on success.
DWORD ReadManifest(const std::wstring& folder, BackupManifest& manifest,
                   ManifestDepth depth = ManifestDepth::kDigests);

// The first relative path at which `found` differs from `expected`, or empty
// when they hold the same entries with the same sizes and, with kDigests,
// the same bytes.
std::wstring FirstManifestDifference(const BackupManifest& expected, const BackupManifest& found,
                                     ManifestDepth depth = ManifestDepth::kDigests);

}  // namespace ikx
