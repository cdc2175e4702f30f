// Folder cleaning, tree copies, the retrying single-file copy and the temp folder.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "common/file_ops.h"
#include "log/log.h"
#include "platform/handles.h"
#include "support.h"

using namespace testsupport;

namespace {

constexpr std::chrono::seconds kLogWait(5);
const wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

void Write(const std::wstring& path, const std::string& text) {
    std::ofstream(Narrow(path), std::ios::binary) << text;
}

std::string ReadAll(const std::wstring& path) {
    std::ifstream in(Narrow(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsEmptyFolder(const std::wstring& folder) {
    WIN32_FIND_DATAW entry = {};
    ikx::UniqueFind listing(::FindFirstFileW((folder + L"*").c_str(), &entry));
    if (!listing) return false;
    do {
        if (wcscmp(entry.cFileName, L".") && wcscmp(entry.cFileName, L"..")) return false;
    } while (::FindNextFileW(listing.get(), &entry));
    return true;
}

// The restart-deletion list, lower-cased, entries joined by '|'.
std::wstring PendingDeletes() {
    DWORD size = 0;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations",
                       RRF_RT_REG_MULTI_SZ, nullptr, nullptr, &size) != ERROR_SUCCESS) {
        return L"";
    }
    std::wstring text(size / sizeof(wchar_t), L'\0');
    ::RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations",
                   RRF_RT_REG_MULTI_SZ, nullptr, &text[0], &size);
    for (auto& c : text) c = c == L'\0' ? L'|' : static_cast<wchar_t>(towlower(c));
    return text;
}

std::wstring Lower(std::wstring text) {
    for (auto& c : text) c = static_cast<wchar_t>(towlower(c));
    return text;
}

void Settle(LogCollector& log) {
    ikx::WriteDebugLog(ikx::kLogTag, ikx::kInfo, "test", 0, "test", "--settled--");
    ASSERT_TRUE(log.WaitFor("--settled--", kLogWait));
}

class FileOps : public ::testing::Test {
  protected:
    void SetUp() override {
        ikx::CreateLogWriter();
        dir_ = TempDir(L"fileops_" +
                       Widen(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        // One round trip first, so every pipe instance of the collector is up.
        log_ = std::make_unique<LogCollector>(8);
        Settle(*log_);
        log_->Clear();
    }
    void TearDown() override {
        log_.reset();
        ikx::DestroyLogWriter();
    }

    // dir\tree\{ro.txt (read-only), hidden.txt, a\{x.txt, b\{y.txt (read-only)}}}
    std::wstring MakeTree() {
        const std::wstring tree = dir_ + L"tree\\";
        ::CreateDirectoryW(tree.c_str(), nullptr);
        ::CreateDirectoryW((tree + L"a").c_str(), nullptr);
        ::CreateDirectoryW((tree + L"a\\b").c_str(), nullptr);
        Write(tree + L"ro.txt", "ro");
        Write(tree + L"hidden.txt", "hidden");
        Write(tree + L"a\\x.txt", "x");
        Write(tree + L"a\\b\\y.txt", std::string(70000, 'y'));
        ::SetFileAttributesW((tree + L"ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
        ::SetFileAttributesW((tree + L"hidden.txt").c_str(),
                             FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
        ::SetFileAttributesW((tree + L"a\\b\\y.txt").c_str(), FILE_ATTRIBUTE_READONLY);
        return tree;
    }
    std::wstring dir_;
    std::unique_ptr<LogCollector> log_;
};

TEST_F(FileOps, CleanEmptiesNestedFoldersWithReadOnlyFilesAndKeepsTheFolder) {
    const std::wstring tree = MakeTree();
    EXPECT_EQ(ikx::CleanDirectory(tree.substr(0, tree.size() - 1).c_str(), false, false), 0u);
    EXPECT_TRUE(Exists(tree));
    EXPECT_TRUE(IsEmptyFolder(tree));
}

TEST_F(FileOps, CleanWithRemoveSelfDeletesTheFolderToo) {
    const std::wstring tree = MakeTree();
    EXPECT_EQ(ikx::CleanDirectory(tree.c_str(), true, true), 0u);
    EXPECT_FALSE(Exists(tree));
}

TEST_F(FileOps, CleanMissingOrEmptyPath) {
    LogCollector& log = *log_;
    Write(dir_ + L"keep.txt", "keep");
    EXPECT_EQ(ikx::CleanDirectory((dir_ + L"absent").c_str(), false, false), 3u);
    EXPECT_EQ(ikx::CleanDirectory(L"", true, true), 87u);
    EXPECT_EQ(ikx::CleanDirectory(nullptr, false, false), 87u);
    EXPECT_TRUE(Exists(dir_ + L"keep.txt"));
    Settle(log);
    EXPECT_EQ(log.Count("Directory path doesn't exist."), 1);
    EXPECT_EQ(log.Count("Directory path is NULL."), 2);
}

TEST_F(FileOps, CleanWithDelaySchedulesLockedFileAndFolderAndSucceeds) {
    RegDeleteValue(kSessionManager, L"PendingFileRenameOperations");
    const std::wstring tree = MakeTree();
    const std::wstring locked = tree + L"a\\locked.txt";
    Write(locked, "locked");
    ikx::UniqueFile holder(
        ::CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder.valid());

    EXPECT_EQ(ikx::CleanDirectory(tree.c_str(), true, true), 0u);
    EXPECT_TRUE(Exists(locked));
    EXPECT_FALSE(Exists(tree + L"ro.txt"));
    EXPECT_FALSE(Exists(tree + L"a\\x.txt"));
    EXPECT_FALSE(Exists(tree + L"a\\b"));
    const std::wstring pending = PendingDeletes();
    // Stored in NT form (\??\C:\...); the path after the drive is what matters.
    EXPECT_NE(pending.find(Lower(locked.substr(2)) + L"|"), std::wstring::npos);
    EXPECT_NE(pending.find(Lower(tree.substr(2)) + L"|"), std::wstring::npos);

    holder.reset();
    RegDeleteValue(kSessionManager, L"PendingFileRenameOperations");
}

TEST_F(FileOps, CleanWithoutDelayReportsTheLockedFileAndRemovesTheRest) {
    LogCollector& log = *log_;
    const std::wstring tree = MakeTree();
    const std::wstring locked = tree + L"locked.txt";
    Write(locked, "locked");
    ikx::UniqueFile holder(
        ::CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder.valid());

    EXPECT_EQ(ikx::CleanDirectory(tree.c_str(), false, false),
              static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_TRUE(Exists(locked));
    EXPECT_FALSE(Exists(tree + L"ro.txt"));
    EXPECT_FALSE(Exists(tree + L"a"));
    EXPECT_TRUE(log.WaitFor("Delete file: (" + Narrow(locked) + ") failed. (Error: 32)", kLogWait));
}

TEST_F(FileOps, CopyDirectoryCopiesTheTreeAndOverwrites) {
    const std::wstring tree = MakeTree();
    const std::wstring copy = dir_ + L"copy";
    ::CreateDirectoryW(copy.c_str(), nullptr);
    Write(copy + L"\\hidden.txt", "stale and longer than the source");

    LogCollector& log = *log_;
    EXPECT_EQ(ikx::CopyDirectory(tree.substr(0, tree.size() - 1).c_str(), copy.c_str()), 0u);
    EXPECT_EQ(ReadAll(copy + L"\\ro.txt"), "ro");
    EXPECT_EQ(ReadAll(copy + L"\\hidden.txt"), "hidden");
    EXPECT_EQ(ReadAll(copy + L"\\a\\x.txt"), "x");
    EXPECT_EQ(ReadAll(copy + L"\\a\\b\\y.txt"), std::string(70000, 'y'));
    EXPECT_TRUE(log.WaitFor("Dst Path: " + Narrow(copy) + "\n", kLogWait));
}

TEST_F(FileOps, CopyDirectoryOntoAFileCopiesNothing) {
    const std::wstring tree = MakeTree();
    Write(dir_ + L"target", "a file");
    LogCollector& log = *log_;
    EXPECT_EQ(ikx::CopyDirectory(tree.c_str(), (dir_ + L"target").c_str()), 87u);
    EXPECT_EQ(ReadAll(dir_ + L"target"), "a file");
    EXPECT_TRUE(log.WaitFor("destination exist but not directory", kLogWait));
}

TEST_F(FileOps, CopyDirectoryBadArgumentsAndMissingSource) {
    LogCollector& log = *log_;
    EXPECT_EQ(ikx::CopyDirectory(L"", L"C:\\x"), 87u);
    EXPECT_EQ(ikx::CopyDirectory(L"C:\\x", nullptr), 87u);
    EXPECT_NE(ikx::CopyDirectory((dir_ + L"absent").c_str(), (dir_ + L"dest").c_str()), 0u);
    EXPECT_TRUE(IsEmptyFolder(dir_ + L"dest\\"));
    Settle(log);
    EXPECT_EQ(log.Count("wszSrcPath is invalid"), 1);
    EXPECT_EQ(log.Count("wszDestPath is invalid"), 1);
}

TEST_F(FileOps, CopyDirectoryStopsAtAFileItCannotOverwrite) {
    const std::wstring tree = MakeTree();
    const std::wstring copy = dir_ + L"copy";
    ::CreateDirectoryW(copy.c_str(), nullptr);
    Write(copy + L"\\ro.txt", "in use");
    ikx::UniqueFile holder(::CreateFileW((copy + L"\\ro.txt").c_str(), GENERIC_READ, 0, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder.valid());
    LogCollector& log = *log_;
    EXPECT_EQ(ikx::CopyDirectory(tree.c_str(), copy.c_str()),
              static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_TRUE(log.WaitFor("CopyFile fail. (Error: 32)", kLogWait));
}

TEST_F(FileOps, TryCopyFromMissingFolderLogsOnceAndMakesNoAttempt) {
    LogCollector& log = *log_;
    const std::wstring source = dir_ + L"absent";
    ikx::TryCopyFile(source.c_str(), (dir_ + L"out").c_str(), L"f.txt");
    Settle(log);
    EXPECT_EQ(log.Count("Cannot copy: \"" + Narrow(source) + "\\f.txt\" doesn't exist."), 1);
    EXPECT_EQ(log.Texts().size(), 2u);
    EXPECT_FALSE(Exists(dir_ + L"out"));
}

TEST_F(FileOps, TryCopyOfMissingFileInExistingFolderMakesFiveAttempts) {
    LogCollector& log = *log_;
    const std::wstring source = dir_ + L"f.txt";
    const std::wstring dest = dir_ + L"out\\g.txt";
    ikx::TryCopyFile(dir_.substr(0, dir_.size() - 1).c_str(), (dir_ + L"out").c_str(), L"f.txt",
                     L"g.txt");
    Settle(log);
    for (int attempt = 0; attempt < 5; ++attempt) {
        EXPECT_EQ(log.Count("[" + std::to_string(attempt) + "]Copy failed \"" + Narrow(source) +
                            "\" -> \"" + Narrow(dest) + "\". Error code = : 2"),
                  1)
            << attempt;
    }
    EXPECT_EQ(log.Texts().size(), 6u);
    EXPECT_TRUE(Exists(dir_ + L"out"));
}

TEST_F(FileOps, TryCopyCopiesUnderTheDestinationName) {
    Write(dir_ + L"f.txt", "payload");
    LogCollector& log = *log_;
    const std::wstring source = dir_.substr(0, dir_.size() - 1);
    ikx::TryCopyFile(source.c_str(), (dir_ + L"out").c_str(), L"f.txt", L"renamed.txt");
    ikx::TryCopyFile(source.c_str(), (dir_ + L"out").c_str(), L"f.txt");
    ikx::TryCopyFile(source.c_str(), nullptr, L"f.txt");
    EXPECT_EQ(ReadAll(dir_ + L"out\\renamed.txt"), "payload");
    EXPECT_EQ(ReadAll(dir_ + L"out\\f.txt"), "payload");
    Settle(log);
    EXPECT_EQ(log.Texts().size(), 1u);
}

TEST(WindowsTempFolder, IsTheWindowsFolderWithTempAndNoTrailingBackslash) {
    wchar_t windows[MAX_PATH + 1] = {};
    ASSERT_GT(::GetWindowsDirectoryW(windows, MAX_PATH + 1), 0u);
    std::wstring folder;
    ikx::GetWindowsTempFolder(folder);
    EXPECT_EQ(folder, std::wstring(windows) + L"\\Temp");
    EXPECT_NE(folder.back(), L'\\');
}

}  // namespace
