#include "win32/file_ops.h"

#include <bcrypt.h>
#include <winternl.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "win32/folder_rules.h"
#include "win32/object_security.h"
#include "log/log.h"
#include "platform/clock.h"
#include "platform/handles.h"
#include "platform/test_seams.h"

namespace ikx {
namespace {

// Normal + archive: clears read-only, hidden and system so the delete can go through.
constexpr DWORD kDeletableAttributes = FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_ARCHIVE;
constexpr size_t kPathUnits = 261;
constexpr int kCopyAttempts = 5;
constexpr DWORD kCopyRetryMs = 2000;
constexpr DWORD kCopyChunk = 1 << 20;

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

// What a handle shows of the name it was opened on.
struct NameFacts {
    DWORD attributes = 0;
    DWORD links = 0;
};

// Opens the name itself, never what a link points to, and refuses a link or
// a folder there.
DWORD OpenItself(const std::wstring& path, DWORD access, DWORD share, UniqueFile& file,
                 NameFacts& facts) {
    file.reset(::CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES, share, nullptr,
                             OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file) return ::GetLastError();
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    FILE_STANDARD_INFO standard = {};
    if (!::GetFileInformationByHandleEx(file.get(), FileAttributeTagInfo, &tag, sizeof tag) ||
        !::GetFileInformationByHandleEx(file.get(), FileStandardInfo, &standard, sizeof standard)) {
        return ::GetLastError();
    }
    facts = {tag.FileAttributes, standard.NumberOfLinks};
    if (IsReparsePoint(facts.attributes)) return kErrorReparsePointEncountered;
    return standard.Directory ? ERROR_DIRECTORY : 0;
}

// Opens the file at `path` to replace or delete it. A plain file with no
// other name loses its read-only bit through this handle; a hard link keeps
// it: the bit belongs to its other names too.
DWORD OpenNameToReplace(const std::wstring& path, UniqueFile& file) {
    NameFacts facts;
    if (const DWORD error =
            OpenItself(path, DELETE | FILE_WRITE_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, file, facts)) {
        return error;
    }
    if ((facts.attributes & FILE_ATTRIBUTE_READONLY) && facts.links == 1) {
        FILE_BASIC_INFO basic = {};  // zero times are left as they are
        basic.FileAttributes = (facts.attributes & ~FILE_ATTRIBUTE_READONLY) | kDeletableAttributes;
        ::SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof basic);
    }
    return 0;
}

}  // namespace

DWORD CopyBytes(HANDLE from, HANDLE to, DWORD chunk) {
    const std::unique_ptr<char[]> buffer(new (std::nothrow) char[chunk]);
    if (!buffer) return ERROR_NOT_ENOUGH_MEMORY;
    for (;;) {
        DWORD got = 0, written = 0;
        if (!::ReadFile(from, buffer.get(), chunk, &got, nullptr)) return ::GetLastError();
        if (got == 0) return 0;
        if (!::WriteFile(to, buffer.get(), got, &written, nullptr)) return ::GetLastError();
        if (written != got) return ERROR_WRITE_FAULT;
    }
}

