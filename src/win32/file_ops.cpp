#include "win32/file_ops.h"

#include "win32/folder_rules.h"
#include "log/log.h"
#include "platform/clock.h"
#include "platform/handles.h"

namespace ikx {
namespace {

// Normal + archive: clears read-only, hidden and system so the delete can go through.
constexpr DWORD kDeletableAttributes = FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_ARCHIVE;
constexpr size_t kPathUnits = 261;
constexpr int kCopyAttempts = 5;
constexpr DWORD kCopyRetryMs = 2000;

bool IsDotEntry(const wchar_t* name) {
    return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0;
}

bool IsFolder(const WIN32_FIND_DATAW& entry) {
    return (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Only what is still there is scheduled, and nothing below the Windows temp
// folder: once removed there, a user could put a link in its place before the
// restart, and the boot-time pass would delete through it.
void DeleteAtRestart(const std::wstring& path) {
    const std::wstring self = WithoutTrailingBackslash(path);
    std::wstring temp;
    GetWindowsTempFolder(temp);
    if (::GetFileAttributesW(self.c_str()) == INVALID_FILE_ATTRIBUTES ||
        FolderContains(temp, self)) {
        return;
    }
    ::MoveFileExW(self.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

// Holds a folder open for the length of its walk, refusing one that is (or
// has just become) a link. Opened without delete sharing, the folder cannot be
// renamed, removed or swapped for a junction between the check and the listing,
// and the platform refuses to rename a parent of an open folder.
DWORD PinFolder(const std::wstring& path, UniqueFile& pin) {
    pin.reset(::CreateFileW(WithoutTrailingBackslash(path).c_str(), FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!pin) return ::GetLastError();
    FILE_ATTRIBUTE_TAG_INFO opened = {};
    if (!::GetFileInformationByHandleEx(pin.get(), FileAttributeTagInfo, &opened, sizeof opened)) {
        return ::GetLastError();
    }
    if (IsReparsePoint(opened.FileAttributes)) return kErrorReparsePointEncountered;
    return (opened.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : ERROR_DIRECTORY;
}

// Removes a link met in a listing; the error to store, or 0. A link is never
// scheduled for deletion at restart: what that would delete is not ours to know.
DWORD RemoveListedLink(const std::wstring& path) {
    const DWORD error = RemoveLinkItself(path);
    if (error != 0) {
        LOG_WARN_AS("CleanDirectory", "Delete file: (%ws) failed. (Error: %d)", path.c_str(),
                    static_cast<int>(error));
    }
    return error;
}

// Removes one file of a listing; the error to store, or 0.
DWORD DeleteListedFile(const std::wstring& path, bool delayOnFailure) {
    if (!::SetFileAttributesW(path.c_str(), kDeletableAttributes)) {
        LOG_WARN_AS("CleanDirectory", "SetFileAttributesW failed on file: %ws. (Error: %d)",
                    path.c_str(), static_cast<int>(::GetLastError()));
    }
    if (::DeleteFileW(path.c_str())) return 0;
    const DWORD error = ::GetLastError();
    if (delayOnFailure) {
        DeleteAtRestart(path);
        return 0;
    }
    LOG_WARN_AS("CleanDirectory", "Delete file: (%ws) failed. (Error: %d)", path.c_str(),
                static_cast<int>(error));
    return error;
}

// A copy that would read or write through a link fails like a failed copy.
DWORD RefuseLinkedCopy() {
    LOG_WARN_AS("CopyDirectory", "CopyFile fail. (Error: %d)",
                static_cast<int>(kErrorReparsePointEncountered));
    return kErrorReparsePointEncountered;
}

// CleanDirectory below its checks of the caller's path; recursions start here.
DWORD CleanFolderTree(const wchar_t* folder, bool removeSelf, bool delayOnFailure) {
    // Asked about by its name alone: with a trailing backslash a link answers
    // for its target.
    const DWORD attributes = ::GetFileAttributesW(WithoutTrailingBackslash(folder).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        LOG_WARN_AS("CleanDirectory", "Directory path doesn't exist.");
        return ERROR_PATH_NOT_FOUND;
    }
    // The folder itself a link: it is not walked; removing it removes the link.
    if (IsReparsePoint(attributes)) {
        return removeSelf ? RemoveLinkItself(folder) : kErrorReparsePointEncountered;
    }
    std::wstring base(folder);
    if (base.back() != L'\\') base += L'\\';

    UniqueFile pin;
    const DWORD pinned = PinFolder(base, pin);
    if (pinned == kErrorReparsePointEncountered && removeSelf) return RemoveLinkItself(folder);
    WIN32_FIND_DATAW entry = {};
    UniqueFind listing;
    if (pinned == 0) listing.reset(::FindFirstFileW((base + L"*").c_str(), &entry));
    if (!listing) {
        const DWORD error = pinned != 0 ? pinned : ::GetLastError();
        LOG_WARN_AS("CleanDirectory", "FindFirstFileW failed. (Error: %d)",
                    static_cast<int>(error));
        return error;
    }
    DWORD result = 0;
    do {
        if (IsDotEntry(entry.cFileName)) continue;
        if (IsReparsePoint(entry.dwFileAttributes)) {
            const DWORD error = RemoveListedLink(base + entry.cFileName);
            if (error != 0) result = error;
        } else if (IsFolder(entry)) {
            const std::wstring sub = base + entry.cFileName;
            result = CleanFolderTree((sub + L"\\").c_str(), removeSelf, delayOnFailure);
            if (result != 0) return result;
            // With removeSelf the recursion removed it, or scheduled what it could not.
            if (!removeSelf && !::RemoveDirectoryW(sub.c_str())) {
                if (delayOnFailure) {
                    DeleteAtRestart(sub);
                } else {
                    result = ::GetLastError();
                }
            }
        } else {
            const DWORD error = DeleteListedFile(base + entry.cFileName, delayOnFailure);
            if (error != 0) result = error;
        }
    } while (::FindNextFileW(listing.get(), &entry));
    listing.reset();
    pin.reset();

    const std::wstring self = WithoutTrailingBackslash(folder);
    if (removeSelf && !::RemoveDirectoryW(self.c_str()) && delayOnFailure) DeleteAtRestart(self);
    return result;
}

}  // namespace

// Deletes a junction or link itself. The delete goes through a handle opened
// on the link, and only once that handle shows a reparse point: where the
// platform resolves the link all the same (Wine does), nothing is deleted.
DWORD RemoveLinkItself(const std::wstring& path) {
    UniqueFile link(::CreateFileW(
        WithoutTrailingBackslash(path).c_str(), DELETE | FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!link) return ::GetLastError();
    FILE_ATTRIBUTE_TAG_INFO opened = {};
    if (!::GetFileInformationByHandleEx(link.get(), FileAttributeTagInfo, &opened, sizeof opened)) {
        return ::GetLastError();
    }
    if (!IsReparsePoint(opened.FileAttributes)) return kErrorReparsePointEncountered;
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return ::SetFileInformationByHandle(link.get(), FileDispositionInfo, &disposition,
                                        sizeof disposition)
               ? 0
               : ::GetLastError();
}

DWORD CleanDirectory(const wchar_t* folder, bool removeSelf, bool delayOnFailure) {
    if (!folder || !*folder) {
        LOG_WARN("Directory path is NULL.");
        return ERROR_INVALID_PARAMETER;
    }
    // Whatever path a caller was handed, it never empties a root or the system.
    if (IsSystemFolder(folder)) {
        LOG_WARN("Refuse to clean a system folder: %ws", folder);
        return ERROR_ACCESS_DENIED;
    }
    return CleanFolderTree(folder, removeSelf, delayOnFailure);
}

DWORD CopyDirectory(const wchar_t* source, const wchar_t* destination) {
    if (!source || !*source) {
        LOG_WARN("wszSrcPath is invalid");
        return ERROR_INVALID_PARAMETER;
    }
    if (!destination || !*destination) {
        LOG_WARN("wszDestPath is invalid");
        return ERROR_INVALID_PARAMETER;
    }
    LOG_INFO("Src Path: %ws\n", source);
    LOG_INFO("Dst Path: %ws\n", destination);

    const DWORD attributes = ::GetFileAttributesW(WithoutTrailingBackslash(destination).c_str());
    if (IsReparsePoint(attributes) ||
        IsReparsePoint(::GetFileAttributesW(WithoutTrailingBackslash(source).c_str()))) {
        return RefuseLinkedCopy();
    }
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        // One level only: a missing parent shows up as the first copy failure.
        ::CreateDirectoryW(destination, nullptr);
    } else if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        LOG_WARN("destination exist but not directory");
        return ERROR_INVALID_PARAMETER;
    }

    const std::wstring sourceBase = std::wstring(source) + L"\\";
    const std::wstring destinationBase = std::wstring(destination) + L"\\";
    UniqueFile sourcePin, destinationPin;
    // A missing destination shows up as the first copy failure, as before.
    if (PinFolder(sourceBase, sourcePin) == kErrorReparsePointEncountered ||
        PinFolder(destinationBase, destinationPin) == kErrorReparsePointEncountered) {
        return RefuseLinkedCopy();
    }
    WIN32_FIND_DATAW entry = {};
    UniqueFind listing(::FindFirstFileW((sourceBase + L"*.*").c_str(), &entry));
    if (!listing) return ::GetLastError();
    do {
        if (IsDotEntry(entry.cFileName)) continue;
        const std::wstring from = sourceBase + entry.cFileName;
        const std::wstring to = destinationBase + entry.cFileName;
        if (IsReparsePoint(entry.dwFileAttributes) ||
            IsReparsePoint(::GetFileAttributesW(to.c_str()))) {
            return RefuseLinkedCopy();
        }
        if (IsFolder(entry)) {
            const DWORD result = CopyDirectory(from.c_str(), to.c_str());
            if (result != 0) return result;
        } else if (!::CopyFileW(from.c_str(), to.c_str(), FALSE)) {
            const DWORD error = ::GetLastError();
            LOG_WARN("CopyFile fail. (Error: %d)", static_cast<int>(error));
            return error;
        }
    } while (::FindNextFileW(listing.get(), &entry));
    return 0;
}

void TryCopyFile(const wchar_t* sourceFolder, const wchar_t* destinationFolder, const wchar_t* name,
                 const wchar_t* destName, CopyTarget target) {
    const std::wstring fileName = name ? name : L"";
    const std::wstring source = sourceFolder ? std::wstring(sourceFolder) + L"\\" + fileName : L"";
    // Only a missing folder is final; a missing file may still be on its way.
    // A path that does not fit the buffer names no file that can be copied.
    if (source.size() >= kPathUnits ||
        (::GetFileAttributesW(source.c_str()) == INVALID_FILE_ATTRIBUTES &&
         ::GetLastError() == ERROR_PATH_NOT_FOUND)) {
        LOG_INFO("Cannot copy: \"%ws\" doesn't exist.", source.c_str());
        return;
    }
    if (!destinationFolder) return;
    if (::GetFileAttributesW(destinationFolder) == INVALID_FILE_ATTRIBUTES) {
        ::CreateDirectoryW(destinationFolder, nullptr);
    }
    const std::wstring destination =
        std::wstring(destinationFolder) + L"\\" + (destName ? std::wstring(destName) : fileName);

    const BOOL failIfExists = target == CopyTarget::kNewFile;
    for (int attempt = 0; attempt < kCopyAttempts; ++attempt) {
        if (::CopyFileW(source.c_str(), destination.c_str(), failIfExists)) return;
        const DWORD error = ::GetLastError();
        LOG_INFO("[%d]Copy failed \"%ws\" -> \"%ws\". Error code = : %lu", attempt, source.c_str(),
                 destination.c_str(), static_cast<unsigned long>(error));
        // A name that is taken stays taken: waiting would not make the file new.
        if (failIfExists && error == ERROR_FILE_EXISTS) return;
        SleepMs(kCopyRetryMs);
    }
}

}  // namespace ikx
