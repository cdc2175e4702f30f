#include "deploy/backup_restore.h"

#include "platform/handles.h"
#include "platform/links.h"
#include "win32/file_ops.h"

namespace ikx {
namespace {

bool IsBelow(const std::wstring& path, const std::wstring& folder) {
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
           path[folder.size()] == L'\\';
}

DWORD PutBackFolder(const std::wstring& target, DWORD attributes) {
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return ::CreateDirectoryW(target.c_str(), nullptr) ? 0 : ::GetLastError();
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : static_cast<DWORD>(ERROR_DIRECTORY);
}

DWORD PutBack(const std::wstring& backup, const std::wstring& installFolder,
              const std::wstring& relative, const ManifestEntry& entry) {
    const std::wstring target = installFolder + relative;
    if (!entry.folder) return CopyReplacingName(backup + relative, target);
    const DWORD attributes = ::GetFileAttributesW(target.c_str());
    return IsReparsePoint(attributes) ? kErrorReparsePointEncountered
                                      : PutBackFolder(target, attributes);
}

void RemoveUnlisted(const std::wstring& folder, const std::wstring& relative,
                    const BackupManifest& manifest);

void RemoveUnlistedEntry(const std::wstring& folder, const std::wstring& relative,
                         const WIN32_FIND_DATAW& found, const BackupManifest& manifest) {
    const std::wstring path = folder + relative;
    const auto listed = manifest.find(relative);
    if (IsReparsePoint(found.dwFileAttributes)) {
        RemoveLinkItself(path);  // a link is never the backup's, listed or not
    } else if (listed != manifest.end()) {
        if (listed->second.folder && (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            RemoveUnlisted(folder, relative + L"\\", manifest);
        }
    } else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        CleanDirectory(path.c_str(), true, false);
    } else {
        DeleteFileItself(path);
    }
}

// What the folder holds beyond the backup goes; failures show in the
// comparison that follows.
void RemoveUnlisted(const std::wstring& folder, const std::wstring& relative,
                    const BackupManifest& manifest) {
    WIN32_FIND_DATAW found = {};
    const UniqueFind listing(::FindFirstFileW((folder + relative + L"*").c_str(), &found));
    if (!listing) return;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        RemoveUnlistedEntry(folder, relative + name, found, manifest);
    } while (::FindNextFileW(listing.get(), &found));
}

}  // namespace

std::vector<RestoreFailure> RestoreBackup(const std::wstring& backup,
                                          const std::wstring& installFolder,
                                          const BackupManifest& manifest) {
    std::vector<RestoreFailure> failures;
    std::vector<std::wstring> failedFolders;
    // The manifest is ordered so that a folder comes before what it holds.
    for (const auto& [relative, entry] : manifest) {
        DWORD error = 0;
        for (const std::wstring& failed : failedFolders) {
            if (IsBelow(relative, failed)) error = ERROR_PATH_NOT_FOUND;
        }
        if (error == 0) error = PutBack(backup, installFolder, relative, entry);
        if (error == 0) continue;
        failures.push_back({relative, error});
        if (entry.folder) failedFolders.push_back(relative);
    }
    RemoveUnlisted(installFolder, L"", manifest);
    return failures;
}

}  // namespace ikx