namespace {

// Writes the bytes, last-write time and attributes of `source` into `target`.
DWORD CopyInto(const std::wstring& source, HANDLE target) {
    const UniqueFile from(::CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    FILE_BASIC_INFO basic = {};
    FILE_STANDARD_INFO standard = {};
    if (!from || !::GetFileInformationByHandleEx(from.get(), FileBasicInfo, &basic, sizeof basic) ||
        !::GetFileInformationByHandleEx(from.get(), FileStandardInfo, &standard, sizeof standard)) {
        return ::GetLastError();
    }
    const DWORD chunk = static_cast<DWORD>(
        std::min<LONGLONG>(kCopyChunk, std::max<LONGLONG>(standard.EndOfFile.QuadPart, 1)));
    if (const DWORD error = CopyBytes(from.get(), target, chunk)) return error;
    FILE_BASIC_INFO copied = {};  // zero creation and access times are left as they are
    copied.LastWriteTime = basic.LastWriteTime;
    copied.FileAttributes = basic.FileAttributes ? basic.FileAttributes : FILE_ATTRIBUTE_NORMAL;
    return ::SetEndOfFile(target) &&
                   ::SetFileInformationByHandle(target, FileBasicInfo, &copied, sizeof copied)
               ? 0
               : ::GetLastError();
}

// A fresh name beside `target` for the copy that replaces it: a user who may
// write to the folder cannot prepare it.
DWORD NameBeside(const std::wstring& target, std::wstring& beside) {
    std::wstring name;
    if (const DWORD error = UnguessableName(L"~ikx", name)) return error;
    beside = target.substr(0, target.find_last_of(L'\\') + 1) + name;
    return 0;
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
    return DeleteByHandle(link.get());
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

DWORD RenameByHandle(HANDLE handle, const std::wstring& target, bool replace) {
    const size_t bytes = sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t);
    std::vector<uint8_t> buffer(bytes, 0);
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = replace ? TRUE : FALSE;
    rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
    std::memcpy(rename->FileName, target.c_str(), target.size() * sizeof(wchar_t));
    return ::SetFileInformationByHandle(handle, FileRenameInfo, rename, static_cast<DWORD>(bytes))
               ? 0
               : ::GetLastError();
}

DWORD DeleteByHandle(HANDLE handle) {
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return ::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                        sizeof disposition)
               ? 0
               : ::GetLastError();
}

DWORD UnguessableName(const std::wstring& stem, std::wstring& name) {
    uint8_t random[8] = {};
    const NTSTATUS status =
        TestRandomFails()
            ? static_cast<NTSTATUS>(0xC0000001L)  // STATUS_UNSUCCESSFUL
            : ::BCryptGenRandom(nullptr, random, sizeof random, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (!BCRYPT_SUCCESS(status)) return ::RtlNtStatusToDosError(status);
    wchar_t suffix[2 * sizeof random + 1] = {};
    for (size_t i = 0; i < sizeof random; ++i) {
        _snwprintf_s(suffix + 2 * i, 3, _TRUNCATE, L"%02x", random[i]);
    }
    name = stem + L"." + suffix;
    return 0;
}

DWORD DeleteFileItself(const std::wstring& path) {
    UniqueFile file;
    if (const DWORD error = OpenNameToReplace(path, file)) return error;
    return DeleteByHandle(file.get());
}

namespace {

// A copy that could not take its place goes; a read-only bit would stop that.
void DiscardCopy(HANDLE copy) {
    FILE_BASIC_INFO basic = {};  // zero times are left as they are
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    ::SetFileInformationByHandle(copy, FileBasicInfo, &basic, sizeof basic);
    DeleteByHandle(copy);
}

// Puts a new file at a name whose file may not be written in place: made
// beside it under a name nobody can prepare, shared with nobody while it is
// filled, and renamed over the name through its own handle. The old file's
// other names keep it, and whoever could write it never reaches the new one.
DWORD ReplaceByRename(const std::wstring& source, const std::wstring& target) {
    std::wstring beside;
    if (const DWORD error = NameBeside(target, beside)) return error;
    const UniqueFile copy(::CreateFileW(beside.c_str(), GENERIC_WRITE | DELETE, 0, nullptr,
                                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!copy) return ::GetLastError();
    DWORD error = CopyInto(source, copy.get());
    if (error == 0) error = RenameByHandle(copy.get(), target, true);
    if (error != 0) DiscardCopy(copy.get());
    return error;
}

// Opens an existing target to write it, lifting its read-only bit if need be.
DWORD OpenToOverwrite(const std::wstring& target, UniqueFile& file, NameFacts& facts) {
    // READ_CONTROL: whose file it is is read through the handle that writes it.
    constexpr DWORD kAccess = GENERIC_WRITE | FILE_WRITE_ATTRIBUTES | READ_CONTROL;
    DWORD error = OpenItself(target, kAccess, FILE_SHARE_READ, file, facts);
    if (error == ERROR_ACCESS_DENIED) {
        UniqueFile lifting;
        if (OpenNameToReplace(target, lifting) == 0) {
            lifting.reset();
            error = OpenItself(target, kAccess, FILE_SHARE_READ, file, facts);
        }
    }
    return error;
}

}  // namespace

DWORD CopyReplacingName(const std::wstring& source, const std::wstring& target) {
    // The file open here is the one written, and only once its handle shows a
    // file of ours that no other name reaches and nobody else may write: then
    // nothing anyone does to the name redirects the write, and nobody changes
    // the bytes afterwards. Any other file is replaced, never written. Looked
    // for first: a copy mostly replaces files, and a copy that fails on a
    // taken name has read its source for nothing.
    UniqueFile file;
    NameFacts facts;
    DWORD opened = OpenToOverwrite(target, file, facts);
    if (opened == ERROR_FILE_NOT_FOUND) {
        // A new file cannot be made through a name that is taken, link or not.
        if (::CopyFileW(source.c_str(), target.c_str(), TRUE)) return 0;
        const DWORD error = ::GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return error;
        opened = OpenToOverwrite(target, file, facts);  // made meanwhile: as any file found
    }
    if (opened != 0) return opened;
    if (facts.links == 1 && TrustOfObject(file.get(), target) == ObjectTrust::kOurs) {
        return CopyInto(source, file.get());
    }
    file.reset();
    return ReplaceByRename(source, target);
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
        // A link at the destination name is refused by the recursion (a
        // folder) or by the copy (a file), which checks the name it replaces.
        if (IsReparsePoint(entry.dwFileAttributes)) return RefuseLinkedCopy();
        if (IsFolder(entry)) {
            const DWORD result = CopyDirectory(from.c_str(), to.c_str());
            if (result != 0) return result;
        } else if (const DWORD error = CopyReplacingName(from, to)) {
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

    const bool newFileOnly = target == CopyTarget::kNewFile;
    for (int attempt = 0; attempt < kCopyAttempts; ++attempt) {
        const DWORD error =
            newFileOnly
                ? (::CopyFileW(source.c_str(), destination.c_str(), TRUE) ? 0 : ::GetLastError())
                : CopyReplacingName(source, destination);
        if (error == 0) return;
        LOG_INFO("[%d]Copy failed \"%ws\" -> \"%ws\". Error code = : %lu", attempt, source.c_str(),
                 destination.c_str(), static_cast<unsigned long>(error));
        // A name that is taken stays taken: waiting would not make the file new.
        if (newFileOnly && error == ERROR_FILE_EXISTS) return;
        SleepMs(kCopyRetryMs);
    }
}

}  // namespace ikx
