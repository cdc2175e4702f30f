// Folder cleaning, tree copies and the retrying single-file copy.
#include <shlobj.h>

#include "win32/file_ops.h"
#include "win32/folder_rules.h"
#include "deploy/backup_manifest.h"
#include "deploy/staging.h"
#include "win32/object_security.h"
#include "workfolders/work_folders.h"
#include "platform/test_seams.h"

#include <sddl.h>
#include <winternl.h>

#include <cstddef>
#include <cstring>
#include "in_process.h"
#include "platform/handles.h"

using namespace testsupport;

namespace {

constexpr std::chrono::seconds kLogWait(5);

std::wstring WindowsTempFolder() {
    std::wstring temp;
    ikx::GetWindowsTempFolder(temp);
    return temp + L"\\";
}

// The private folders in the Windows temp folder, by name.
std::vector<std::wstring> PrivateFolders() {
    std::vector<std::wstring> names;
    for (const auto& entry : fs::directory_iterator(WindowsTempFolder())) {
        const std::wstring name = entry.path().filename().wstring();
        if (name.rfind(L"KXE_Private", 0) == 0) names.push_back(name);
    }
    return names;
}

TEST_F(FileOps, CleanEmptiesReadOnlyTreesAndRefusesMissingOrEmptyPaths) {
    std::wstring tree = MakeTree();
    EXPECT_EQ(ikx::CleanDirectory(tree.substr(0, tree.size() - 1).c_str(), false, false), 0u);
    EXPECT_TRUE(fs::is_empty(tree));
    tree = MakeTree();
    EXPECT_EQ(ikx::CleanDirectory(tree.c_str(), true, true), 0u);
    EXPECT_FALSE(fs::exists(tree));

    WriteBytes(dir_ + L"keep.txt", "keep");
    EXPECT_EQ(ikx::CleanDirectory((dir_ + L"absent").c_str(), false, false), 3u);
    EXPECT_EQ(ikx::CleanDirectory(L"", true, true), 87u);
    EXPECT_EQ(ikx::CleanDirectory(nullptr, false, false), 87u);
    {
        // A drive root is never emptied, however it is spelled; this one holds scratch.
        const ScratchDrive drive(L'Q', dir_);
        EXPECT_EQ(ikx::CleanDirectory(L"Q:", true, true), 5u);
        EXPECT_EQ(ikx::CleanDirectory(L"Q:\\..\\", false, false), 5u);
        EXPECT_TRUE(log.WaitFor("Refuse to clean a system folder: Q:", kLogWait));
    }
    EXPECT_TRUE(fs::exists(dir_ + L"keep.txt"));
    // Nor Program Files, the Windows temp folder itself (only what lies below
    // it) or the Windows folder, each named as the system names it; the
    // Windows folder last, since emptying it would end the test.
    wchar_t programFiles[MAX_PATH] = {}, windows[MAX_PATH] = {};
    ASSERT_TRUE(SUCCEEDED(::SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr,
                                             SHGFP_TYPE_CURRENT, programFiles)));
    ASSERT_NE(::GetWindowsDirectoryW(windows, MAX_PATH), 0u);
    std::wstring windowsTemp;
    ikx::GetWindowsTempFolder(windowsTemp);
    for (const std::wstring& folder :
         {std::wstring(programFiles), windowsTemp, std::wstring(windows)}) {
        const std::wstring kept = folder + L"\\ikx_kept.txt";
        WriteBytes(kept, "kept");
        EXPECT_EQ(ikx::CleanDirectory(folder.c_str(), false, false), 5u) << Narrow(folder);
        EXPECT_TRUE(log.WaitFor("Refuse to clean a system folder: " + Narrow(folder), kLogWait));
        EXPECT_EQ(ReadBytes(kept), "kept") << Narrow(folder);
        ::DeleteFileW(kept.c_str());
    }
    EXPECT_EQ(log.Count("Directory path doesn't exist."), 1);
    EXPECT_EQ(log.Count("Directory path is NULL."), 2);
}

