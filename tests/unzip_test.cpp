// Package extraction: DecompressFile over the real libZipUnZipDll.dll, the
// archive naming rule, folder creation, time stamps, refused entries, damaged
// and hostile archives and the bound on what one may make it write.
#include "archives.h"
#include "deploy/decompress.h"
#include "in_process.h"
#include "platform/handles.h"
#include "unzip/entry_names.h"

#include <map>
#include <random>

using namespace testsupport;

namespace {

constexpr std::chrono::seconds kLogWait(5);
// What a hostile archive may make one extraction write: 1032 bytes for each of
// its own (no honest deflate stream expands more) and 65,535 entries.
constexpr uint64_t kMostBytesPerArchiveByte = 1032;
constexpr int kMostEntries = 65535;
constexpr char kOverBound[] = "error code: 223";
constexpr int kDamagedArchives = 2000;

// The files below `root`, each with its size and last write time, and the
// folders; `skip` and what is below it left out; only the top level unless `deep`.
std::map<fs::path, std::string> Listing(const fs::path& root, const std::vector<fs::path>& skip,
                                        bool deep) {
    std::map<fs::path, std::string> listing;
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; it != end; it.increment(error)) {
        if (!deep || std::count(skip.begin(), skip.end(), it->path())) {
            it.disable_recursion_pending();
            if (deep) continue;
        }
        if (!it->is_regular_file(error)) {
            listing[it->path()] = "folder";
            continue;
        }
        listing[it->path()] = std::to_string(it->file_size(error)) + " bytes at " +
                              std::to_string(it->last_write_time(error).time_since_epoch().count());
    }
    return listing;
}

// The process's current folder while this lives.
class CurrentFolder {
  public:
    explicit CurrentFolder(const fs::path& folder) { fs::current_path(folder); }
    ~CurrentFolder() {
        std::error_code error;
        fs::current_path(previous_, error);
    }

  private:
    const fs::path previous_ = fs::current_path();
};

// Bytes of all files below `folder`.
uint64_t BytesBelow(const fs::path& folder) {
    uint64_t bytes = 0;
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, error), end; it != end; it.increment(error)) {
        if (it->is_regular_file(error)) bytes += it->file_size(error);
    }
    return bytes;
}

// Archives to damage, deflated and stored: a nested folder, an entry larger
// than a read, a directory entry and a duplicate name; and long names.
std::vector<std::string> Seeds(const std::wstring& dir) {
    const std::vector<ZipEntry> entries = {{"a/b.txt", "b contents"},
                                           {"e.bin", std::string(40000, '\0')},
                                           {"dup.txt", "first"},
                                           {"d/", "", FILE_ATTRIBUTE_DIRECTORY},
                                           {"dup.txt", Pattern(17000, 2)}};
    std::vector<std::string> seeds;
    for (int level : {6, 0}) {
        MakeZip(dir + L"seed.zip", entries, level);
        seeds.push_back(ReadBytes(dir + L"seed.zip"));
    }
    MakeZip(dir + L"seed.zip", {{std::string(200, 'n') + ".txt", "long"}, {"s p/a.b.c", "x"}});
    seeds.push_back(ReadBytes(dir + L"seed.zip"));
    return seeds;
}

