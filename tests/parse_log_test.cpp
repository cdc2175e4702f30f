// vornExt_ParseLog through the real DLL: the buffers handed back, the records
// logged, and where each file ends up.
#include "log_intake.h"

using namespace testsupport;

namespace {

const std::wstring kType = L"VORN_IPRODUCT_DETECTION_LOG";
const std::wstring kUntouched(kTypeBuffer, L'#');

// Complete records come back whole and stay; the others move to the corrupt
// folder (over an older copy), logging only the first field they lack.
TEST_F(LogIntakeTest, RecordsAreHandedBackOrMovedAside) {
    const std::string record = detlog::Record({1000, {}});
    std::vector<std::pair<std::string, std::string>> rows = {
        // field lacking ("": none), bytes
        {"", record},
        {"", detlog::Record({0, {}, true})},
        {"", detlog::Record() + std::string("\0tail\0!", 7)},
        {"SLF_ClientIP", detlog::Record({0, {"SLF_RuleID", "SLF_ClientIP"}})},
        {"SLF_CategoryID", ""},
        {"SLF_CategoryID", "SLF_CategoryID=1"},
        {"SLF_CategoryID", "[" + record + "]"},
        {"SLF_CategoryID", std::string(100000, '[')}};
    for (const std::string& field : detlog::RequiredFields()) {
        rows.emplace_back(field, detlog::Record({0, {field}}));
    }
    ASSERT_EQ(record.size(), 1000u);
    for (size_t i = 0; i < rows.size(); ++i) {
        const auto& [lacks, bytes] = rows[i];
        const std::wstring name = L"log" + std::to_wstring(i) + L".json";
        detlog::WriteBytes(CorruptCopy(name), "older copy");
        const std::wstring path = Write(name, bytes);
        log.Clear();
        const ParseOutcome out = Parse(path.c_str());
        const bool valid = lacks.empty();
        EXPECT_EQ(out.result, valid ? 0 : -24002) << i;
        EXPECT_EQ(out.data, valid ? bytes + '\0' : "") << i;
        EXPECT_EQ(out.typeName.substr(0, 28), valid ? kType + L'\0' : kUntouched.substr(0, 28));
        EXPECT_EQ(log.CountStarting("Error, Lack of "), valid ? 0 : 1) << i;
        EXPECT_EQ(log.Count("Error, Lack of " + lacks), valid ? 0 : 1) << i;
        EXPECT_EQ(log.Count("[" + Narrow(path) + "] Fail to validate log."), valid ? 0 : 1) << i;
        EXPECT_EQ(FileBytes(path), valid ? bytes : "<missing>") << i;
        EXPECT_EQ(FileBytes(CorruptCopy(name)), valid ? "older copy" : bytes) << i;
    }
}

// Files that cannot be opened for reading and writing (or held in memory) are
// reported and left as they are, with no output written.
TEST_F(LogIntakeTest, UnreadableFilesStayWhereTheyAre) {
    const std::wstring readOnly = Write(L"readonly.json", "{}");
    ::SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY);
    const std::wstring locked = Write(L"locked.json", "{}");
    HANDLE held =
        ::CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    const std::wstring huge = logs + L"huge.json";
    ASSERT_TRUE(detlog::WriteSparse(huge, 20ull << 30));
    ::CreateDirectoryW((logs + L"folder.json").c_str(), nullptr);
    for (const std::wstring& path :
         {readOnly, locked, huge, logs + L"folder.json", logs + L"absent.json", std::wstring()}) {
        WIN32_FILE_ATTRIBUTE_DATA before = {}, after = {};
        ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &before);
        const ParseOutcome out = Parse(path.empty() ? nullptr : path.c_str());
        ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &after);
        EXPECT_EQ(out.result, -24001) << Narrow(path);
        EXPECT_TRUE(!out.handedBuffer && out.length == 0xFFFFFFFF && out.typeName == kUntouched);
        EXPECT_TRUE(log.Contains("[" + Narrow(path) + "] Failure on opening the log"));
        EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << Narrow(path);
    }
    ::CloseHandle(held);
    ::SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);
}

