// The log record on the pipe: fields, limits, chunked writes, and silence
// when the writer does not exist.
#include <atomic>
#include <thread>

#include "in_process.h"
#include "platform/text.h"

using namespace testsupport;

namespace {

using LogClient = InProcessTest;

TEST_F(LogClient, RecordCarriesEightTabSeparatedFields) {
    ikx::WriteDebugLog("VORN_EXT_IKX", 4, "vornExt_iKX_dllMain.cpp", 42, "vornExt_Init",
                       "%s=%d %ws", "x", 7, L"wide");
    const auto records = log.Records();
    ASSERT_EQ(records.size(), 1u);
    const auto& r = records[0];
    ASSERT_EQ(r.fields.size(), 8u);
    EXPECT_EQ(r.Field(0), L"LOG_WRITE");
    EXPECT_NEAR(_wtoi64(r.Field(1).c_str()), static_cast<long long>(_time64(nullptr)), 5);
    EXPECT_EQ(r.Field(2), std::to_wstring(::GetCurrentProcessId()));
    EXPECT_EQ(r.Field(3), std::to_wstring(::GetCurrentThreadId()));
    EXPECT_EQ(r.Field(4), L"4");
    EXPECT_EQ(r.Field(5), L"vornExt_iKX_dllMain.cpp");
    EXPECT_EQ(r.Field(6), L"42");
    EXPECT_EQ(r.Field(7), L"[-iKXClient-][VORN_EXT_IKX][vornExt_Init]x=7 wide");
    EXPECT_EQ(r.raw.back(), L'\0');
    log.Clear();
    ikx::WriteDebugLog("VORN_EXT_IKX", -3, "f.cpp", -7, "fn", "m");  // signs are kept
    EXPECT_EQ(log.Records().at(0).Field(4), L"-3");
    EXPECT_EQ(log.Records().at(0).Field(6), L"-7");
    log.Clear();
    // A file name longer than a path still arrives whole; message bytes arrive
    // as the ANSI code page reads them.
    const std::string longFile = std::string(300, 'f') + ".cpp";
    ikx::WriteDebugLog("VORN_EXT_IKX", 6, longFile.c_str(), 1, "fn", "%s", "caf\xc3\xa9");
    EXPECT_EQ(log.Records().at(0).Field(5), std::wstring(300, L'f') + L".cpp");
    EXPECT_EQ(log.Records().at(0).Field(7),
              L"[-iKXClient-][VORN_EXT_IKX][fn]" +
                  ikx::MultiByteToWide("caf\xc3\xa9", ikx::kCodePageAnsi));
}

TEST_F(LogClient, LongMessageIsCutAndRecordsGoInChunksOf1024Bytes) {
    ikx::WriteDebugLog("VORN_EXT_IKX", 6, "f.cpp", 1, "fn", "%s", std::string(5000, 'a').c_str());
    ikx::WriteDebugLog("VORN_EXT_IKX", 6, "f.cpp", 1, "fn", "");
    auto records = log.Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(MessageOf(records[0]), std::string(4094, 'a'));
    const size_t fixed = records[1].raw.size() - 1;  // characters without the NUL
    log.Clear();
    // A 600-character record is 1202 bytes with its NUL: 1024 + 178.
    const std::string message(600 - fixed, 'b');
    ikx::WriteDebugLog("VORN_EXT_IKX", 6, "f.cpp", 1, "fn", "%s", message.c_str());
    records = log.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].raw.size(), 601u);
    EXPECT_EQ(records[0].messageSizes, (std::vector<DWORD>{1024, 178}));
}

// With every instance of the log pipe busy, a record waits up to 20 s for one.
TEST_F(LogClient, BusyPipeIsWaitedFor) {
    // The collector serves one instance: holding it makes every other client busy.
    HANDLE holder = ::CreateFileW(L"\\\\.\\pipe\\Log_ServerNamePipe", GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    std::atomic<bool> returned{false};
    std::thread writer([&] {
        ikx::WriteDebugLog("VORN_EXT_IKX", 6, "f.cpp", 1, "fn", "waited");
        returned = true;
    });
    // Still waiting after 4 s, far within its 20 s.
    EXPECT_FALSE(WaitUntil([&] { return returned.load(); }, std::chrono::seconds(4)));
    ::CloseHandle(holder);
    writer.join();
    EXPECT_EQ(log.Texts(), std::vector<std::string>{"waited"});
}

TEST_F(LogClient, NothingIsSentWithoutWriter) {
    ikx::DestroyLogWriter();
    ikx::WriteDebugLog("VORN_EXT_IKX", 6, "f.cpp", 1, "fn", "dropped");
    ikx::CreateLogWriter();
    ikx::WriteDebugLog("VORN_EXT_IKX", 6, "f.cpp", 1, "fn", "sent");
    // Sending is synchronous, so the first record would be here before the second.
    EXPECT_EQ(log.Texts(), std::vector<std::string>{"sent"});
}

TEST_F(LogClient, ConcurrentRecordsNeverMix) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t] {
            const std::string body(300 + t, static_cast<char>('a' + t));
            for (int i = 0; i < 25; ++i) {
                ikx::WriteDebugLog("VORN_EXT_IKX", 6, "f.cpp", t, "fn", "%s", body.c_str());
            }
        });
    }
    for (auto& th : threads) th.join();
    const auto records = log.Records();
    ASSERT_EQ(records.size(), 200u);
    for (const auto& r : records) {
        const int t = _wtoi(r.Field(6).c_str());
        EXPECT_EQ(MessageOf(r), std::string(300 + t, static_cast<char>('a' + t)));
    }
}

}  // namespace

TEST(LogClientWithoutService, EveryCallReturnsAndSendsNothing) {
    ikx::CreateLogWriter();
    for (int i = 0; i < 50; ++i) ikx::WriteDebugLog("VORN_EXT_IKX", 6, "f.cpp", 1, "fn", "lost");
    LogCollector log;  // a service that starts afterwards sees none of them
    ikx::WriteDebugLog("VORN_EXT_IKX", 6, "f.cpp", 1, "fn", "after");
    EXPECT_EQ(log.Texts(), std::vector<std::string>{"after"});
    ikx::DestroyLogWriter();
}