TEST_F(Extraction, EntriesAreWrittenByteForByteWithTheirTimeStamps) {
    // 2019-03-15 10:20:30 local time.
    const unsigned long dosDate =
        ((((2019 - 1980) << 9) | (3 << 5) | 15) << 16) | ((10 << 11) | (20 << 5) | (30 / 2));
    const std::vector<ZipEntry> entries = {
        {"a/b/c.txt", "c contents", 0, dosDate},
        {"a/d.txt", Pattern(100000, 1)},
        {"chunk.bin", Pattern(16383, 2)},
        {"chunk_plus_one.bin", Pattern(16384, 3)},
        {"stored/empty.txt", ""},
        {"a..b/..c.txt", "dots"},
        {"parent/", "", FILE_ATTRIBUTE_DIRECTORY},
        {"parent/child.txt", "child"},
        {"lonely/", "", FILE_ATTRIBUTE_DIRECTORY},
        {"f.txt", "short"},
    };
    MakeZip(dir_ + L"pkg.zip", entries);
    ::CreateDirectoryW(target_.c_str(), nullptr);
    WriteBytes(target_ + L"\\f.txt", std::string(5000, 'z'));  // replaced whole

    ASSERT_TRUE(ikx::DecompressFile(dir_ + L"pkg.zip", target_));
    for (const ZipEntry& entry : entries) {
        if (entry.externalAttributes) continue;
        std::wstring path = target_ + L"\\" + Widen(entry.name);
        for (auto& c : path) c = c == L'/' ? L'\\' : c;
        EXPECT_EQ(ReadBytes(path), entry.data) << entry.name;
    }
    EXPECT_FALSE(PathExists(target_ + L"\\lonely")) << "directory entries create no folder";
    EXPECT_TRUE(log.Contains("Source file: " + Narrow(dir_) + "pkg.zip"));
    EXPECT_TRUE(log.Contains("Target folder path: " + Narrow(target_)));
    EXPECT_EQ(log.Texts().size(), 2u) << "nothing but the two names";

    // The entry's 10:20:30 is local time; the tests run at UTC+5:30 (scripts/wine-run).
    TIME_ZONE_INFORMATION zone = {};
    ::GetTimeZoneInformation(&zone);
    ASSERT_EQ(zone.Bias, -330) << "the local time zone must differ from UTC";
    const SYSTEMTIME utc = {2019, 3, 0, 15, 4, 50, 30, 0};
    FILETIME expected = {};
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    ASSERT_TRUE(
        ::SystemTimeToFileTime(&utc, &expected) &&
        ::GetFileAttributesExW((target_ + L"\\a\\b\\c.txt").c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(::CompareFileTime(&data.ftCreationTime, &expected), 0);
    EXPECT_EQ(::CompareFileTime(&data.ftLastWriteTime, &expected), 0);

    // Stored entries, and a target given with a trailing backslash.
    MakeZip(dir_ + L"stored.zip", {{"x/y.bin", Pattern(40000, 4)}}, 0);
    ASSERT_TRUE(ikx::DecompressFile(dir_ + L"stored.zip", target_ + L"\\"));
    EXPECT_EQ(ReadBytes(target_ + L"\\x\\y.bin"), Pattern(40000, 4));
    // An empty archive (after a stub: minizip opens no bare 22-byte one) makes no folder.
    WriteBytes(dir_ + L"empty.zip", "MZ stub");
    MakeZip(dir_ + L"empty.zip", {}, 6, true);
    EXPECT_TRUE(ikx::DecompressFile(dir_ + L"empty.zip", target_ + L"empty"));
    EXPECT_FALSE(PathExists(target_ + L"empty"));
}

TEST_F(Extraction, ArchiveNameGetsZipAppendedUnlessItEndsInZip) {
    // The archive is `created`; a non-zip decoy sits at the `given` name when they differ.
    const struct {
        const wchar_t *created, *given;
        bool opened;
    } rows[] = {{L"package.Zip", L"package", true},
                {L"package.cab.Zip", L"package.cab", true},
                {L"upper.ZIP", L"upper.ZIP", true},
                {L"only.cab.Zip", L"only.cab.zip.ZIP", false}};
    for (const auto& row : rows) {
        const std::wstring target = target_ + row.created;
        MakeZip(dir_ + row.created, {{"n.txt", Narrow(row.created)}});
        if (row.opened && wcscmp(row.created, row.given)) WriteBytes(dir_ + row.given, "not a zip");
        EXPECT_EQ(ikx::DecompressFile(dir_ + row.given, target), row.opened) << Narrow(row.given);
        EXPECT_EQ(ReadBytes(target + L"\\n.txt"), row.opened ? Narrow(row.created) : "");
    }
    EXPECT_TRUE(log.WaitFor(OpenFailure(dir_ + L"only.cab.zip.ZIP"), kLogWait));
    // A name of 261 units is refused, not cut to 260 that open another archive.
    const std::wstring longZip = dir_ + std::wstring(257 - dir_.size(), L'z') + L".zip";
    MakeZip(L"\\\\?\\" + longZip.substr(0, 260), {{"n.txt", "decoy"}});
    EXPECT_FALSE(ikx::DecompressFile(longZip, target_ + L"long"));
    EXPECT_EQ(ReadBytes(target_ + L"long\\n.txt"), "");
    // U+0100 has only the look-alike "A" in the ANSI code page: no such name is used.
    MakeZip(dir_ + L"Apkg.zip", {{"n.txt", "decoy"}});
    EXPECT_FALSE(ikx::DecompressFile(dir_ + L"\u0100pkg.zip", target_ + L"fit"));
    EXPECT_FALSE(ikx::DecompressFile(dir_ + L"Apkg.zip", target_ + L"\u0100fit"));
    EXPECT_EQ(ReadBytes(target_ + L"fit\\n.txt") + ReadBytes(target_ + L"Afit\\n.txt"), "");
    EXPECT_EQ(log.Count("error code: 1113"), 1);
}

class EscapingEntry : public Extraction, public ::testing::WithParamInterface<const char*> {};

TEST_P(EscapingEntry, IsRefusedWritesNothingOutsideAndIsLoggedOnce) {
    MakeZip(dir_ + L"evil.zip",
            {{"inside.txt", "ok"}, {GetParam(), "escaped"}, {"after.txt", "x"}});
    EXPECT_FALSE(ikx::DecompressFile(dir_ + L"evil.zip", target_));
    EXPECT_FALSE(PathExists(dir_ + L"escaped.txt"));
    EXPECT_FALSE(PathExists(L"C:\\escaped.txt"));
    EXPECT_EQ(ReadBytes(target_ + L"\\inside.txt"), "ok");
    EXPECT_FALSE(PathExists(target_ + L"\\after.txt"));
    EXPECT_EQ(log.Count("Archive entry outside target folder refused"), 1);
}

INSTANTIATE_TEST_SUITE_P(Names, EscapingEntry,
                         ::testing::Values("../escaped.txt", "sub/../../escaped.txt",
                                           "..\\escaped.txt", ".. /escaped.txt", "/escaped.txt",
                                           "\\escaped.txt", "C:/escaped.txt", "C:escaped.txt",
                                           "inside.txt:stream", "CON", "nul.txt", "sub/COM1",
                                           "Aux .log", "lpt9.x.y", "CONOUT$", "com\xB9.txt",
                                           "con/below.txt"));

TEST_F(Extraction, DamagedArchivesNeitherFaultNorWriteOutsideTheTargetNorBeyondTheBound) {
    // Around the target: a file beside it, a folder holding the current
    // folder (where a drive-relative name would land) and the top of C:.
    WriteBytes(dir_ + L"beside.txt", "beside");
    fs::create_directories(dir_ + L"deeper\\cwd");
    WriteBytes(dir_ + L"deeper\\below.txt", "below");
    const std::wstring archive = dir_ + L"damaged.zip";
    const std::vector<std::string> seeds = Seeds(dir_);
    const std::vector<fs::path> skip = {target_, archive};
    const CurrentFolder current(dir_ + L"deeper\\cwd");
    const auto around = Listing(dir_, skip, true), top = Listing(L"C:\\", {}, false);

    // The records are checked by the cases beside this one; with no log writer
    // each extraction takes half the time.
    ikx::DestroyLogWriter();
    std::mt19937 random(1903u);
    int extracted = 0;
    // IKX_DAMAGED_ARCHIVES: fewer in the slow 32-bit guest.
    const int archives = RoundsFromEnvironment("IKX_DAMAGED_ARCHIVES", kDamagedArchives);
    for (int i = 0; i < archives; ++i) {
        const std::string zip = DamageArchive(seeds[i % seeds.size()], random);
        WriteBytes(archive, zip);
        extracted += ikx::DecompressFile(archive, target_);
        ASSERT_LE(BytesBelow(target_), kMostBytesPerArchiveByte * zip.size()) << i;
        fs::remove_all(target_);
        // A write outside stays: looked for every hundred archives, to name where.
        if (i % 100 != 99) continue;
        ASSERT_EQ(Listing(dir_, skip, true), around) << "archives up to " << i;
        ASSERT_EQ(Listing(L"C:\\", {}, false), top) << "archives up to " << i;
    }
    // Damage that misses what the library reads still extracts.
    EXPECT_GT(extracted, archives / 20);
    EXPECT_LT(extracted, archives / 2);
}

TEST_F(Extraction, EntriesSharingOneStreamStopAtTheBound) {
    // A thousand-fold entry alone is honest deflate: it is extracted.
    const std::string zeros(8 << 20, '\0');
    MakeZip(dir_ + L"thousandfold.zip", {{"zeros.bin", zeros}}, 9);
    const uint64_t single = ReadBytes(dir_ + L"thousandfold.zip").size();
    ASSERT_GE(zeros.size(), 1000 * single);
    EXPECT_TRUE(ikx::DecompressFile(dir_ + L"thousandfold.zip", target_));
    EXPECT_EQ(BytesBelow(target_), zeros.size());

    // A hundred entries naming its one stream would write 800 MB.
    std::vector<ZipEntry> entries = {{"0000", zeros}};
    for (int i = 1; i < 100; ++i) entries.push_back({std::to_string(1000 + i), "x"});
    MakeZip(dir_ + L"shared.zip", entries, 9);
    const std::string zip = ShareFirstEntry(ReadBytes(dir_ + L"shared.zip"));
    WriteBytes(dir_ + L"shared.zip", zip);
    const uint64_t bound = kMostBytesPerArchiveByte * zip.size();
    EXPECT_FALSE(ikx::DecompressFile(dir_ + L"shared.zip", target_ + L"2"));
    EXPECT_LE(BytesBelow(target_ + L"2"), bound);
    EXPECT_GT(BytesBelow(target_ + L"2"), bound - 65536) << "stopped at the bound, not before";
    EXPECT_EQ(ReadBytes(target_ + L"2\\0000"), zeros) << "the entries before it are whole";
    EXPECT_EQ(log.Count(kOverBound), 1);
}

TEST_F(Extraction, ArchiveOfMoreThan65535EntriesWritesNothing) {
    // Stored directory entries, one in 4096 a file: quick to write and to walk.
    std::vector<ZipEntry> entries;
    for (int i = 0; i < kMostEntries; ++i) {
        const std::string name = "e" + std::to_string(i);
        if (i % 4096)
            entries.push_back({name + "/", "", FILE_ATTRIBUTE_DIRECTORY});
        else
            entries.push_back({"f/" + name, name});
    }
    MakeZip(dir_ + L"most.zip", entries, 0);
    EXPECT_TRUE(ikx::DecompressFile(dir_ + L"most.zip", target_));
    EXPECT_EQ(ReadBytes(target_ + L"\\f\\e61440"), "e61440");
    ASSERT_TRUE(::CopyFileW((dir_ + L"most.zip").c_str(), (dir_ + L"more.zip").c_str(), FALSE));
    AddStoredEntry(dir_ + L"more.zip", {"one/more.txt", "more"});
    EXPECT_FALSE(ikx::DecompressFile(dir_ + L"more.zip", target_ + L"2"));
    EXPECT_FALSE(PathExists(target_ + L"2"));
    EXPECT_EQ(log.Count(kOverBound), 1);
}

// Every file below `folder` (ending in a backslash), relative to it. Walked
// through "\\?\" paths, which Windows takes as they are: a folder "blank " is
// listed, not trimmed to a "blank" that does not exist.
void CollectFiles(const std::wstring& folder, const std::wstring& relative,
                  std::vector<std::wstring>& files) {
    WIN32_FIND_DATAW data = {};
    const ikx::UniqueFind find(
        ::FindFirstFileW((L"\\\\?\\" + folder + relative + L"*").c_str(), &data));
    if (!find) return;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            CollectFiles(folder, relative + name + L"\\", files);
        } else {
            files.push_back(relative + name);
        }
    } while (::FindNextFileW(find.get(), &data));
}