TEST_F(FileOps, CleanReportsALockedFileOrSchedulesItWithDelay) {
    ClearRestartDeletes();
    const std::wstring tree = MakeTree(), locked = tree + L"locked.txt";
    WriteBytes(locked, "locked");
    ikx::UniqueFile holder(
        ::CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder.valid());
    EXPECT_EQ(ikx::CleanDirectory(tree.c_str(), false, false), DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_TRUE(log.WaitFor("Delete file: (" + Narrow(locked) + ") failed. (Error: 32)", kLogWait));
    EXPECT_FALSE(fs::exists(tree + L"ro.txt"));
    EXPECT_FALSE(fs::exists(tree + L"a"));
    EXPECT_FALSE(IsDeletedAtRestart(locked) || IsDeletedAtRestart(tree));

    EXPECT_EQ(ikx::CleanDirectory(tree.c_str(), true, true), 0u);
    EXPECT_TRUE(fs::exists(locked));
    // Stored in NT form (\??\C:\...); the path after the drive is what matters.
    // Only what is still there is scheduled: not the subfolders already removed.
    const std::wstring self = tree.substr(0, tree.size() - 1);
    for (const std::wstring& path : {locked, self})
        EXPECT_TRUE(IsDeletedAtRestart(path)) << Narrow(path);
    for (const std::wstring& path : {tree, tree + L"a", tree + L"a\\", tree + L"a\\b\\"})
        EXPECT_FALSE(IsDeletedAtRestart(path)) << Narrow(path);
    holder.reset();
    ClearRestartDeletes();

    // Below the Windows temp folder nothing is scheduled: once removed there,
    // its name is anyone's to take before the restart.
    std::wstring shared;
    ikx::GetWindowsTempFolder(shared);
    shared += L"\\ikxtest_shared\\";
    fs::create_directories(shared + L"sub");
    WriteBytes(shared + L"sub\\locked.txt", "locked");
    holder.reset(::CreateFileW((shared + L"sub\\locked.txt").c_str(), GENERIC_READ, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr));
    EXPECT_EQ(ikx::CleanDirectory(shared.c_str(), true, true), 0u);
    for (const std::wstring& path : {shared + L"sub\\locked.txt", shared + L"sub", shared})
        EXPECT_FALSE(IsDeletedAtRestart(path)) << Narrow(path);
    holder.reset();
    fs::remove_all(shared);
}

// A subfolder that cannot be emptied ends the walk: of two, one is reported.
TEST_F(FileOps, CleanStopsAtTheFirstSubfolderItCannotEmpty) {
    std::vector<ikx::UniqueFile> holders;
    for (const wchar_t* sub : {L"a", L"b"}) {
        const std::wstring locked = dir_ + L"tree\\" + sub + L"\\locked.txt";
        fs::create_directories(dir_ + L"tree\\" + sub);
        WriteBytes(locked, "locked");
        holders.emplace_back(
            ::CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    }
    EXPECT_EQ(ikx::CleanDirectory((dir_ + L"tree").c_str(), false, false), 32u);
    EXPECT_EQ(log.CountStarting("Delete file: ("), 1);
}

// What is there is replaced, never written to: a name found there may be a
// hard link to someone else's file, and a read-only file is replaced too.
// Sources dated long ago, so that a copy that keeps its own time shows.
constexpr FILETIME kLongAgo = {0x2A3B4C00, 0x01D00000};

void DateTree(const std::wstring& tree) {
    for (const auto& file : kTree) {
        const ikx::UniqueFile dated(::CreateFileW((tree + file.name).c_str(), FILE_WRITE_ATTRIBUTES,
                                                  FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                                  nullptr));
        ASSERT_TRUE(::SetFileTime(dated.get(), nullptr, nullptr, &kLongAgo)) << Narrow(file.name);
    }
}

// Each copy has its source's bytes, attributes and last-write time.
void ExpectCopyOfTree(const std::wstring& tree, const std::wstring& copy) {
    for (const auto& file : kTree) {
        EXPECT_EQ(ReadBytes(copy + L"\\" + file.name), file.data);
        WIN32_FILE_ATTRIBUTE_DATA from = {}, to = {};
        ASSERT_TRUE(
            ::GetFileAttributesExW((tree + file.name).c_str(), GetFileExInfoStandard, &from));
        ASSERT_TRUE(
            ::GetFileAttributesExW((copy + L"\\" + file.name).c_str(), GetFileExInfoStandard, &to));
        EXPECT_EQ(to.dwFileAttributes, from.dwFileAttributes) << Narrow(file.name);
        EXPECT_EQ(::CompareFileTime(&to.ftLastWriteTime, &kLongAgo), 0) << Narrow(file.name);
    }
}

TEST_F(FileOps, CopyDirectoryReplacesWhatIsThereWithoutWritingThroughIt) {
    const std::wstring tree = MakeTree(), copy = dir_ + L"copy", victim = dir_ + L"victim.txt";
    fs::create_directories(copy + L"\\a");
    WriteBytes(copy + L"\\hidden.txt", "stale and longer than the source");
    WriteBytes(copy + L"\\ro.txt", "stale");
    ::SetFileAttributesW((copy + L"\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    WriteBytes(victim, "victim");
    ASSERT_TRUE(::CreateHardLinkW((copy + L"\\a\\x.txt").c_str(), victim.c_str(), nullptr));
    DateTree(tree);
    // A reader that shares everything does not stop the copy.
    const ikx::UniqueFile reader(
        ::CreateFileW((copy + L"\\hidden.txt").c_str(), GENERIC_READ,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(reader.valid());
    EXPECT_EQ(ikx::CopyDirectory(tree.substr(0, tree.size() - 1).c_str(), copy.c_str()), 0u);
    // Made new, written in place or renamed over a link.
    ExpectCopyOfTree(tree, copy);
    EXPECT_EQ(ReadBytes(victim), "victim");
    size_t entries = 0;  // no copy left beside the names it replaced
    for (const auto& entry : fs::recursive_directory_iterator(copy))
        entries += entry.is_regular_file();
    EXPECT_EQ(entries, std::size(kTree));
    EXPECT_TRUE(log.WaitFor("Dst Path: " + Narrow(copy) + "\n", kLogWait));
}

// The file behind a name: its index on the volume, 0 when it cannot be read.
uint64_t FileIndexOf(const std::wstring& path) {
    const ikx::UniqueFile file(::CreateFileW(path.c_str(), 0,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                             nullptr, OPEN_EXISTING, 0, nullptr));
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!file || !::GetFileInformationByHandle(file.get(), &info)) return 0;
    return uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
}

// A file found at the name is written in place only when it is ours and
// nobody else may write it. One a user made first (in a folder where users
// may create entries) is replaced by a new file: written in place, it would
// hold the product's bytes for its maker to rewrite.
TEST_F(FileOps, CopyWritesInPlaceOnlyAFileOfOursThatNobodyElseMayWrite) {
    const std::wstring source = dir_ + L"source.ptn", target = dir_ + L"target.ptn";
    WriteBytes(source, "the product's bytes");
    const struct {
        const char* label;
        std::function<void()> plant;
        bool replaced;
    } worlds[] = {
        {"ours", [] {}, false},
        {"open to everyone", [&] { OpenToEveryone(target); }, true},
        {"owned by someone else",
         [&] { ::SetEnvironmentVariableW(L"IKX_TEST_FOREIGN_OWNED", target.c_str()); }, true},
    };
    for (const auto& world : worlds) {
        SCOPED_TRACE(world.label);
        ::DeleteFileW(target.c_str());
        WriteBytes(target, "planted first, and longer than the product's bytes");
        world.plant();
        const uint64_t planted = FileIndexOf(target);
        ASSERT_NE(planted, 0u);
        EXPECT_EQ(ikx::CopyReplacingName(source, target), 0u);
        ::SetEnvironmentVariableW(L"IKX_TEST_FOREIGN_OWNED", nullptr);
        EXPECT_EQ(ReadBytes(target), "the product's bytes");
        EXPECT_EQ(FileIndexOf(target) != planted, world.replaced);
        EXPECT_FALSE(OthersMayWrite(target));
        size_t entries = 0;  // no copy left beside the name it replaced
        for (const auto& entry : fs::directory_iterator(dir_)) entries += entry.is_regular_file();
        EXPECT_EQ(entries, 2u);
    }
}

TEST_F(FileOps, CopyDirectoryRefusesAFileTargetBadArgumentsAndMissingSource) {
    const std::wstring tree = MakeTree();
    WriteBytes(dir_ + L"target", "a file");
    EXPECT_EQ(ikx::CopyDirectory(tree.c_str(), (dir_ + L"target").c_str()), 87u);
    EXPECT_EQ(ReadBytes(dir_ + L"target"), "a file");
    EXPECT_EQ(ikx::CopyDirectory(L"", L"C:\\x"), 87u);
    EXPECT_EQ(ikx::CopyDirectory(L"C:\\x", nullptr), 87u);
    EXPECT_NE(ikx::CopyDirectory((dir_ + L"absent").c_str(), (dir_ + L"dest").c_str()), 0u);
    EXPECT_TRUE(fs::is_empty(dir_ + L"dest\\"));
    EXPECT_EQ(log.Count("destination exist but not directory"), 1);
    EXPECT_EQ(log.Count("wszSrcPath is invalid"), 1);
    EXPECT_EQ(log.Count("wszDestPath is invalid"), 1);

    // A file that cannot be read two folders down fails the whole copy.
    const std::wstring deep = tree + L"a\\b\\y.txt";
    ikx::UniqueFile holder(
        ::CreateFileW(deep.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder.valid());
    EXPECT_EQ(ikx::CopyDirectory(tree.substr(0, tree.size() - 1).c_str(), (dir_ + L"deep").c_str()),
              DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(fs::exists(dir_ + L"deep\\a\\b\\y.txt"));
    holder.reset();

    // A name that is a hard link is replaced by a copy renamed over it. Held
    // open without delete sharing, it cannot be: the copy fails and leaves
    // nothing of its own beside it.
    const std::wstring linked = dir_ + L"linked\\", victim = dir_ + L"victim.txt";
    fs::create_directories(linked);
    WriteBytes(victim, "victim");
    ASSERT_TRUE(::CreateHardLinkW((linked + L"ro.txt").c_str(), victim.c_str(), nullptr));
    holder.reset(::CreateFileW((linked + L"ro.txt").c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                               nullptr));
    ASSERT_TRUE(holder.valid());
    EXPECT_NE(ikx::CopyDirectory(tree.substr(0, tree.size() - 1).c_str(),
                                 linked.substr(0, linked.size() - 1).c_str()),
              0u);
    holder.reset();
    EXPECT_EQ(ReadBytes(victim), "victim");
    for (const auto& entry : fs::recursive_directory_iterator(linked)) {
        const std::wstring name = entry.path().lexically_relative(linked).wstring();
        EXPECT_TRUE(!entry.is_regular_file() ||
                    std::any_of(std::begin(kTree), std::end(kTree),
                                [&](const auto& file) { return name == file.name; }))
            << Narrow(name);
    }
}

// A planted link (a junction on Windows) is never followed: nothing outside
// is deleted, read or written through it. A link that cannot be removed
// itself (Wine resolves every handle to it) is reported with 4395, not walked.
// A backup copy of `source` into the folder `target`, made and held here.
DWORD BackUpInto(const std::wstring& source, const std::wstring& target,
                 ikx::BackupManifest& manifest) {
    fs::create_directories(target);
    const ikx::UniqueFile into(::CreateFileW(target.c_str(), FILE_LIST_DIRECTORY, 0, nullptr,
                                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return ikx::CopyInstallFolder(source, target, into.get(), manifest);
}

TEST_F(FileOps, LinksAreNeitherWalkedNorWrittenThrough) {
    const std::wstring outside = dir_ + L"outside\\", tree = MakeTree(), link = tree + L"link";
    const std::wstring source = dir_ + L"source", copy = dir_ + L"copy";
    fs::create_directories(outside);
    fs::create_directories(source + L"\\link");
    WriteBytes(outside + L"keep.txt", "keep");
    WriteBytes(source + L"\\link\\payload.txt", "payload");
    const std::string removal = "Delete file: (" + Narrow(link) + ") failed. (Error: 4395)";
    const struct {
        std::function<DWORD()> call;
        std::string record;  // logged when the link stays
    } rows[] = {
        {[&] { return ikx::CleanDirectory(tree.c_str(), false, false); }, removal},
        {[&] { return ikx::CleanDirectory(tree.c_str(), true, true); }, removal},
        {[&] { return ikx::CleanDirectory(link.c_str(), false, false); }, ""},
        {[&] { return ikx::CopyDirectory(source.c_str(), tree.c_str()); },
         "CopyFile fail. (Error: 4395)"},
        {[&] { return ikx::CopyDirectory(tree.c_str(), copy.c_str()); },
         "CopyFile fail. (Error: 4395)"},
        // What a backup holds is read, and a backup copied, without entering a link.
        {[&] {
             ikx::BackupManifest manifest;
             return ikx::ReadManifest(tree, manifest);
         },
         ""},
        {[&] {
             ikx::BackupManifest manifest;
             return ikx::ReadManifest(link, manifest);
         },
         ""},
        {[&] {
             ikx::BackupManifest manifest;
             return BackUpInto(tree, dir_ + L"backup", manifest);
         },
         "CopyFile fail. (Error: 4395)"},
        {[&] {
             ikx::BackupManifest manifest;
             return BackUpInto(link, dir_ + L"backup_of_link", manifest);
         },
         "CopyFile fail. (Error: 4395)"},
    };
    for (const auto& row : rows) {
        if (!fs::exists(link)) PlantDirectoryLink(link, outside);
        log.Clear();
        const DWORD result = row.call();
        EXPECT_EQ(result, fs::exists(link) ? 4395u : 0u) << row.record;
        EXPECT_EQ(log.Count(row.record), result && !row.record.empty()) << row.record;
        EXPECT_EQ(ReadBytes(outside + L"keep.txt"), "keep");
        EXPECT_FALSE(fs::exists(outside + L"payload.txt"));
        EXPECT_FALSE(fs::exists(copy + L"\\link\\keep.txt"));
    }
    EXPECT_FALSE(fs::exists(tree + L"ro.txt")) << "what is no link is still cleaned";
}

// A tree someone else could write to is moved aside and deleted through
// handles opened below their folder's: a folder swapped for a link right
// after its listing was read (as an opportunistic lock lets a user do) is not
// entered through the link; the walk goes on in the folder it holds.
TEST_F(FileOps, TreesMovedAsideAreDeletedThroughHandlesNeverThroughASwappedPath) {
    static std::wstring outside;
    static bool swapped;
    outside = dir_ + L"outside";
    swapped = false;
    fs::create_directories(outside);
    WriteBytes(outside + L"\\keep.txt", "keep");
    std::wstring foreign;
    ikx::GetWindowsTempFolder(foreign);
    foreign += L"\\ikxtest_foreign";
    fs::create_directories(foreign + L"\\sub");
    WriteBytes(foreign + L"\\sub\\keep.txt", "planted");
    WriteBytes(foreign + L"\\top.txt", "planted");
    ikx::testAfterListing = [](const std::wstring& folder) {
        if (swapped || folder.size() < 5 || folder.compare(folder.size() - 5, 5, L"\\sub\\") != 0)
            return;
        const std::wstring self = folder.substr(0, folder.size() - 1);
        swapped = ::MoveFileW(self.c_str(), (self + L".moved").c_str()) != FALSE;
        PlantDirectoryLink(self, outside);
    };
    EXPECT_EQ(ikx::MoveAside(foreign, ikx::Aside::kDelete), 0u);
    ikx::testAfterListing = nullptr;
    EXPECT_TRUE(swapped);
    EXPECT_FALSE(fs::exists(foreign));
    EXPECT_EQ(ReadBytes(outside + L"\\keep.txt"), "keep");
    // The link stayed where the walk could not remove it (Wine resolves a
    // handle on it): gone, the next sweep takes the rest.
    for (const std::wstring& name : PrivateFolders()) RemoveTree(WindowsTempFolder() + name, true);
    ikx::SweepPrivateFolders();
    EXPECT_TRUE(PrivateFolders().empty());

    // Without a link in it, a tree goes at once, read-only files and all:
    // nothing is left aside for the next restart.
    fs::create_directories(foreign + L"\\sub");
    for (const wchar_t* name : {L"\\top.txt", L"\\sub\\ro.txt"}) {
        WriteBytes(foreign + name, "planted");
        ::SetFileAttributesW((foreign + name).c_str(), FILE_ATTRIBUTE_READONLY);
    }
    EXPECT_EQ(ikx::MoveAside(foreign, ikx::Aside::kDelete), 0u);
    EXPECT_FALSE(fs::exists(foreign));
    EXPECT_TRUE(PrivateFolders().empty());
}

// A read-only, hidden or system file met by the walk keeps those bits when
// it has other names: cleared through a hard link's handle, they would be
// cleared for the file a user linked to. Such a name is left, not forced.
TEST_F(FileOps, TreesMovedAsideLeaveTheAttributesOfHardLinkedFilesAlone) {
    const std::wstring victim = dir_ + L"victim.txt";
    WriteBytes(victim, "victim");
    constexpr DWORD kBits = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    ::SetFileAttributesW(victim.c_str(), kBits);
    std::wstring foreign;
    ikx::GetWindowsTempFolder(foreign);
    foreign += L"\\ikxtest_linked";
    fs::create_directories(foreign);
    ASSERT_TRUE(::CreateHardLinkW((foreign + L"\\link.txt").c_str(), victim.c_str(), nullptr));
    EXPECT_EQ(ikx::MoveAside(foreign, ikx::Aside::kDelete), 0u);
    EXPECT_FALSE(fs::exists(foreign));
    EXPECT_EQ(::GetFileAttributesW(victim.c_str()) & kBits, kBits);
    EXPECT_EQ(ReadBytes(victim), "victim");
}

// Opens relative to `parent`, creating a folder: no path is ever that long.
ikx::UniqueFile CreateFolderBelow(HANDLE parent, const std::wstring& name) {
    UNICODE_STRING relative = {static_cast<USHORT>(name.size() * sizeof(wchar_t)),
                               static_cast<USHORT>(name.size() * sizeof(wchar_t)),
                               const_cast<wchar_t*>(name.c_str())};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &relative, OBJ_CASE_INSENSITIVE, parent, nullptr);
    IO_STATUS_BLOCK status = {};
    HANDLE handle = nullptr;
    const NTSTATUS result =
        ::NtCreateFile(&handle, FILE_LIST_DIRECTORY | SYNCHRONIZE, &attributes, &status, nullptr, 0,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_CREATE,
                       FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    return ikx::UniqueFile(result >= 0 ? handle : INVALID_HANDLE_VALUE);
}

// Plants `chains` times `levels` + 1 nested folders at `root`: short chains
// made side by side, each then moved into the bottom of the one before, so
// that nothing is made deep down (Wine's cost of a make grows with depth).
bool PlantDeepTree(const std::wstring& root, int chains, int levels) {
    fs::create_directories(root);
    std::wstring bottom;
    for (int i = 0; i < levels; ++i) bottom += L"\\d";
    for (int chain = 0; chain < chains; ++chain) {
        const std::wstring top = root + L"\\c" + std::to_wstring(chain);
        fs::create_directories(top);
        ikx::UniqueFile level(::CreateFileW(top.c_str(), FILE_LIST_DIRECTORY,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                            nullptr));
        for (int i = 0; i < levels && level.valid(); ++i)
            level = CreateFolderBelow(level.get(), L"d");
        if (!level.valid()) return false;
    }
    for (int chain = chains - 1; chain > 0; --chain) {
        const std::wstring from = L"\\\\?\\" + root + L"\\c" + std::to_wstring(chain);
        const std::wstring into = L"\\\\?\\" + root + L"\\c" + std::to_wstring(chain - 1) + bottom +
                                  L"\\c" + std::to_wstring(chain);
        if (!::MoveFileW(from.c_str(), into.c_str())) return false;
    }
    return true;
}

// A user may plant a tree thousands of levels deep (opens relative to a
// handle know no path limit). The walk that removes it keeps its stack and
// memory bounded: here on a thread with a smaller stack than a 32-bit
// host's, it returns, and the process lives.
TEST_F(FileOps, ATreeTenThousandLevelsDeepIsMovedAsideOnASmallStack) {
    std::wstring deep;
    ikx::GetWindowsTempFolder(deep);
    deep += L"\\ikxtest_deep";
    // IKX_DEEP_TREE_CHAINS: fewer chains of 100 levels in the slow 32-bit guest,
    // still far deeper than its small stack would take recursively.
    const int chains = RoundsFromEnvironment("IKX_DEEP_TREE_CHAINS", 100);
    ASSERT_TRUE(PlantDeepTree(deep, chains, 100));
    struct Move {
        std::wstring path;
        DWORD result = 1;
        // A thread's start routine: stdcall on 32-bit Windows, so not a lambda.
        static DWORD WINAPI Run(void* self) {
            auto* move = static_cast<Move*>(self);
            move->result = ikx::MoveAside(move->path, ikx::Aside::kDelete);
            return 0;
        }
    } move{deep};
    const ikx::UniqueHandle thread(::CreateThread(nullptr, 256 * 1024, &Move::Run, &move,
                                                  STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    ASSERT_TRUE(thread.valid());
    ASSERT_EQ(::WaitForSingleObject(thread.get(), 600000), DWORD(WAIT_OBJECT_0));
    EXPECT_EQ(move.result, 0u);
    EXPECT_FALSE(fs::exists(deep));
    // What lay too deep to walk at once waits in a private folder; each sweep
    // takes as much again, and nothing there holds on.
    const size_t sweeps = (chains + 1) * 100 / ikx::kMaxWalkDepth + 4;
    for (size_t sweep = 0; sweep < sweeps && !PrivateFolders().empty(); ++sweep)
        ikx::SweepPrivateFolders();
    EXPECT_TRUE(PrivateFolders().empty());
}

// The backup is copied into a folder it holds, and what is known of it comes
// from the bytes as they were written: read back, the copy matches it.
TEST_F(FileOps, ABackupCopyKeepsWhatTheFolderCopyKeepsAndKnowsWhatItWrote) {
    const std::wstring tree = MakeTree(), copy = dir_ + L"copy", deep = dir_ + L"deep",
                       deeper = dir_ + L"deeper";
    DateTree(tree);
    const std::string bulk((3u << 20) / 2, 'b');  // one and a half reads
    WriteBytes(tree + L"a\\bulk.dat", bulk);
    fs::create_directories(tree + L"a\\empty");
    ASSERT_TRUE(PlantDeepTree(deep, 1, ikx::kMaxWalkDepth - 1));
    ASSERT_TRUE(PlantDeepTree(deeper, 1, ikx::kMaxWalkDepth));
    ikx::BackupManifest written, reread;
    ASSERT_EQ(BackUpInto(tree, copy, written), 0u);
    ExpectCopyOfTree(tree, copy);
    EXPECT_EQ(ReadBytes(copy + L"\\a\\bulk.dat"), bulk);
    ASSERT_EQ(ikx::ReadManifest(copy, reread), 0u);
    EXPECT_EQ(written, reread);
    EXPECT_TRUE(written.count(L"a\\empty") && written.at(L"a\\empty").folder);
    EXPECT_EQ(written.at(L"a\\bulk.dat").size, bulk.size());
    // As deep as any walk goes is copied whole; one level more is refused.
    EXPECT_EQ(BackUpInto(deep, dir_ + L"deep_copy", written), 0u);
    EXPECT_EQ(written.size(), ikx::kMaxWalkDepth);
    EXPECT_EQ(BackUpInto(deeper, dir_ + L"deeper_copy", written),
              DWORD(ERROR_FILENAME_EXCED_RANGE));
}

// Names nobody can prepare come from the system's random numbers. When the
// system refuses them there is no such name: nothing is moved, copied or
// made under a name anyone could have made first ("stem.0000000000000000").
TEST_F(FileOps, WithoutRandomNumbersNothingIsMovedCopiedOrMadeUnderAGuessableName) {
    const std::wstring foreign = WindowsTempFolder() + L"ikxtest_random";
    fs::create_directories(foreign);
    const std::wstring source = dir_ + L"source.txt", victim = dir_ + L"victim.txt",
                       target = dir_ + L"target.txt";
    WriteBytes(source, "new");
    WriteBytes(victim, "victim");
    ASSERT_TRUE(::CreateHardLinkW(target.c_str(), victim.c_str(), nullptr));
    std::wstring name = L"unchanged";
    ikx::WorkFolder run;
    ::SetEnvironmentVariableW(L"IKX_TEST_RANDOM_FAILS", L"1");
    EXPECT_NE(ikx::UnguessableName(L"stem", name), 0u);
    EXPECT_NE(ikx::MoveAside(foreign, ikx::Aside::kDelete), 0u);
    EXPECT_NE(ikx::MoveAside(foreign, ikx::Aside::kKeep), 0u);
    EXPECT_NE(ikx::CopyReplacingName(source, target), 0u);
    EXPECT_NE(ikx::MakePrivateFolder(run), 0u);
    ::SetEnvironmentVariableW(L"IKX_TEST_RANDOM_FAILS", nullptr);
    EXPECT_EQ(name, L"unchanged");
    EXPECT_TRUE(fs::exists(foreign) && !run.Held());
    EXPECT_EQ(ReadBytes(target), "victim");
    for (const std::wstring& folder : {dir_, WindowsTempFolder()}) {
        for (const auto& entry : fs::directory_iterator(folder))
            EXPECT_EQ(entry.path().wstring().find(L".0000000000000000"), std::wstring::npos);
    }
    EXPECT_TRUE(PrivateFolders().empty());
    // With them, each name is new.
    EXPECT_EQ(ikx::UnguessableName(L"stem", name), 0u);
    EXPECT_EQ(name.size(), 4 + 1 + 16u);
    EXPECT_EQ(ikx::MoveAside(foreign, ikx::Aside::kDelete), 0u);
    EXPECT_FALSE(fs::exists(foreign));
}

TEST_F(FileOps, TryCopyCopiesUnderTheDestinationNameAndRetriesOnlyAMissingFile) {
    WriteBytes(dir_ + L"f.txt", "payload");
    const std::wstring source = dir_.substr(0, dir_.size() - 1), out = dir_ + L"out";
    ikx::TryCopyFile(source.c_str(), out.c_str(), L"f.txt", L"renamed.txt");
    ikx::TryCopyFile(source.c_str(), out.c_str(), L"f.txt");
    ikx::TryCopyFile(source.c_str(), nullptr, L"f.txt");
    EXPECT_EQ(ReadBytes(out + L"\\renamed.txt"), "payload");
    EXPECT_EQ(ReadBytes(out + L"\\f.txt"), "payload");
    EXPECT_TRUE(log.Texts().empty()) << "a copy that works logs nothing";

    // A missing folder is logged once; a missing file costs five attempts.
    log.Clear();
    ikx::TryCopyFile((dir_ + L"absent").c_str(), (dir_ + L"none").c_str(), L"f.txt");
    ikx::TryCopyFile(source.c_str(), out.c_str(), L"g.txt", L"h.txt");
    EXPECT_EQ(log.Count("Cannot copy: \"" + Narrow(dir_) + "absent\\f.txt\" doesn't exist."), 1);
    EXPECT_FALSE(fs::exists(dir_ + L"none"));
    for (int attempt = 0; attempt < 5; ++attempt) {
        EXPECT_EQ(log.Count("[" + std::to_string(attempt) + "]Copy failed \"" + Narrow(dir_) +
                            "g.txt\" -> \"" + Narrow(out) + "\\h.txt\". Error code = : 2"),
                  1);
    }
    EXPECT_EQ(log.Texts().size(), 6u);

    // A source path of 261 units is not cut to the 260 that name another file.
    const std::wstring longName(260 - source.size(), L'n');
    WriteBytes(L"\\\\?\\" + dir_ + longName.substr(1), "decoy");
    ikx::TryCopyFile(source.c_str(), out.c_str(), longName.c_str(), L"long.txt");
    EXPECT_FALSE(fs::exists(out + L"\\long.txt"));
    EXPECT_EQ(log.Count("Cannot copy: \"" + Narrow(source) + "\\" + Narrow(longName) +
                        "\" doesn't exist."),
              1);
}

// Who may write a folder is read from its DACL: any right that lets a user
// place, replace or remove an entry, or turn the folder into a link, makes
// it open to others, whatever kind of entry grants it.
TEST(FolderTrust, ADaclIsOpenWhenAnyEntryLetsOthersWrite) {
    const struct {
        const wchar_t* sddl;
        bool open;
    } rows[] = {
        {L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false},
        {L"D:(A;;FR;;;BU)(A;OICI;FA;;;SY)", false},
        {L"D:(A;;0x2;;;BU)", true},        // add a file only
        {L"D:(A;;0x4;;;WD)", true},        // add a subfolder only
        {L"D:(A;;0x100;;;BU)", true},      // write attributes only
        {L"D:(A;;0x40;;;AU)", true},       // delete a child only
        {L"D:(A;;0x40000;;;BU)", true},    // change its permissions only
        {L"D:(A;OICIIO;FA;;;BU)", false},  // only for what it holds
        {L"D:(D;;FA;;;BU)", false},        // denies only
    };
    for (const auto& row : rows) {
        ikx::UniqueLocal sd;
        ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            row.sddl, SDDL_REVISION_1, sd.put(), nullptr))
            << Narrow(row.sddl);
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr;
        ASSERT_TRUE(::GetSecurityDescriptorDacl(sd.get(), &present, &dacl, &defaulted));
        EXPECT_EQ(ikx::DaclLetsOthersWrite(dacl), row.open) << Narrow(row.sddl);
    }
    EXPECT_TRUE(ikx::DaclLetsOthersWrite(nullptr));

    // An object entry (its SID behind a type GUID), written byte by byte:
    // neither string descriptors nor the object-entry call spell one here.
    BYTE users[SECURITY_MAX_SID_SIZE] = {};
    DWORD usersSize = sizeof users;
    ASSERT_TRUE(::CreateWellKnownSid(WinBuiltinUsersSid, nullptr, users, &usersSize));
    std::vector<BYTE> ace(offsetof(ACCESS_ALLOWED_OBJECT_ACE, InheritedObjectType) + usersSize);
    auto* object = reinterpret_cast<ACCESS_ALLOWED_OBJECT_ACE*>(ace.data());
    object->Header = {ACCESS_ALLOWED_OBJECT_ACE_TYPE, 0, static_cast<WORD>(ace.size())};
    object->Mask = FILE_ADD_FILE;
    object->Flags = ACE_OBJECT_TYPE_PRESENT;
    std::memcpy(ace.data() + offsetof(ACCESS_ALLOWED_OBJECT_ACE, InheritedObjectType), users,
                usersSize);
    alignas(ACL) BYTE buffer[256] = {};
    auto* acl = reinterpret_cast<PACL>(buffer);
    ASSERT_TRUE(::InitializeAcl(acl, sizeof buffer, ACL_REVISION_DS));
    ASSERT_TRUE(
        ::AddAce(acl, ACL_REVISION_DS, MAXDWORD, ace.data(), static_cast<DWORD>(ace.size())));
    EXPECT_TRUE(ikx::DaclLetsOthersWrite(acl));
}

// A kept installer log is named for the local time of its run, in full.
TEST(KeptLogs, NameSpellsTheTimeYearFirstToTheMillisecond) {
    const struct {
        SYSTEMTIME local;  // year, month, day of week, day, hour, minute, second, ms
        const wchar_t *stem, *operation, *name;
    } rows[] = {
        {{2024, 5, 4, 9, 13, 2, 3, 4},
         L"KXC_debug",
         L"Install",
         L"KXC_debug_Install_2024_05_09_13_02_03_004.log"},
        {{2031, 12, 3, 31, 23, 59, 58, 999},
         L"Torv_Event",
         L"Upgrade",
         L"Torv_Event_Upgrade_2031_12_31_23_59_58_999.log"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(ikx::KeptLogName(row.stem, row.operation, row.local), row.name);
}

}  // namespace
