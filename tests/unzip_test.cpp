// Package extraction: DecompressFile over the real libZipUnZipDll.dll, the
// archive naming rule, folder creation, time stamps and refused entries.
#include <gtest/gtest.h>
#include <minizip/zip.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "common/file_ops.h"
#include "log/log.h"
#include "support.h"
#include "unzip/unzip.h"
#include "unzip/win_file.h"
#include "unzip/zip_exceptions.h"

using namespace testsupport;

namespace {

constexpr unsigned long kDirectoryAttribute = 0x10;
constexpr std::chrono::seconds kLogWait(5);

struct Entry {
    std::string name;
    std::string data;
    unsigned long externalAttributes = 0;
    unsigned long dosDate = 0;
};

// dosDate 0 lets minizip take a fixed 2001-01-01 stamp from tmz_date. With
// `append` the archive goes after what the file already holds.
void MakeZip(const std::wstring& path, const std::vector<Entry>& entries, int level = 6,
             bool append = false) {
    zipFile zip =
        zipOpen(Narrow(path).c_str(), append ? APPEND_STATUS_CREATEAFTER : APPEND_STATUS_CREATE);
    ASSERT_NE(zip, nullptr);
    for (const Entry& entry : entries) {
        zip_fileinfo info = {};
        info.tmz_date = {0, 0, 12, 1, 0, 2001};
        info.dosDate = entry.dosDate;
        info.external_fa = entry.externalAttributes;
        ASSERT_EQ(zipOpenNewFileInZip(zip, entry.name.c_str(), &info, nullptr, 0, nullptr, 0,
                                      nullptr, level ? Z_DEFLATED : 0, level),
                  ZIP_OK);
        if (!entry.data.empty()) {
            ASSERT_EQ(zipWriteInFileInZip(zip, entry.data.data(),
                                          static_cast<unsigned>(entry.data.size())),
                      ZIP_OK);
        }
        ASSERT_EQ(zipCloseFileInZip(zip), ZIP_OK);
    }
    ASSERT_EQ(zipClose(zip, nullptr), ZIP_OK);
}

std::string ReadAll(const std::wstring& path) {
    std::ifstream in(Narrow(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string Pattern(size_t size, unsigned seed) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        data[i] = static_cast<char>(seed >> 16);
    }
    return data;
}

// Log records reach the collector in sending order once this marker is in.
void Settle(LogCollector& log) {
    ikx::WriteDebugLog(ikx::kLogTag, ikx::kInfo, "test", 0, "test", "--settled--");
    ASSERT_TRUE(log.WaitFor("--settled--", kLogWait));
}

std::wstring CurrentTestName() {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& c : name) c = c == '/' ? '_' : c;
    return Widen(name);
}

class Extraction : public ::testing::Test {
  protected:
    void SetUp() override {
        ikx::CreateLogWriter();
        dir_ = TempDir(L"unzip_" + CurrentTestName());
        target_ = dir_ + L"target";
        // One round trip first, so every pipe instance of the collector is up.
        log_ = std::make_unique<LogCollector>(8);
        Settle(*log_);
        log_->Clear();
    }
    void TearDown() override {
        log_.reset();
        ikx::DestroyLogWriter();
    }
    std::wstring dir_;
    std::wstring target_;
    std::unique_ptr<LogCollector> log_;
};

TEST_F(Extraction, NestedEntriesAreWrittenByteForByteWithTheirParentFolders) {
    const std::vector<Entry> entries = {
        {"a/b/c.txt", "c contents"},      {"a/d.txt", Pattern(100000, 1)},
        {"chunk.bin", Pattern(16383, 2)}, {"chunk_plus_one.bin", Pattern(16384, 3)},
        {"stored/empty.txt", ""},         {"top.txt", "top"},
    };
    MakeZip(dir_ + L"pkg.zip", entries);
    LogCollector& log = *log_;

    ASSERT_TRUE(ikx::DecompressFile(dir_ + L"pkg.zip", target_));
    for (const Entry& entry : entries) {
        std::wstring path = target_ + L"\\" + Widen(entry.name);
        for (auto& c : path) c = c == L'/' ? L'\\' : c;
        EXPECT_EQ(ReadAll(path), entry.data) << entry.name;
    }
    ASSERT_TRUE(log.WaitFor("Target folder path: " + Narrow(target_), kLogWait))
        << ::testing::PrintToString(log.Texts());
    EXPECT_TRUE(log.Contains("Source file: " + Narrow(dir_) + "pkg.zip"));
    for (const auto& record : log.Records()) {
        EXPECT_EQ(record.Function(), "DecompressFile");
        EXPECT_EQ(Narrow(record.Field(5)), "vornExt_iKX_Common.cpp");
    }
}

TEST_F(Extraction, StoredEntriesAndTrailingBackslashOnTheTarget) {
    MakeZip(dir_ + L"stored.zip", {{"x/y.bin", Pattern(40000, 4)}}, 0);
    ASSERT_TRUE(ikx::DecompressFile(dir_ + L"stored.zip", target_ + L"\\"));
    EXPECT_EQ(ReadAll(target_ + L"\\x\\y.bin"), Pattern(40000, 4));
}

TEST_F(Extraction, ExistingFilesAreReplacedWhole) {
    ::CreateDirectoryW(target_.c_str(), nullptr);
    std::ofstream(Narrow(target_ + L"\\f.txt"), std::ios::binary) << std::string(5000, 'z');
    MakeZip(dir_ + L"pkg.zip", {{"f.txt", "short"}});
    ASSERT_TRUE(ikx::DecompressFile(dir_ + L"pkg.zip", target_));
    EXPECT_EQ(ReadAll(target_ + L"\\f.txt"), "short");
}

TEST_F(Extraction, ArchiveWithoutZipExtensionIsOpenedWithZipAppended) {
    const std::vector<Entry> one = {{"n.txt", "named"}};
    MakeZip(dir_ + L"package.Zip", one);
    EXPECT_TRUE(ikx::DecompressFile(dir_ + L"package", target_));
    EXPECT_EQ(ReadAll(target_ + L"\\n.txt"), "named");

    // The .cab itself is not a zip; only package.cab.Zip is.
    std::ofstream(Narrow(dir_ + L"package.cab"), std::ios::binary) << "not a zip";
    MakeZip(dir_ + L"package.cab.Zip", {{"cab.txt", "cab"}});
    EXPECT_TRUE(ikx::DecompressFile(dir_ + L"package.cab", target_));
    EXPECT_EQ(ReadAll(target_ + L"\\cab.txt"), "cab");
}

TEST_F(Extraction, UpperCaseZipExtensionIsOpenedAsGiven) {
    MakeZip(dir_ + L"upper.ZIP", {{"u.txt", "upper"}});
    EXPECT_TRUE(ikx::DecompressFile(dir_ + L"upper.ZIP", target_));
    EXPECT_EQ(ReadAll(target_ + L"\\u.txt"), "upper");

    LogCollector& log = *log_;
    MakeZip(dir_ + L"only.cab.Zip", {{"u.txt", "upper"}});
    EXPECT_FALSE(ikx::DecompressFile(dir_ + L"only.cab.zip.ZIP", target_));
    EXPECT_TRUE(log.WaitFor(
        "Failed to open zip file: " + Narrow(dir_) + "only.cab.zip.ZIP, CUnzip return code: -1",
        kLogWait));
}

TEST_F(Extraction, EmptyArchiveSucceedsAndWritesNothing) {
    // minizip cannot open a bare 22-byte empty zip (it takes a directory end at
    // offset 0 for "not found"), so the empty archive follows a stub, as in a
    // self-extracting package.
    std::ofstream(Narrow(dir_ + L"empty.zip"), std::ios::binary) << "MZ stub";
    MakeZip(dir_ + L"empty.zip", {}, 6, true);
    EXPECT_TRUE(ikx::DecompressFile(dir_ + L"empty.zip", target_));
    EXPECT_FALSE(Exists(target_));
}

TEST_F(Extraction, DirectoryEntriesCreateNoFolder) {
    MakeZip(dir_ + L"dirs.zip", {{"lonely/", "", kDirectoryAttribute},
                                 {"parent/", "", kDirectoryAttribute},
                                 {"parent/child.txt", "child"}});
    ASSERT_TRUE(ikx::DecompressFile(dir_ + L"dirs.zip", target_));
    EXPECT_FALSE(Exists(target_ + L"\\lonely"));
    EXPECT_EQ(ReadAll(target_ + L"\\parent\\child.txt"), "child");
}

TEST_F(Extraction, FilesCarryTheEntryTimeAsCreationAndLastWrite) {
    // 2019-03-15 10:20:30 local time.
    const unsigned long dosDate =
        ((((2019 - 1980) << 9) | (3 << 5) | 15) << 16) | ((10 << 11) | (20 << 5) | (30 / 2));
    MakeZip(dir_ + L"time.zip", {{"t.txt", "time", 0, dosDate}});
    ASSERT_TRUE(ikx::DecompressFile(dir_ + L"time.zip", target_));

    SYSTEMTIME stamp = {2019, 3, 0, 15, 10, 20, 30, 0};
    FILETIME local = {};
    FILETIME expected = {};
    ASSERT_TRUE(::SystemTimeToFileTime(&stamp, &local));
    ASSERT_TRUE(::LocalFileTimeToFileTime(&local, &expected));

    ikx::UniqueFile file(::CreateFileW((target_ + L"\\t.txt").c_str(), GENERIC_READ,
                                       FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file.valid());
    FILETIME created = {}, accessed = {}, written = {};
    ASSERT_TRUE(::GetFileTime(file.get(), &created, &accessed, &written));
    EXPECT_EQ(::CompareFileTime(&created, &expected), 0);
    EXPECT_EQ(::CompareFileTime(&written, &expected), 0);
    EXPECT_GT(::CompareFileTime(&accessed, &expected), 0);
}

class EscapingEntry : public Extraction, public ::testing::WithParamInterface<const char*> {};

TEST_P(EscapingEntry, IsRefusedWritesNothingOutsideAndIsLoggedOnce) {
    LogCollector& log = *log_;
    MakeZip(dir_ + L"evil.zip",
            {{"inside.txt", "ok"}, {GetParam(), "escaped"}, {"after.txt", "x"}});
    const std::wstring outside = dir_ + L"escaped.txt";

    EXPECT_FALSE(ikx::DecompressFile(dir_ + L"evil.zip", target_));
    EXPECT_FALSE(Exists(outside));
    EXPECT_FALSE(Exists(L"C:\\escaped.txt"));
    EXPECT_EQ(ReadAll(target_ + L"\\inside.txt"), "ok");
    EXPECT_FALSE(Exists(target_ + L"\\after.txt"));
    Settle(log);
    EXPECT_EQ(log.Count("Archive entry outside target folder refused"), 1);
}

INSTANTIATE_TEST_SUITE_P(Names, EscapingEntry,
                         ::testing::Values("../escaped.txt", "sub/../../escaped.txt",
                                           "..\\escaped.txt", ".. /escaped.txt", "/escaped.txt",
                                           "\\escaped.txt", "C:/escaped.txt", "C:escaped.txt"));

TEST_F(Extraction, DotsInsideNamesAreNotMistakenForClimbing) {
    MakeZip(dir_ + L"dots.zip", {{"a..b/..c.txt", "dots"}, {"./here.txt", "here"}});
    ASSERT_TRUE(ikx::DecompressFile(dir_ + L"dots.zip", target_));
    EXPECT_EQ(ReadAll(target_ + L"\\a..b\\..c.txt"), "dots");
    EXPECT_EQ(ReadAll(target_ + L"\\here.txt"), "here");
}

TEST_F(Extraction, CorruptArchiveFailsAndLeavesNoHandleOpen) {
    LogCollector& log = *log_;
    const std::wstring archive = dir_ + L"corrupt.zip";
    std::ofstream(Narrow(archive), std::ios::binary) << Pattern(4096, 9);
    EXPECT_FALSE(ikx::DecompressFile(archive, target_));
    EXPECT_TRUE(log.WaitFor(
        "Failed to open zip file: " + Narrow(archive) + ", CUnzip return code: -1", kLogWait));
    EXPECT_TRUE(::DeleteFileW(archive.c_str())) << ::GetLastError();
}

TEST_F(Extraction, ChecksumMismatchFailsAndReleasesTheArchive) {
    const std::wstring archive = dir_ + L"crc.zip";
    const std::string data = "payload that will be damaged in the stored entry";
    MakeZip(archive, {{"crc.txt", data}}, 0);
    std::string bytes = ReadAll(archive);
    const size_t at = bytes.find(data);
    ASSERT_NE(at, std::string::npos);
    bytes[at] ^= 0x20;
    std::ofstream(Narrow(archive), std::ios::binary | std::ios::trunc) << bytes;

    EXPECT_FALSE(ikx::DecompressFile(archive, target_));
    EXPECT_TRUE(::DeleteFileW(archive.c_str())) << ::GetLastError();
}

TEST_F(Extraction, MissingArchiveFails) {
    LogCollector& log = *log_;
    EXPECT_FALSE(ikx::DecompressFile(dir_ + L"absent.zip", target_));
    EXPECT_TRUE(log.WaitFor(
        "Failed to open zip file: " + Narrow(dir_) + "absent.zip, CUnzip return code: -1",
        kLogWait));
}

TEST_F(Extraction, TargetOnMissingDriveLogsTheFolderError) {
    std::wstring drive;
    for (wchar_t letter = L'Q'; letter <= L'Y' && drive.empty(); ++letter) {
        const std::wstring root = std::wstring(1, letter) + L":\\";
        if (::GetDriveTypeW(root.c_str()) == DRIVE_NO_ROOT_DIR) drive = root;
    }
    ASSERT_FALSE(drive.empty());
    ::CreateDirectoryW((drive + L"pkg\\").c_str(), nullptr);
    const int expected = static_cast<int>(::GetLastError());
    ASSERT_NE(expected, 0);

    LogCollector& log = *log_;
    MakeZip(dir_ + L"pkg.zip", {{"a/b.txt", "b"}});
    EXPECT_FALSE(ikx::DecompressFile(dir_ + L"pkg.zip", drive + L"pkg"));
    EXPECT_TRUE(log.WaitFor("error code: " + std::to_string(expected), kLogWait));
    EXPECT_TRUE(::DeleteFileW((dir_ + L"pkg.zip").c_str()));
}

TEST_F(Extraction, FileInUseEndsExtractionWithItsError) {
    ::CreateDirectoryW(target_.c_str(), nullptr);
    const std::wstring busy = target_ + L"\\busy.txt";
    std::ofstream(Narrow(busy)) << "old";
    ikx::UniqueFile holder(
        ::CreateFileW(busy.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder.valid());

    LogCollector& log = *log_;
    MakeZip(dir_ + L"pkg.zip", {{"first.txt", "1"}, {"busy.txt", "new"}, {"last.txt", "3"}});
    EXPECT_FALSE(ikx::DecompressFile(dir_ + L"pkg.zip", target_));
    holder.reset();
    Settle(log);
    EXPECT_EQ(log.Count("error code: 32"), 1);
    EXPECT_EQ(ReadAll(target_ + L"\\first.txt"), "1");
    EXPECT_EQ(ReadAll(busy), "old");
    EXPECT_FALSE(Exists(target_ + L"\\last.txt"));
    EXPECT_TRUE(::DeleteFileW((dir_ + L"pkg.zip").c_str()));
}

TEST(CUnzipBinding, LibraryFolderWithoutTheLibraryOrItsExportsFailsInit) {
    const std::wstring dir = TempDir(L"unzip_lib");
    ikx::CUnzip missing;
    missing.SetLibraryFolder(Narrow(dir.substr(0, dir.size() - 1)).c_str());
    EXPECT_FALSE(missing.Init());
    EXPECT_EQ(missing.OpenZip("whatever.zip"), -1);
    EXPECT_EQ(missing.ExtractAll("C:\\x"), -1);

    // A loadable DLL that lacks the unzip exports.
    ASSERT_TRUE(::CopyFileW((BinDir() + L"VornAgent.dll").c_str(),
                            (dir + L"libZipUnZipDll.dll").c_str(), FALSE));
    ikx::CUnzip wrong;
    wrong.SetLibraryFolder(Narrow(dir.substr(0, dir.size() - 1)).c_str());
    EXPECT_FALSE(wrong.Init());
    EXPECT_EQ(wrong.OpenZip("whatever.zip"), -1);

    ikx::CUnzip host;
    ASSERT_TRUE(host.Init());
    EXPECT_EQ(host.ExtractAll("C:\\x"), -1);  // no archive open
}

TEST(CreateDirectoryTree, ResultsForBadAndExistingPaths) {
    EXPECT_EQ(ikx::CreateDirectoryTree(nullptr), 3);
    EXPECT_EQ(ikx::CreateDirectoryTree(""), 8);
    EXPECT_EQ(ikx::CreateDirectoryTree(("C:\\" + std::string(258, 'x')).c_str()), 8);
    EXPECT_EQ(ikx::CreateDirectoryTree("C:\\windows"), 0);
}

TEST(CreateDirectoryTree, CreatesEveryMissingLevel) {
    const std::string base = Narrow(TempDir(L"tree"));
    EXPECT_EQ(ikx::CreateDirectoryTree((base + "one\\two\\\\three").c_str()), 0);
    EXPECT_NE(::GetFileAttributesA((base + "one\\two\\three").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(ZipExceptions, MessagesCarryCodeAndSystemText) {
    char buffer[1024] = {};
    UINT help = 77;
    const ikx::CZipCommonException common(ERROR_ACCESS_DENIED);
    ASSERT_TRUE(common.GetErrorMessage(buffer, sizeof buffer, &help));
    EXPECT_EQ(help, 0u);
    const std::string prefix = "Error : 5, Description : ";
    EXPECT_EQ(std::string(buffer).rfind(prefix, 0), 0u) << buffer;
    EXPECT_GT(std::strlen(buffer), prefix.size());

    const ikx::CWinFileException file(ERROR_ACCESS_DENIED);
    const ikx::CZipCommonException& asBase = file;
    ASSERT_TRUE(asBase.GetErrorMessage(buffer, sizeof buffer));
    EXPECT_EQ(std::string(buffer).rfind("CWinFileException: " + prefix, 0), 0u) << buffer;
    EXPECT_EQ(asBase.GetErrorCode(), 5);
}

TEST(WinFile, OperationsOnAClosedFileThrowMinusOne) {
    ikx::CWinFile file;
    try {
        file.Write("x", 1);
        FAIL() << "no exception";
    } catch (const ikx::CZipCommonException& error) {
        EXPECT_EQ(error.GetErrorCode(), -1);
    }
    EXPECT_THROW(file.Flush(), ikx::CWinFileException);
}

}  // namespace
