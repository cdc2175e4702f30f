#include "workfolders/handle_tree.h"

#include <winternl.h>

#include <cstddef>
#include <cstring>

#include "platform/links.h"
#include "platform/test_seams.h"
#include "win32/file_ops.h"

namespace ikx {
namespace {

constexpr DWORD kListingBytes = 64 * 1024;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ACCESS_MASK kWalkAccess =
    FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | DELETE;
constexpr DWORD kBlockingAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

bool IsDot(const wchar_t* name, size_t length) {
    return (length == 1 && name[0] == L'.') || (length == 2 && name[0] == L'.' && name[1] == L'.');
}

DWORD NtOpen(HANDLE parent, const std::wstring& name, ACCESS_MASK access, ULONG disposition,
             ULONG options, UniqueFile& opened) {
    UNICODE_STRING relative;
    relative.Buffer = const_cast<wchar_t*>(name.c_str());
    relative.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    relative.MaximumLength = relative.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &relative, OBJ_CASE_INSENSITIVE, parent, nullptr);
    IO_STATUS_BLOCK status = {};
    HANDLE handle = nullptr;
    const NTSTATUS result =
        ::NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &status, nullptr, 0, kShareAll,
                       disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (!NT_SUCCESS(result)) return ::RtlNtStatusToDosError(result);
    opened.reset(handle);
    return 0;
}

// Read-only, hidden and system set would refuse the delete. Only a file
// without other names loses them: they belong to every name of it.
void ClearAttributes(HANDLE handle, DWORD attributes) {
    if (!(attributes & kBlockingAttributes)) return;
    FILE_STANDARD_INFO standard = {};
    if (!::GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard) ||
        (!standard.Directory && standard.NumberOfLinks != 1)) {
        return;
    }
    FILE_BASIC_INFO basic = {};
    basic.FileAttributes = (attributes & ~kBlockingAttributes) | FILE_ATTRIBUTE_ARCHIVE;
    ::SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic);
}

// A link met in a listing: removed only when its own handle shows a link.
DWORD DeleteLinkBelow(HANDLE parent, const std::wstring& name) {
    UniqueFile link;
    if (const DWORD error = OpenBelow(parent, name, DELETE | FILE_READ_ATTRIBUTES, link)) {
        return error;
    }
    DWORD attributes = 0;
    if (const DWORD error = AttributesOf(link.get(), attributes)) return error;
    if (!IsReparsePoint(attributes)) return kErrorReparsePointEncountered;
    return DeleteByHandle(link.get());
}

// One folder of the walk: its handle (owned below the top), its listing and
// how far the walk has come through it.
struct Level {
    HANDLE folder = nullptr;
    UniqueFile owned;
    std::wstring name;
    DWORD attributes = 0;
    std::vector<ListedEntry> entries;
    size_t next = 0;
    DWORD result = 0;
};

// The path below the walked folder of `levels`' innermost folder, plus `name`.
std::wstring RelativePath(const std::vector<Level>& levels, const std::wstring& name) {
    std::wstring path;
    for (size_t i = 1; i < levels.size(); ++i) path.append(levels[i].name).append(L"\\");
    return path + name;
}

void Note(std::vector<Leftover>* leftovers, const std::vector<Level>& levels,
          const std::wstring& name, DWORD error, bool folder) {
    if (leftovers) leftovers->push_back({RelativePath(levels, name), error, folder});
}

// Opens a listed entry to delete or enter it; a link is removed right away
// (`done`), as is one that became a link since the listing.
DWORD OpenListed(HANDLE parent, const ListedEntry& entry, UniqueFile& opened, DWORD& attributes,
                 bool& done) {
    done = true;
    if (IsReparsePoint(entry.attributes)) return DeleteLinkBelow(parent, entry.name);
    if (const DWORD error = OpenBelow(parent, entry.name, kWalkAccess, opened)) {
        // A file may refuse listing access; deletion alone may still go through.
        if (OpenBelow(parent, entry.name, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                      opened) != 0) {
            return error;
        }
    }
    if (const DWORD error = AttributesOf(opened.get(), attributes)) return error;
    if (IsReparsePoint(attributes)) return DeleteByHandle(opened.get());
    done = false;
    return 0;
}

// A file the listing shows plain and writable goes with the handle that opens
// it: deleted on close, one open instead of an open, a read of its attributes
// and a marking. The name itself is opened, so a link put there since the
// listing is what goes. Anything else (a folder now, read-only now, held)
// fails here and takes the longer way.
bool DeletedOnClose(HANDLE parent, const ListedEntry& entry) {
    constexpr DWORD kLonger = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY;
    if ((entry.attributes & kLonger) || IsReparsePoint(entry.attributes)) return false;
    UniqueFile file;
    return NtOpen(parent, entry.name, DELETE, FILE_OPEN,
                  FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_DELETE_ON_CLOSE,
                  file) == 0;
}

// Moves a folder too deep to enter into `park`, where a later walk starts on it.
DWORD Park(HANDLE folder, const std::wstring& park) {
    std::wstring name;
    if (park.empty()) return ERROR_FILENAME_EXCED_RANGE;
    if (const DWORD error = UnguessableName(L"deep", name)) return error;
    return RenameByHandle(folder, park + name);
}