// The name rule beside what Windows makes of the same name: an entry placed
// inside lands, once, below the target folder at the path the rule gave it;
// any other lands nowhere, two levels up or at a drive's root included.
TEST_F(Extraction, EachEntryLandsWhereTheNameRuleSays) {
    const std::string names[] = {
        "plain.txt",      "sub/deep/n.txt",   "a..b/c...d.txt",  "./dot.txt",
        "x/./y.txt",      "trail./n.txt",     "blank /n.txt",    ". ./n.txt",
        "x/. ./n.txt",    "n.txt.",           "x\\back.txt",     "x//double.txt",
        ".//lead.txt",    "../up.txt",        "x/../../up2.txt", ".. /up3.txt",
        "... /up4.txt",   ".../up5.txt",      "/zz_root.txt",    "\\zz_root2.txt",
        "C:zz_drive.txt", "C:/zz_drive2.txt", "s.txt:stream",    std::string(250, 'n')};
    int round = 0;
    for (const std::string& name : names) {
        const std::wstring dir = dir_ + L"r" + std::to_wstring(++round) + L"\\";
        ASSERT_TRUE(::CreateDirectoryW(dir.c_str(), nullptr));
        const std::wstring target = dir + L"target\\sub";
        MakeZip(dir + L"one.zip", {{name, "landed"}});
        std::string placed;
        size_t folderEnd = 0;
        const bool inside =
            ikx::PlaceEntry(Narrow(target), name, placed, folderEnd) == ikx::EntryPlace::kInside;

        EXPECT_EQ(ikx::DecompressFile(dir + L"one.zip", target), inside) << name;
        std::vector<std::wstring> landed;
        CollectFiles(dir, L"", landed);
        landed.erase(std::find(landed.begin(), landed.end(), L"one.zip"));
        if (inside) {
            EXPECT_EQ(landed.size(), 1u) << name;
            for (const std::wstring& file : landed) {
                EXPECT_EQ(file.rfind(L"target\\sub\\", 0), 0u) << name << " " << Narrow(file);
            }
            EXPECT_EQ(ReadBytes(Widen(placed)), "landed") << name;
        } else {
            for (const std::wstring& file : landed) ADD_FAILURE() << name << " " << Narrow(file);
        }
    }
    for (const wchar_t* root : {L"C:\\zz_root.txt", L"C:\\zz_root2.txt", L"C:\\zz_drive2.txt"}) {
        EXPECT_FALSE(PathExists(root)) << Narrow(root);
    }
}