// The type name is cut to the caller's capacity and outputs may be left out;
// without the corrupt folder a broken file is deleted; a bare file name moves
// like a full path, and a name with slashes stays in the corrupt folder; a
// refused gate touches nothing.
TEST_F(LogIntakeTest, CallerBuffersAndFileDestinations) {
    const std::wstring valid = Write(L"valid.json", detlog::Record());
    for (const auto& [capacity, written] :
         std::vector<std::pair<uint32_t, std::wstring>>{{0, L""},
                                                        {1, std::wstring(1, L'\0')},
                                                        {5, std::wstring(L"VORN\0", 5)},
                                                        {27, kType.substr(0, 26) + L'\0'}}) {
        const ParseOutcome out = Parse(valid.c_str(), capacity);
        EXPECT_EQ(out.typeName, written + kUntouched.substr(written.size())) << capacity;
    }
    EXPECT_EQ(Parse(valid.c_str(), kTypeBuffer, false).result, 0);  // null outputs
    EXPECT_EQ(FileBytes(valid), detlog::Record());

    const std::wstring broken = Write(L"broken.json", "{}");
    ::RemoveDirectoryW(CorruptFolder().c_str());
    EXPECT_EQ(Parse(broken.c_str()).result, -24002);
    const std::string move = Narrow(broken) + " to " + Narrow(CorruptCopy(L"broken.json"));
    EXPECT_TRUE(log.Contains("Moving file from " + move));
    EXPECT_TRUE(
        log.Contains("Failure on moving file from " + move + ". Delete broken file directly."));
    EXPECT_EQ(FileBytes(broken), "<missing>");

    ::CreateDirectoryW(CorruptFolder().c_str(), nullptr);
    ::SetCurrentDirectoryW(logs.c_str());
    Write(L"bare.json", "[]");
    EXPECT_EQ(Parse(L"bare.json").result, -24002);
    EXPECT_EQ(FileBytes(CorruptCopy(L"bare.json")), "[]");

    // Slashes and ".." in the last component: Win32 reads this as <logs>bad.json,
    // and its name is cut at the last slash, so the copy cannot climb out of the
    // corrupt folder into the (existing) "temp\<logs' name>" beside it.
    const std::wstring folder = logs.substr(0, logs.size() - 1);
    const std::wstring logsName = folder.substr(folder.rfind(L'\\') + 1);
    const std::wstring beside = install + L"temp\\" + logsName + L"\\";
    ::CreateDirectoryW(beside.c_str(), nullptr);
    Write(L"bad.json", "[1]");
    EXPECT_EQ(Parse((logs + L"x/../../" + logsName + L"/bad.json").c_str()).result, -24002);
    EXPECT_EQ(FileBytes(logs + L"bad.json"), "<missing>");
    EXPECT_EQ(FileBytes(CorruptFolder() + L"bad.json.brk"), "[1]");
    EXPECT_EQ(FileBytes(beside + L"bad.json.brk"), "<missing>");
    EXPECT_TRUE(::RemoveDirectoryW(beside.c_str())) << "something was left beside the folder";
    {
        // No install folder: deleted, never moved relative to the working folder.
        const NoInstallFolderFits noFolder(agent);
        ::CreateDirectoryW((logs + L"temp").c_str(), nullptr);
        ::CreateDirectoryW((logs + L"temp\\Corrupt").c_str(), nullptr);
        EXPECT_EQ(Parse(Write(L"lost.json", "[]").c_str()).result, -24002);
        EXPECT_EQ(FileBytes(logs + L"lost.json"), "<missing>");
        EXPECT_EQ(FileBytes(logs + L"temp\\Corrupt\\lost.json.brk"), "<missing>");
    }

    dll.Deinit();
    EXPECT_EQ(Parse(Write(L"refused.json", "").c_str()).result, 0);
    EXPECT_TRUE(log.Contains("Haven't init!"));
    EXPECT_EQ(FileBytes(logs + L"refused.json"), "");
    dll.Init();
}

TEST_F(LogIntakeTest, MutatedRecordsAreJudgedAndNeverLost) {
    std::mt19937 random(7411u);
    int kept = 0;
    // Each call costs ~10 ms under Wine (the gate's signer check, the move aside).
    constexpr int kFiles = 600;
    for (int i = 0; i < kFiles; ++i) {
        std::string bytes = detlog::Record({0, {}, i % 3 == 0, static_cast<unsigned>(i)});
        for (int n = i % 3; n >= 0; --n) bytes = detlog::Mutate(bytes, random);
        const std::wstring path = Write(L"fuzz.json", bytes);
        const ParseOutcome out = Parse(path.c_str());
        const bool complete = detlog::IsCompleteRecord(bytes);
        kept += complete;
        ASSERT_EQ(out.result, complete ? 0 : -24002) << i << ": " << bytes;
        ASSERT_EQ(out.data, complete ? bytes + '\0' : "") << i;
        ASSERT_EQ(FileBytes(complete ? path : CorruptCopy(L"fuzz.json")), bytes) << i;
    }
    EXPECT_GT(kept, kFiles / 10);
    EXPECT_LT(kept, kFiles * 9 / 10);
}

}  // namespace
