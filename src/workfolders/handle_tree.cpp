#include "workfolders/handle_tree.h"

#include <winternl.h>

#include <cstddef>
#include <cstring>

#include "platform/links.h"
#include "platform/test_seams.h"

namespace ikx {
namespace {

constexpr DWORD kListingBytes = 64 * 1024;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ACCESS_MASK kWalkAccess =
    FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | DELETE;

bool IsDot(const wchar_t* name, size_t length) {
    return (length == 1 && name[0] == L'.') || (length == 2 && name[0] == L'.' && name[1] == L'.');
}

// Read-only, hidden and system set would refuse the delete.
void ClearAttributes(HANDLE handle, DWORD attributes) {
    constexpr DWORD kBlocking =
        FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    if (!(attributes & kBlocking)) return;
    FILE_BASIC_INFO basic = {};
    basic.FileAttributes = (attributes & ~kBlocking) | FILE_ATTRIBUTE_ARCHIVE;
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

DWORD DeleteEntryBelow(HANDLE parent, const ListedEntry& entry, const std::wstring& walkName,
                       std::vector<std::wstring>& leftovers) {
    if (IsReparsePoint(entry.attributes)) return DeleteLinkBelow(parent, entry.name);
    UniqueFile opened;
    if (const DWORD error = OpenBelow(parent, entry.name, kWalkAccess, opened)) {
        // A file may refuse listing access; deletion alone may still go through.
        if (OpenBelow(parent, entry.name, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                      opened) != 0) {
            return error;
        }
    }
    DWORD attributes = 0;
    if (const DWORD error = AttributesOf(opened.get(), attributes)) return error;
    // Became a link since the listing: never entered.
    if (IsReparsePoint(attributes)) return DeleteByHandle(opened.get());
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        std::vector<std::wstring> below;
        const DWORD error = DeleteTreeBelow(opened.get(), walkName + entry.name + L"\\", below);
        for (const std::wstring& path : below) leftovers.push_back(entry.name + L"\\" + path);
        if (error != 0) return error;
    }
    ClearAttributes(opened.get(), attributes);
    return DeleteByHandle(opened.get());
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
                entries.push_back({std::wstring(name, length), info.FileAttributes});
            if (info.NextEntryOffset == 0) break;
            offset += info.NextEntryOffset;
        }
    }
}

DWORD OpenBelow(HANDLE parent, const std::wstring& name, ACCESS_MASK access, UniqueFile& opened) {
    UNICODE_STRING relative;
    relative.Buffer = const_cast<wchar_t*>(name.c_str());
    relative.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    relative.MaximumLength = relative.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &relative, OBJ_CASE_INSENSITIVE, parent, nullptr);
    IO_STATUS_BLOCK status = {};
    HANDLE handle = nullptr;
    const NTSTATUS result = ::NtCreateFile(
        &handle, access | SYNCHRONIZE, &attributes, &status, nullptr, 0, kShareAll, FILE_OPEN,
        FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT,
        nullptr, 0);
    if (!NT_SUCCESS(result)) return ::RtlNtStatusToDosError(result);
    opened.reset(handle);
    return 0;
}

DWORD AttributesOf(HANDLE handle, DWORD& attributes) {
    FILE_ATTRIBUTE_TAG_INFO info = {};
    if (!::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info)) {
        return ::GetLastError();
    }
    attributes = info.FileAttributes;
    return 0;
}

DWORD RenameByHandle(HANDLE handle, const std::wstring& target) {
    const size_t bytes = sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t);
    std::vector<uint8_t> buffer(bytes, 0);
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
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

DWORD DeleteTreeBelow(HANDLE folder, const std::wstring& walkName,
                      std::vector<std::wstring>& leftovers) {
    std::vector<ListedEntry> entries;
    if (const DWORD error = ListFolder(folder, entries)) return error;
    TestAfterListing(walkName);
    DWORD result = 0;
    for (const ListedEntry& entry : entries) {
        const DWORD error = DeleteEntryBelow(folder, entry, walkName, leftovers);
        if (error == 0) continue;
        result = error;
        leftovers.push_back(entry.name);  // after what is left below it
    }
    return result;
}

}  // namespace ikx