TEST_F(Extraction, BrokenOrMissingArchiveFailsAndLeavesNoHandleOpen) {
    const std::string data = "payload that will be damaged in the stored entry";
    MakeZip(dir_ + L"crc.zip", {{"crc.txt", data}}, 0);
    std::string bytes = ReadBytes(dir_ + L"crc.zip");
    ASSERT_NE(bytes.find(data), std::string::npos);
    bytes[bytes.find(data)] ^= 0x20;
    WriteBytes(dir_ + L"crc.zip", bytes);
    WriteBytes(dir_ + L"corrupt.zip", Pattern(4096, 9));
    for (const wchar_t* name : {L"corrupt.zip", L"crc.zip", L"absent.zip"}) {
        EXPECT_FALSE(ikx::DecompressFile(dir_ + name, target_)) << Narrow(name);
        EXPECT_EQ(::DeleteFileW((dir_ + name).c_str()) != 0, std::wstring(name) != L"absent.zip")
            << ::GetLastError();
    }
    EXPECT_TRUE(log.Contains(OpenFailure(dir_ + L"corrupt.zip")));
    EXPECT_TRUE(log.Contains(OpenFailure(dir_ + L"absent.zip")));
}

TEST_F(Extraction, LinkInTheTargetIsNotWrittenThrough) {
    const std::wstring outside = dir_ + L"outside";
    ::CreateDirectoryW(outside.c_str(), nullptr);
    ::CreateDirectoryW(target_.c_str(), nullptr);
    PlantDirectoryLink(target_ + L"\\link", outside);
    MakeZip(dir_ + L"pkg.zip", {{"first.txt", "1"}, {"link/evil.txt", "evil"}});
    EXPECT_FALSE(ikx::DecompressFile(dir_ + L"pkg.zip", target_));
    EXPECT_EQ(log.Count("error code: 4395"), 1);
    EXPECT_EQ(ReadBytes(target_ + L"\\first.txt"), "1");
    // The target folder itself a link: nothing is written at all.
    EXPECT_FALSE(ikx::DecompressFile(dir_ + L"pkg.zip", target_ + L"\\link"));
    EXPECT_FALSE(PathExists(outside + L"\\evil.txt") || PathExists(outside + L"\\first.txt"));
}

