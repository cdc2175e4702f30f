// The request exports under load and abuse: many threads at once, many calls
// without leaking handles or memory, and generated or mutated envelopes that
// must never bring the process down.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "hostile_requests.h"
#include "sensor_world.h"

using namespace testsupport;

namespace {

const std::string kQueries[] = {
    IkxQuery("VORN_ONQUERY_SERVICE_STATUS"),
    IkxQuery("VORN_ONQUERY_PRODUCT_VERSION"),
    IkxQuery("VORN_ONQUERY_COMMON_SETTINGS"),
    IkxQuery("VORN_ONQUERY_SELF_PROTECTION"),
    IkxQuery("VORN_ONQUERY_CLIENT_STATUS_LOG", "VORN_CLIENT_ALL_STATUS_LOG"),
    IkxQuery("VORN_ONQUERY_COMPONENT_INFO", "VORN_RUNTIME_COMPONENT_INFO")};
const std::string kCommand =
    R"({"command_id":"VORN_ONCOMMAND_NOTHING","command_data":{"command_type":"X"}})";
const std::string kNotify =
    R"({"product_id":"VORN_IPRODUCT_IKX","notify_id":"VORN_ONNOTIFY_NOTHING","notify_data":{"notify_type":"X","notify_content":{}}})";

TEST_F(Robustness, ConcurrentCallsAllGetTheirOwnCorrectAnswer) {
    // Wine's service manager loses RPC replies when several threads of one
    // process probe existing services at once, so the services are removed:
    // every query still runs its service-manager calls, which then fail.
    services.clear();
    std::vector<std::string> expected;
    for (const std::string& query : kQueries) {
        expected.push_back(dll.Query(query));
        ASSERT_NE(expected.back().find("\"product_id\" : \"VORN_IPRODUCT_IKX\""), std::string::npos)
            << query;
    }
    // The answers differ, so a response handed to the wrong call would show.
    for (size_t i = 1; i < expected.size(); ++i) ASSERT_NE(expected[i], expected[i - 1]);
    ASSERT_EQ(Send(dll.OnNotify, kNotify), -1);  // refused without the client service

    constexpr int kThreads = 8, kCallsPerThread = 60;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kCallsPerThread; ++i) {
                const size_t which = static_cast<size_t>(t + i) % (std::size(kQueries) + 2);
                int32_t rc = -1;
                if (which < std::size(kQueries)) {
                    wrong += dll.Query(kQueries[which], &rc) != expected[which] || rc != 0;
                } else {
                    wrong += which == std::size(kQueries) ? Send(dll.OnCommand, kCommand) != 0
                                                          : Send(dll.OnNotify, kNotify) != -1;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(Robustness, HandlesAndMemoryStayFlatOverManyCalls) {
    // The status log with policy setting 1 binds and releases the sibling each time.
    RegSetDword(kKxcKey, L"PolicySetting", 1);
    const auto round = [&] {
        for (const std::string& query : kQueries) dll.Query(query);
        Send(dll.OnCommand, kCommand);
        Send(dll.OnNotify, kNotify);
    };
    // 160 calls whose log records go nowhere: a status query costs Wine's service
    // manager about 0.1 s, so more rounds buy little but time; a handle lost
    // per round is still five times the slack.
    ExpectFlatUsage(round, 3, 20);
    // With a log server every record opens, writes and closes a pipe; the
    // server keeps none, so that only the extension's memory is measured.
    std::atomic<int> records{0};
    testbed::LogPipeServer server([&](const testbed::LogRecord&) { ++records; });
    ExpectFlatUsage(round, 2, 12);
    EXPECT_GT(records.load(), 14 * 8);
    // Service handles are not kernel handles: one left open keeps the deleted service.
    for (const wchar_t* name : {L"QVKXC", L"QVKXE"}) EXPECT_TRUE(RemoveServiceIfPresent(name));
}

TEST_F(Robustness, GeneratedAndDamagedEnvelopesNeverEscapeTheExports) {
    std::mt19937 random(20240611u);
    std::vector<std::string> valid(std::begin(kQueries), std::end(kQueries));
    valid.insert(valid.end(), {kCommand, kNotify});
    int answered = 0;
    // Each envelope goes through all three exports, ~20 ms a round under Wine;
    // the envelope reader itself is fuzzed at length on the host build.
    // IKX_FUZZ_ENVELOPES asks for more (a soak) or fewer.
    const int envelopes = RoundsFromEnvironment("IKX_FUZZ_ENVELOPES", 120);
    ProcessUsage before;
    for (int i = 0; i < envelopes; ++i) {
        if (i == 10) before = MeasureProcess();  // the first calls load what stays loaded
        const std::string text = HostileEnvelope(random, valid);
        const uint32_t length = static_cast<uint32_t>(text.size());
        uint32_t responseLength = 0;
        char* response = nullptr;
        ASSERT_EQ(dll.OnQueryData(0, length, text.data(), &responseLength, &response), 0) << i;
        if (response) {
            // A response is whole JSON of our product with its exact length.
            ++answered;
            const std::string body(response, responseLength);
            Json::Value value;
            const bool ours = std::strlen(response) == responseLength &&
                              Json::Reader().parse(body, value) && value.isObject() &&
                              value["product_id"] == "VORN_IPRODUCT_IKX";
            dll.Free(response);
            ASSERT_TRUE(ours) << i << ": " << body;
        }
        ASSERT_EQ(dll.OnCommand(0, length, text.data()), 0) << i;
        // Notification text must be NUL-terminated; std::string guarantees it.
        const int32_t notified = dll.OnNotify(0, length, text.c_str());
        ASSERT_TRUE(notified == 0 || (notified == -1 && length == 0)) << i << ": " << notified;
    }
    EXPECT_EQ(dll.OnQueryData(0, 0, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(dll.OnCommand(0, 0, nullptr), 0);
    EXPECT_EQ(dll.OnNotify(0, 0, nullptr), -1);
    EXPECT_GT(answered, 4);  // valid queries among the generated ones were answered
    // Handles a call gave back may close a moment later (Wine's worker
    // threads end on their own): counted until they settle, within a bound
    // that the guest's slowdown stretches.
    ProcessUsage after;
    WaitUntil(
        [&] {
            after = MeasureProcess();
            return after.handles <= before.handles + 4;
        },
        std::chrono::seconds(30));
    EXPECT_LE(after.handles, before.handles + 4) << "from " << before.handles;
    EXPECT_LE(after.modules, before.modules) << "from " << before.modules;
    std::printf("%d envelopes: handles %zu -> %zu, committed %zu -> %zu bytes\n", envelopes,
                before.handles, after.handles, before.committedBytes, after.committedBytes);
    // The extension still answers normally afterwards.
    EXPECT_NE(dll.Query(kQueries[0]).find("\"status_code\" : 2"), std::string::npos);
}

}  // namespace
