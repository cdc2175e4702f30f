#pragma once
// What a backup holds, so that a rollback restores only a backup known to be
// whole and can tell whether the restored folder matches it: every file and
// folder below a root by relative path, with each file's size and XXH3-128.
// The digest tells a torn or changed backup, not a forged one: the backup and
// what is known of it lie side by side where only we may write, and whoever
// could rewrite one could rewrite the other, so a cryptographic hash would buy
// nothing but a slower read.
#include <windows.h>

#include <array>
#include <cstdint>
#include <map>
#include <string>

namespace ikx {

struct ManifestEntry {
    bool folder = false;
    uint64_t size = 0;
    std::array<uint64_t, 2> digest = {};  // XXH3-128: low half, high half
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

// Copies the installation's tree below `source` into the empty folder `into`
// is a handle on, walking both through handles, and makes `manifest` from the
// bytes as they are written: each file is read once, and what the manifest
// says is what the copy holds. Each copied file keeps its attributes and
// last-write time. A link in the source fails the copy (4395, never
// entered), as does a tree more than kMaxWalkDepth levels deep (206); what
// was copied before a failure stays. Logged as the framework's folder copy
// logs, `shown` standing for the destination; a missing source is a path
// not found (3), as a listing of it says. Returns a Windows error, 0 on
// success.
DWORD CopyInstallFolder(const std::wstring& source, const std::wstring& shown, HANDLE into,
                        BackupManifest& manifest);

// The first relative path at which `found` differs from `expected`, or empty
// when they hold the same entries with the same sizes and, with kDigests,
// the same bytes.
std::wstring FirstManifestDifference(const BackupManifest& expected, const BackupManifest& found,
                                     ManifestDepth depth = ManifestDepth::kDigests);

}  // namespace ikx