TEST_F(Extraction, FileInUseEndsExtractionWithItsError) {
    ::CreateDirectoryW(target_.c_str(), nullptr);
    const std::wstring busy = target_ + L"\\busy.txt";
    WriteBytes(busy, "old");
    ikx::UniqueFile holder(
        ::CreateFileW(busy.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder.valid());
    MakeZip(dir_ + L"pkg.zip", {{"first.txt", "1"}, {"busy.txt", "new"}, {"last.txt", "3"}});
    EXPECT_FALSE(ikx::DecompressFile(dir_ + L"pkg.zip", target_));
    holder.reset();
    EXPECT_EQ(log.Count("error code: 32"), 1);
    EXPECT_EQ(ReadBytes(target_ + L"\\first.txt"), "1");
    EXPECT_EQ(ReadBytes(busy), "old");
    EXPECT_FALSE(PathExists(target_ + L"\\last.txt"));
}

TEST_F(Extraction, EntryDatedOnNoDayEndsExtractionWithTheConversionsError) {
    // Month 13 of 2020: no file time exists for it. The entry is written,
    // its stamp fails with the conversion's last error (none, under Wine),
    // and nothing after it is.
    const unsigned long month13 = ((40ul << 9 | 13ul << 5 | 1ul) << 16);
    MakeZip(dir_ + L"pkg.zip",
            {{"first.txt", "1"}, {"undated.txt", "2", 0, month13}, {"last.txt", "3"}});
    EXPECT_FALSE(ikx::DecompressFile(dir_ + L"pkg.zip", target_));
    EXPECT_EQ(log.CountStarting("error code: "), 1);
    EXPECT_EQ(ReadBytes(target_ + L"\\first.txt"), "1");
    EXPECT_FALSE(PathExists(target_ + L"\\last.txt"));
}

}  // namespace
