#include "deploy/backup_manifest.h"

#include <bcrypt.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "platform/handles.h"
#include "win32/file_ops.h"
#include "platform/links.h"

namespace ikx {
namespace {

constexpr DWORD kReadChunk = 1 << 20;
// Only read: a file the running sensor holds open is still compared, not
// reported as a difference.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

DWORD FromStatus(NTSTATUS status) {
    return BCRYPT_SUCCESS(status) ? 0 : static_cast<DWORD>(status);
}

DWORD OpenForReading(const std::wstring& path, UniqueFile& file) {
    file.reset(::CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    return file ? 0 : ::GetLastError();
}

// Size and SHA-256 of what `file` holds from its current position on; each
// chunk is handed to `sink` (a copy's write) as it passes.
DWORD DigestStream(BCRYPT_ALG_HANDLE sha256, HANDLE file, ManifestEntry& entry,
                   std::vector<uint8_t>& buffer,
                   const std::function<DWORD(const uint8_t*, DWORD)>& sink) {
    UniqueHash hash;
    if (const DWORD error =
            FromStatus(::BCryptCreateHash(sha256, hash.put(), nullptr, 0, nullptr, 0, 0))) {
        return error;
    }
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(file, buffer.data(), kReadChunk, &got, nullptr)) return ::GetLastError();
        if (got == 0) break;
        entry.size += got;
        if (const DWORD error = FromStatus(::BCryptHashData(hash.get(), buffer.data(), got, 0))) {
            return error;
        }
        if (sink) {
            if (const DWORD error = sink(buffer.data(), got)) return error;
        }
    }
    return FromStatus(::BCryptFinishHash(hash.get(), entry.digest.data(),
                                         static_cast<ULONG>(entry.digest.size()), 0));
}

struct ManifestWalk {
    BCRYPT_ALG_HANDLE sha256;
    std::vector<uint8_t> buffer;
    BackupManifest& manifest;
    ManifestDepth depth;
};

// Size and SHA-256 of one file, read through a handle that does not follow a link.
DWORD DigestFile(ManifestWalk& walk, const std::wstring& path, ManifestEntry& entry) {
    UniqueFile file;
    if (const DWORD error = OpenForReading(path, file)) return error;
    return DigestStream(walk.sha256, file.get(), entry, walk.buffer, nullptr);
}

// One file copied through the walk's buffer and digested on the way: the
// target gets the source's attributes and times, as CopyFileW gives them.
DWORD CopyAndDigest(ManifestWalk& walk, const std::wstring& from, const std::wstring& to,
                    ManifestEntry& entry) {
    UniqueFile source;
    if (const DWORD error = OpenForReading(from, source)) return error;
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!::GetFileInformationByHandle(source.get(), &info)) return ::GetLastError();
    // A read-only target would refuse the write, as it refuses CopyFileW.
    const UniqueFile target(::CreateFileW(to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          info.dwFileAttributes & ~FILE_ATTRIBUTE_DIRECTORY,
                                          nullptr));
    if (!target) return ::GetLastError();
    const auto write = [&](const uint8_t* bytes, DWORD count) -> DWORD {
        DWORD written = 0;
        if (!::WriteFile(target.get(), bytes, count, &written, nullptr)) return ::GetLastError();
        return written == count ? 0 : static_cast<DWORD>(ERROR_WRITE_FAULT);
    };
    if (const DWORD error = DigestStream(walk.sha256, source.get(), entry, walk.buffer, write)) {
        return error;
    }
    return ::SetFileTime(target.get(), &info.ftCreationTime, &info.ftLastAccessTime,
                         &info.ftLastWriteTime)
               ? 0
               : ::GetLastError();
}

DWORD OpenSha256(UniqueAlgorithm& sha256) {
    return FromStatus(
        ::BCryptOpenAlgorithmProvider(sha256.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0));
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
    UniqueAlgorithm sha256;
    if (depth == ManifestDepth::kDigests) {
        if (const DWORD error = OpenSha256(sha256)) return error;
    }
    ManifestWalk walk{sha256.get(), std::vector<uint8_t>(kReadChunk), manifest, depth};
    if (depth == ManifestDepth::kSizes) walk.buffer.clear();
    return ReadTree(walk, self + L"\\", L"");
}

DWORD CopyAndRecord(const std::wstring& source, const std::wstring& destination,
                    BackupManifest& manifest) {
    manifest.clear();
    UniqueAlgorithm sha256;
    if (const DWORD error = OpenSha256(sha256)) return error;
    ManifestWalk walk{sha256.get(), std::vector<uint8_t>(kReadChunk), manifest,
                      ManifestDepth::kDigests};
    CopyHooks hooks;
    hooks.file = [&](const std::wstring& from, const std::wstring& to,
                     const std::wstring& relative) {
        ManifestEntry entry;
        const DWORD error = CopyAndDigest(walk, from, to, entry);
        if (error == 0) manifest[relative] = entry;
        return error;
    };
    hooks.folder = [&](const std::wstring& relative) { manifest[relative].folder = true; };
    return CopyDirectory(source.c_str(), destination.c_str(), hooks);
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
