// vornExt_ParseLog through the real DLL: the buffers handed back, the records
// logged, and where each file ends up.
#include <json/json.h>

#include <atomic>
#include <thread>

#include "log_intake.h"

using namespace testsupport;

namespace {

const std::wstring kType = L"VORN_IPRODUCT_DETECTION_LOG";

int LackRecords(LogCollector& log) {
    int n = 0;
    for (const std::string& text : log.Texts()) n += text.rfind("Error, Lack of ", 0) == 0;
    return n;
}

// Complete records come back whole and stay; the others move to the corrupt
// folder (over an older copy), logging only the first field they lack.
TEST_F(LogIntakeTest, RecordsAreHandedBackOrMovedAside) {
    const std::string record = detlog::Record({1000, {}});
    struct Row {
        std::string lacks, bytes;  // no field lacking: a complete record
    };
    std::vector<Row> rows = {{"", record},
                             {"", detlog::Record({0, {}, true})},
                             {"", detlog::Record() + std::string("\0tail\0!", 7)},
                             {"SLF_ClientIP", detlog::Record({0, {"SLF_RuleID", "SLF_ClientIP"}})},
                             {"SLF_CategoryID", ""},
                             {"SLF_CategoryID", "SLF_CategoryID=1"},
                             {"SLF_CategoryID", "[" + record + "]"},
                             {"SLF_CategoryID", std::string(100000, '[')}};
    for (const std::string& field : detlog::RequiredFields()) {
        rows.push_back({field, detlog::Record({0, {field}})});
    }
    ASSERT_EQ(record.size(), 1000u);
    for (size_t i = 0; i < rows.size(); ++i) {
        const auto& [lacks, bytes] = rows[i];
        const std::wstring name = L"log" + std::to_wstring(i) + L".json";
        detlog::WriteBytes(CorruptCopy(name), "older copy");
        const std::wstring path = Write(name, bytes);
        log.Clear();
        const ParseOutcome out = Parse(path.c_str());
        SCOPED_TRACE(i);
        if (lacks.empty()) {
            EXPECT_EQ(out.result, 0);
            EXPECT_EQ(out.data, bytes + '\0');
            EXPECT_EQ(out.length, bytes.size());
            EXPECT_EQ(out.typeName.substr(0, kType.size() + 1), kType + L'\0');
            EXPECT_EQ(FileBytes(path), bytes);
            EXPECT_EQ(LackRecords(log), 0);
            continue;
        }
        EXPECT_EQ(out.result, -24002);
        EXPECT_FALSE(out.handedBuffer);
        EXPECT_EQ(out.typeName, std::wstring(kTypeBuffer, L'#'));
        EXPECT_EQ(log.Count("Error, Lack of " + lacks), 1);
        EXPECT_EQ(LackRecords(log), 1);
        EXPECT_TRUE(log.Contains("[" + Narrow(path) + "] Fail to validate log."));
        EXPECT_EQ(FileBytes(path), "<missing>");
        EXPECT_EQ(FileBytes(CorruptCopy(name)), bytes);
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
    const std::wstring huge = Write(L"huge.json", "{}");
    HANDLE grown =
        ::CreateFileW(huge.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ::SetFilePointerEx(grown, LARGE_INTEGER{{0, 5}}, nullptr, FILE_BEGIN);  // 20 GiB, sparse
    ::SetEndOfFile(grown);
    ::CloseHandle(grown);
    ::CreateDirectoryW((logs + L"folder.json").c_str(), nullptr);
    for (const std::wstring& path :
         {readOnly, locked, huge, logs + L"folder.json", logs + L"absent.json", std::wstring()}) {
        WIN32_FILE_ATTRIBUTE_DATA before = {}, after = {};
        ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &before);
        const ParseOutcome out = Parse(path.empty() ? nullptr : path.c_str());
        ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &after);
        EXPECT_EQ(out.result, -24001) << Narrow(path);
        EXPECT_FALSE(out.handedBuffer);
        EXPECT_EQ(out.length, 0xFFFFFFFFu);
        EXPECT_EQ(out.typeName, std::wstring(kTypeBuffer, L'#'));
        EXPECT_TRUE(log.Contains("[" + Narrow(path) + "] Failure on opening the log"));
        EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << Narrow(path);
    }
    ::CloseHandle(held);
    ::SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);
}

