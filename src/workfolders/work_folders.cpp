#include "workfolders/work_folders.h"

#include <sddl.h>

#include <cwchar>
#include <vector>

#include "platform/links.h"
#include "win32/file_ops.h"
#include "win32/folder_rules.h"
#include "win32/object_security.h"
#include "workfolders/handle_tree.h"

namespace ikx {
namespace {

// SYSTEM and Administrators, full control, inherited by everything below; the
// DACL is protected, so nothing of the temp folder's DACL flows in.
constexpr wchar_t kProtectedSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr wchar_t kPrivateStem[] = L"KXE_Private";

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

std::wstring TempFolderPath() {
    std::wstring temp;
    GetWindowsTempFolder(temp);
    return temp + L"\\";
}

// Opens the folder at `self` to delete it (DELETE, listing access), while
// nobody else holds it: a holder shares no deletion, so the open fails.
DWORD OpenToDispose(const std::wstring& self, UniqueFile& folder) {
    DWORD attributes = 0;
    if (const DWORD error =
            OpenItselfAt(self, kHoldAccess | DELETE, kHoldSharing, folder, attributes)) {
        return error;
    }
    return IsReparsePoint(attributes) ? kErrorReparsePointEncountered : 0;
}

// Deletes what a private folder holds, through handles, then the folder;
// what cannot go stays in it for a later sweep. Nothing is left to a
// restart: a path below a folder a user made could lead anywhere by then.
void DisposeOpened(HANDLE folder, const std::wstring& path) {
    if (DeleteTreeBelow(folder, path, path) == 0) DeleteByHandle(folder);
}

// Opens what is at `self` to move it. A link is moved only through a handle
// that shows it is one: where the platform resolves the handle all the same
// (Wine does), a move would take the link's target along, so the link stays
// and the move fails (4395). Anything else is opened with DELETE only: a
// folder whose DACL shuts SYSTEM out can still be moved with the temp
// folder's right to delete its children.
DWORD OpenToMove(const std::wstring& self, bool link, UniqueFile& item) {
    DWORD attributes = 0;
    if (const DWORD error =
            OpenItselfAt(self, DELETE, link ? kHoldSharing | FILE_SHARE_DELETE : kHoldSharing, item,
                         attributes)) {
        return error;
    }
    return IsReparsePoint(attributes) == link ? 0 : kErrorReparsePointEncountered;
}

// Moves what `item` is open on into a fresh private folder and deletes it
// there once the handle is closed; what stays waits there for the sweep.
DWORD MoveIntoPrivateFolder(UniqueFile item, const std::wstring& leaf) {
    std::wstring name;
    if (const DWORD error = UnguessableName(leaf, name)) return error;
    WorkFolder area;
    if (const DWORD error = MakePrivateFolder(area)) return error;
    const DWORD moved = RenameByHandle(item.get(), area.Path() + name);
    item.reset();
    DisposePrivateFolder(area);
    return moved;
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
    UniqueFile held;
    DWORD attributes = 0;
    if (const DWORD error = OpenItselfAt(self, kHoldAccess, kHoldSharing, held, attributes)) {
        return error;
    }
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
    UniqueFile item;
    if (const DWORD error = OpenToMove(self, IsReparsePoint(attributes), item)) return error;
    if (mode == Aside::kDelete) return MoveIntoPrivateFolder(std::move(item), LeafName(self));
    std::wstring name;
    if (const DWORD error = UnguessableName(LeafName(self), name)) return error;
    return RenameByHandle(item.get(), self.substr(0, self.size() - LeafName(self).size()) + name);
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
    // The hold gives way to a handle that may move it: the folder is ours, so
    // nobody else could have put anything in its place meanwhile.
    folder.Release();
    UniqueFile item;
    if (const DWORD error = OpenToMove(self, false, item)) return error;
    return MoveIntoPrivateFolder(std::move(item), LeafName(self));
}

DWORD EmptyThroughHandle(HANDLE folder, const std::wstring& path,
                         std::vector<Leftover>& leftovers) {
    // Only a tree too deep to walk at once goes there, to wait for the sweep.
    WorkFolder park;
    MakePrivateFolder(park);
    const DWORD result = DeleteTreeBelow(folder, path, park.Path(), &leftovers);
    if (park.Held()) DisposePrivateFolder(park);
    return result;
}

DWORD MakePrivateFolder(WorkFolder& folder) {
    std::wstring name;
    if (const DWORD error = UnguessableName(kPrivateStem, name)) return error;
    return MakeWorkFolder(TempFolderPath() + name, folder);
}

void DisposePrivateFolder(WorkFolder& folder) {
    if (!folder.Held()) return;
    const std::wstring self = WithoutTrailingBackslash(folder.Path());
    folder.Release();
    UniqueFile disposing;
    if (OpenToDispose(self, disposing) == 0) DisposeOpened(disposing.get(), self + L"\\");
}

void SweepPrivateFolders() {
    const std::wstring temp = TempFolderPath();
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry = {};
    UniqueFind listing(::FindFirstFileW((temp + kPrivateStem + L"*").c_str(), &entry));
    if (!listing) return;
    do {
        names.emplace_back(entry.cFileName);
    } while (::FindNextFileW(listing.get(), &entry));
    listing.reset();
    for (const std::wstring& name : names) {
        // Only a folder of ours that nobody holds: one in use (a program's
        // run folder) refuses the open, and a user's is not ours to empty.
        const std::wstring self = temp + name;
        UniqueFile folder;
        if (OpenToDispose(self, folder) == 0 &&
            TrustOfHeld(self, folder.get()) == FolderTrust::kTrusted) {
            DisposeOpened(folder.get(), self + L"\\");
        }
    }
}

}  // namespace ikx