// Enters a listed folder: a new level with its listing.
DWORD Enter(std::vector<Level>& levels, const std::wstring& top, const ListedEntry& entry,
            UniqueFile& opened, DWORD attributes) {
    Level level;
    level.folder = opened.get();
    level.name = entry.name;
    level.attributes = attributes;
    if (const DWORD error = ListFolder(level.folder, level.entries)) return error;
    level.owned = std::move(opened);
    levels.push_back(std::move(level));
    if (TestWatchesListings()) TestAfterListing(top + RelativePath(levels, L""));
    return 0;
}

// Takes the next entry of the innermost folder: deleted, parked or entered.
void Step(std::vector<Level>& levels, const std::wstring& top, const std::wstring& park,
          std::vector<Leftover>* leftovers) {
    Level& level = levels.back();
    const ListedEntry entry = level.entries[level.next++];
    if (DeletedOnClose(level.folder, entry)) return;
    UniqueFile opened;
    DWORD attributes = 0;
    bool done = false;
    DWORD error = OpenListed(level.folder, entry, opened, attributes, done);
    const bool folder = !done && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    if (error == 0 && folder) {
        error = levels.size() > kMaxWalkDepth ? Park(opened.get(), park)
                                              : Enter(levels, top, entry, opened, attributes);
        if (error == 0) return;
    } else if (error == 0 && !done) {
        ClearAttributes(opened.get(), attributes);
        error = DeleteByHandle(opened.get());
    }
    if (error == 0) return;
    levels.back().result = error;
    Note(leftovers, levels, entry.name, error, folder);
}

// Ends the innermost folder: deleted once empty, its outcome told to its parent.
void Leave(std::vector<Level>& levels, std::vector<Leftover>* leftovers) {
    Level done = std::move(levels.back());
    levels.pop_back();
    DWORD error = done.result;
    if (error == 0) {
        ClearAttributes(done.folder, done.attributes);
        error = DeleteByHandle(done.folder);
    }
    // As an emptying reports it: a folder that went clears what an earlier
    // entry of its parent reported.
    if (error == 0) {
        levels.back().result = 0;
        return;
    }
    levels.back().result = error;
    Note(leftovers, levels, done.name, error, true);
}

}  // namespace

DWORD ListFolder(HANDLE folder, std::vector<ListedEntry>& entries) {
    entries.clear();
    std::vector<uint8_t> buffer(kListingBytes);
    for (FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;;
         kind = FileIdBothDirectoryInfo) {
        if (!::GetFileInformationByHandleEx(folder, kind, buffer.data(), kListingBytes)) {
            const DWORD error = ::GetLastError();
            return error == ERROR_NO_MORE_FILES ? 0 : error;
        }
        size_t offset = 0;
        for (;;) {
            FILE_ID_BOTH_DIR_INFO info;
            std::memcpy(&info, buffer.data() + offset, offsetof(FILE_ID_BOTH_DIR_INFO, FileName));
            const auto* name = reinterpret_cast<const wchar_t*>(
                buffer.data() + offset + offsetof(FILE_ID_BOTH_DIR_INFO, FileName));
            const size_t length = info.FileNameLength / sizeof(wchar_t);
            if (!IsDot(name, length))
                entries.push_back({std::wstring(name, length), info.FileAttributes,
                                   static_cast<uint64_t>(info.EndOfFile.QuadPart),
                                   info.LastWriteTime.QuadPart});
            if (info.NextEntryOffset == 0) break;
            offset += info.NextEntryOffset;
        }
    }
}

DWORD OpenBelow(HANDLE parent, const std::wstring& name, ACCESS_MASK access, UniqueFile& opened) {
    return NtOpen(parent, name, access, FILE_OPEN,
                  FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT, opened);
}

DWORD CreateFileBelow(HANDLE parent, const std::wstring& name, UniqueFile& created) {
    const DWORD error = NtOpen(parent, name, GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_CREATE,
                               FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, created);
    return error == ERROR_ALREADY_EXISTS ? static_cast<DWORD>(ERROR_FILE_EXISTS) : error;
}

DWORD CreateFolderBelow(HANDLE parent, const std::wstring& name, UniqueFile& created) {
    return NtOpen(parent, name, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, FILE_CREATE,
                  FILE_DIRECTORY_FILE, created);
}

DWORD AttributesOf(HANDLE handle, DWORD& attributes) {
    FILE_ATTRIBUTE_TAG_INFO info = {};
    if (!::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info)) {
        return ::GetLastError();
    }
    attributes = info.FileAttributes;
    return 0;
}

DWORD OpenItselfAt(const std::wstring& path, ACCESS_MASK access, DWORD share, UniqueFile& opened,
                   DWORD& attributes) {
    opened.reset(::CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES, share, nullptr,
                               OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!opened) return ::GetLastError();
    return AttributesOf(opened.get(), attributes);
}

DWORD DeleteTreeBelow(HANDLE folder, const std::wstring& path, const std::wstring& park,
                      std::vector<Leftover>* leftovers) {
    std::vector<Level> levels(1);
    levels[0].folder = folder;
    if (const DWORD error = ListFolder(folder, levels[0].entries)) return error;
    TestAfterListing(path);
    while (levels.size() > 1 || levels[0].next < levels[0].entries.size()) {
        if (levels.back().next < levels.back().entries.size()) {
            Step(levels, path, park, leftovers);
        } else {
            Leave(levels, leftovers);
        }
    }
    return levels[0].result;
}

}  // namespace ikx
