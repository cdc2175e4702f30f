#include "win32/work_folders.h"

#include <sddl.h>

#include <cwchar>
#include <vector>

#include "platform/links.h"
#include "win32/file_ops.h"
#include "win32/folder_rules.h"
#include "win32/handle_tree.h"
#include "win32/object_security.h"

namespace ikx {
namespace {

// SYSTEM and Administrators, full control, inherited by everything below; the
// DACL is protected, so nothing of the temp folder's DACL flows in.
constexpr wchar_t kProtectedSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr wchar_t kPrivateFolder[] = L"\\KXE_Private\\";

// Held open without delete sharing: nobody renames or removes it meanwhile.
// Without DELETE itself, so that listing it needs no delete sharing either.
constexpr ACCESS_MASK kHoldAccess =
    FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
constexpr DWORD kHoldSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kOpenItself = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;

bool ProtectedDescriptor(UniqueLocal& sd) {
    return ::ConvertStringSecurityDescriptorToSecurityDescriptorW(kProtectedSddl, SDDL_REVISION_1,
                                                                  sd.put(), nullptr) != FALSE;
}

FolderTrust TrustOfHeld(const std::wstring& path, HANDLE folder) {
    DWORD attributes = 0;
    if (AttributesOf(folder, attributes) != 0) return FolderTrust::kUnreadable;
    if (IsReparsePoint(attributes)) return FolderTrust::kLink;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return FolderTrust::kFile;
    switch (TrustOfObject(folder, path)) {
        case ObjectTrust::kOurs:
            return FolderTrust::kTrusted;
        case ObjectTrust::kOpenToUsers:
            return FolderTrust::kOpenToUsers;
        case ObjectTrust::kForeignOwner:
            return FolderTrust::kForeignOwner;
        case ObjectTrust::kUnreadable:
            break;
    }
    return FolderTrust::kUnreadable;
}

// The last component of a path without a trailing backslash.
std::wstring LeafName(const std::wstring& self) {
    const size_t slash = self.rfind(L'\\');
    return slash == std::wstring::npos ? self : self.substr(slash + 1);
}

void DeleteAtRestart(const std::wstring& path) {
    if (::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
        ::MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
}

// Deletes `name`, just moved into the private folder, through handles; what
// cannot go now is scheduled there for the next restart.
DWORD DeleteMovedAside(const WorkFolder& area, const std::wstring& name) {
    std::vector<std::wstring> leftovers;
    const std::wstring root = area.Path() + name;
    DWORD result = 0;
    // Asked by name as well: Wine resolves a handle on a link to its target.
    if (IsReparsePoint(::GetFileAttributesW(root.c_str()))) {
        result = RemoveLinkItself(root);
    } else {
        UniqueFile moved;
        result = OpenBelow(
            area.Handle(), name,
            FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | DELETE, moved);
        DWORD attributes = 0;
        if (result == 0) result = AttributesOf(moved.get(), attributes);
        if (result == 0 && (attributes & FILE_ATTRIBUTE_DIRECTORY) && !IsReparsePoint(attributes)) {
            result = DeleteTreeBelow(moved.get(), area.Path() + name + L"\\", leftovers);
        }
        if (result == 0) result = DeleteByHandle(moved.get());
    }
    for (const std::wstring& path : leftovers) {
        std::wstring full = root;
        full.append(L"\\").append(path);
        DeleteAtRestart(full);
    }
    DeleteAtRestart(root);
    return result;
}

DWORD TakePrivateFolder(WorkFolder& area) {
    FolderTrust found = FolderTrust::kMissing;
    return TakeWorkFolder(PrivateFolderPath(), Aside::kKeep, area, found);
}

// A link is moved only through a handle that shows it is one: where the
// platform resolves the handle all the same (Wine does), a move would take
// the link's target along, so the link stays and the move fails (4395).
DWORD MoveLinkAside(const std::wstring& self, const std::wstring& target) {
    UniqueFile link(::CreateFileW(self.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, kOpenItself, nullptr));
    if (!link) return ::GetLastError();
    DWORD attributes = 0;
    if (const DWORD error = AttributesOf(link.get(), attributes)) return error;
    if (!IsReparsePoint(attributes)) return kErrorReparsePointEncountered;
    return RenameByHandle(link.get(), target);
}

DWORD MoveItselfAside(const std::wstring& self, const std::wstring& target) {
    // Only DELETE: a folder whose DACL shuts SYSTEM out can still be moved
    // with the temp folder's right to delete its children.
    UniqueFile item(::CreateFileW(self.c_str(), DELETE | FILE_READ_ATTRIBUTES, kHoldSharing,
                                  nullptr, OPEN_EXISTING, kOpenItself, nullptr));
    if (!item) return ::GetLastError();
    return RenameByHandle(item.get(), target);
}

}  // namespace

bool WorkFolder::IsEmpty() const {
    std::vector<ListedEntry> entries;
    return Held() && ListFolder(handle_.get(), entries) == 0 && entries.empty();
}

FolderTrust HoldTrustedFolder(const std::wstring& path, WorkFolder& folder) {
    folder.Release();
    const std::wstring self = WithoutTrailingBackslash(path);
    // Asked by name first: Wine shows a link only there.
    const DWORD attributes = ::GetFileAttributesW(self.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return FolderTrust::kMissing;
    if (IsReparsePoint(attributes)) return FolderTrust::kLink;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return FolderTrust::kFile;
    UniqueFile held(::CreateFileW(self.c_str(), kHoldAccess, kHoldSharing, nullptr, OPEN_EXISTING,
                                  kOpenItself, nullptr));
    if (!held) return FolderTrust::kUnreadable;
    const FolderTrust trust = TrustOfHeld(self, held.get());
    if (trust == FolderTrust::kTrusted) {
        folder.path_ = self + L"\\";
        folder.handle_ = std::move(held);
    }
    return trust;
}

DWORD MakeWorkFolder(const std::wstring& path, WorkFolder& folder) {
    folder.Release();
    const std::wstring self = WithoutTrailingBackslash(path);
    UniqueLocal sd;
    if (!ProtectedDescriptor(sd)) return ::GetLastError();
    SECURITY_ATTRIBUTES security = {sizeof security, sd.get(), FALSE};
    if (!::CreateDirectoryW(self.c_str(), &security)) return ::GetLastError();
    // Ours by construction, and nobody else may remove it: held at once, so
    // that it stays the folder we made.
    UniqueFile held(::CreateFileW(self.c_str(), kHoldAccess, kHoldSharing, nullptr, OPEN_EXISTING,
                                  kOpenItself, nullptr));
    if (!held) return ::GetLastError();
    DWORD attributes = 0;
    if (const DWORD error = AttributesOf(held.get(), attributes)) return error;
    if (IsReparsePoint(attributes) || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return kErrorReparsePointEncountered;
    }
    folder.path_ = self + L"\\";
    folder.handle_ = std::move(held);
    return 0;
}

DWORD MoveAside(const std::wstring& path, Aside mode) {
    const std::wstring self = WithoutTrailingBackslash(path);
    const DWORD attributes = ::GetFileAttributesW(self.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
    const std::wstring name = UnguessableName(LeafName(self));
    if (mode == Aside::kKeep) {
        const std::wstring beside = self.substr(0, self.size() - LeafName(self).size()) + name;
        return IsReparsePoint(attributes) ? MoveLinkAside(self, beside)
                                          : MoveItselfAside(self, beside);
    }
    WorkFolder area;
    if (const DWORD error = TakePrivateFolder(area)) return error;
    const std::wstring target = area.Path() + name;
    const DWORD moved =
        IsReparsePoint(attributes) ? MoveLinkAside(self, target) : MoveItselfAside(self, target);
    if (moved != 0) return moved;
    DeleteMovedAside(area, name);  // out of the way already; what is left goes at restart
    return 0;
}

DWORD TakeWorkFolder(const std::wstring& path, Aside mode, WorkFolder& folder, FolderTrust& found) {
    found = HoldTrustedFolder(path, folder);
    if (found == FolderTrust::kTrusted) return 0;
    if (found != FolderTrust::kMissing) {
        if (const DWORD error = MoveAside(path, mode)) return error;
    }
    return MakeWorkFolder(path, folder);
}

DWORD RemoveWorkFolder(WorkFolder& folder) {
    if (!folder.Held()) return ERROR_INVALID_HANDLE;
    const std::wstring self = WithoutTrailingBackslash(folder.Path());
    const std::wstring name = UnguessableName(LeafName(self));
    WorkFolder area;
    DWORD error = TakePrivateFolder(area);
    // The hold gives way to a handle that may move it: the folder is ours, so
    // nobody else could have put anything in its place meanwhile.
    folder.Release();
    UniqueFile moving;
    if (error == 0) {
        moving.reset(::CreateFileW(self.c_str(), DELETE | FILE_READ_ATTRIBUTES, kHoldSharing,
                                   nullptr, OPEN_EXISTING, kOpenItself, nullptr));
        error = moving ? 0 : ::GetLastError();
    }
    DWORD attributes = 0;
    if (error == 0) error = AttributesOf(moving.get(), attributes);
    if (error == 0 && IsReparsePoint(attributes)) error = kErrorReparsePointEncountered;
    if (error == 0) error = RenameByHandle(moving.get(), area.Path() + name);
    moving.reset();
    if (error != 0) return error;
    return DeleteMovedAside(area, name);
}

DWORD MakeRunFolder(WorkFolder& folder) {
    WorkFolder area;
    if (const DWORD error = TakePrivateFolder(area)) return error;
    return MakeWorkFolder(area.Path() + UnguessableName(L"run"), folder);
}

std::wstring PrivateFolderPath() {
    std::wstring temp;
    GetWindowsTempFolder(temp);
    return temp + kPrivateFolder;
}

}  // namespace ikx