// Without the corrupt folder a broken file is deleted; a bare file name moves
// like a full path; a refused gate touches nothing.
TEST_F(LogIntakeTest, BrokenFilesAreMovedOrDeleted) {
    const std::wstring path = Write(L"broken.json", "{}");
    ::RemoveDirectoryW(CorruptFolder().c_str());
    EXPECT_EQ(Parse(path.c_str()).result, -24002);
    const std::string move = Narrow(path) + " to " + Narrow(CorruptCopy(L"broken.json"));
    EXPECT_TRUE(log.Contains("Moving file from " + move));
    EXPECT_TRUE(
        log.Contains("Failure on moving file from " + move + ". Delete broken file directly."));
    EXPECT_EQ(FileBytes(path), "<missing>");

    ::CreateDirectoryW(CorruptFolder().c_str(), nullptr);
    Write(L"bare.json", "[]");
    ::SetCurrentDirectoryW(logs.c_str());
    EXPECT_EQ(Parse(L"bare.json").result, -24002);
    EXPECT_EQ(FileBytes(CorruptCopy(L"bare.json")), "[]");

    dll.Deinit();
    const ParseOutcome refused = Parse(path.c_str());
    EXPECT_EQ(refused.result, 0);
    EXPECT_FALSE(refused.handedBuffer);
    EXPECT_TRUE(log.Contains("Haven't init!"));
    dll.Init();
}

TEST_F(LogIntakeTest, TypeNameIsBoundedByTheCallersCapacity) {
    const std::string record = detlog::Record();
    const std::wstring path = Write(L"valid.json", record);
    const struct {
        uint32_t capacity;
        std::wstring written;
    } rows[] = {{0, L""},
                {1, std::wstring(1, L'\0')},
                {5, std::wstring(L"VORN\0", 5)},
                {27, kType.substr(0, 26) + L'\0'},
                {28, kType + L'\0'}};
    for (const auto& [capacity, written] : rows) {
        const ParseOutcome out = Parse(path.c_str(), capacity);
        EXPECT_EQ(out.result, 0);
        EXPECT_EQ(out.typeName, written + std::wstring(kTypeBuffer - written.size(), L'#'))
            << capacity;
    }
    EXPECT_EQ(Parse(path.c_str(), kTypeBuffer, false).result, 0);  // null outputs
    EXPECT_EQ(FileBytes(path), record);
}

// The record up to its first NUL, parsed here on its own.
bool Complete(const std::string& bytes) {
    Json::Value value;
    try {
        const char* text = bytes.c_str();
        if (!Json::Reader().parse(text, text + std::strlen(text), value)) return false;
    } catch (const std::exception&) {
        return false;
    }
    for (const std::string& field : detlog::RequiredFields()) {
        if (!value.isObject() || !value.isMember(field)) return false;
    }
    return true;
}

TEST_F(LogIntakeTest, MutatedRecordsAreJudgedAndNeverLost) {
    std::mt19937 random(7411u);
    int kept = 0;
    constexpr int kFiles = 2000;
    for (int i = 0; i < kFiles; ++i) {
        std::string bytes = detlog::Record({0, {}, i % 3 == 0, static_cast<unsigned>(i)});
        for (int n = i % 3; n >= 0; --n) bytes = detlog::Mutate(bytes, random);
        const std::wstring path = Write(L"fuzz.json", bytes);
        const ParseOutcome out = Parse(path.c_str());
        const bool complete = Complete(bytes);
        kept += complete;
        ASSERT_EQ(out.result, complete ? 0 : -24002) << i << ": " << bytes;
        ASSERT_EQ(out.data, complete ? bytes + '\0' : "") << i;
        ASSERT_EQ(FileBytes(complete ? path : CorruptCopy(L"fuzz.json")), bytes) << i;
    }
    EXPECT_GT(kept, kFiles / 10);
    EXPECT_LT(kept, kFiles * 9 / 10);
}

// A file still being appended to comes back as it stood at one moment.
TEST_F(LogIntakeTest, AFileGrowingWhileReadComesBackWhole) {
    const std::string record = detlog::Record({8u << 20, {}});
    const std::wstring path = Write(L"growing.json", record);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        HANDLE file =
            ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, 0, nullptr);
        const std::string spaces(1024, ' ');
        DWORD written = 0;
        for (int i = 0; i < 16384 && !stop; ++i)
            ::WriteFile(file, spaces.data(), 1024, &written, nullptr);
        ::CloseHandle(file);
    });
    std::vector<ParseOutcome> outs;
    for (int i = 0; i < 3; ++i) outs.push_back(Parse(path.c_str()));
    stop = true;
    writer.join();
    const std::string final = FileBytes(path);
    for (const ParseOutcome& out : outs) {
        EXPECT_EQ(out.result, 0);
        EXPECT_GE(out.length, record.size());
        EXPECT_EQ(out.data, final.substr(0, out.length) + '\0');
    }
}

}  // namespace
