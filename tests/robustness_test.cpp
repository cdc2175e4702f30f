// The request exports under load and abuse: many threads at once, thousands
// of calls without leaking handles or memory, and generated or mutated
// envelopes that must never bring the process down.
#include <windows.h>
// psapi.h needs windows.h first.
#include <psapi.h>

#include <gtest/gtest.h>
#include <json/json.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <random>
#include <thread>

#include "support.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

const std::wstring kKxcKey = L"SOFTWARE\\Corvask\\KXC";
const std::wstring kKxeKey = L"SOFTWARE\\Corvask\\KXE";

const char* const kQueries[] = {
    R"({"product_id":"VORN_IPRODUCT_IKX","query_id":"VORN_ONQUERY_SERVICE_STATUS"})",
    R"({"product_id":"VORN_IPRODUCT_IKX","query_id":"VORN_ONQUERY_PRODUCT_VERSION"})",
    R"({"product_id":"VORN_IPRODUCT_IKX","query_id":"VORN_ONQUERY_COMMON_SETTINGS"})",
    R"({"product_id":"VORN_IPRODUCT_IKX","query_id":"VORN_ONQUERY_SELF_PROTECTION"})",
    R"({"product_id":"VORN_IPRODUCT_IKX","query_id":"VORN_ONQUERY_CLIENT_STATUS_LOG",
        "query_data":{"query_type":"VORN_CLIENT_ALL_STATUS_LOG"}})",
    R"({"product_id":"VORN_IPRODUCT_IKX","query_id":"VORN_ONQUERY_COMPONENT_INFO",
        "query_data":{"query_type":"VORN_RUNTIME_COMPONENT_INFO"}})",
};
const char kCommand[] =
    R"({"command_id":"VORN_ONCOMMAND_NOTHING","command_data":{"command_type":"X"}})";
const char kNotify[] =
    R"({"product_id":"VORN_IPRODUCT_IKX","notify_id":"VORN_ONNOTIFY_NOTHING","notify_data":{"notify_type":"X","notify_content":{}}})";

// An installed, stopped sensor: every query has a fixed answer.
class Robustness : public ::testing::Test {
  protected:
    void SetUp() override {
        Clean();
        RegSetString(kKxcKey, L"Version", L"3.5.0.100");
        RegSetString(kKxeKey, L"Version", L"3.5.0.100");
        RegSetString(kKxeKey, L"InstallDir", L"D:\\Kx\\");
        RegSetDword(kKxcKey, L"PolicySetting", 0);
        RegSetString(kKxcKey, L"SLF_KernelGlobalVersion", L"1.2.3");
        RegSetString(kKxcKey, L"SLF_KernelGlobalDownloadTime", L"132000000000000000");
        RegSetString(kKxcKey, L"SLF_ADECorvaskVersion", L"4.5.6");
        RegSetString(kKxcKey, L"SLF_ADECorvaskDownloadTime", L"0");
        for (const wchar_t* name : {L"QVKXC", L"QVKXE"}) {
            services.push_back(std::make_unique<ScopedService>(
                name, L"\"" + BinDir() + L"KxSensorService.exe\" --name " + name + L" --no-ipc"));
        }
        ASSERT_NE(dll.module, nullptr);
        dll.Init();
    }
    void TearDown() override {
        dll.Deinit();
        services.clear();
        Clean();
    }
    static void Clean() {
        RegDeleteTree(kKxcKey);
        RegDeleteTree(kKxeKey);
        for (const wchar_t* name : {L"QVKXC", L"QVKXE"}) RemoveServiceIfPresent(name);
    }
    int32_t Command(const std::string& text) {
        return dll.OnCommand(0, static_cast<uint32_t>(text.size()), text.c_str());
    }
    int32_t Notify(const std::string& text) {
        return dll.OnNotify(0, static_cast<uint32_t>(text.size()), text.c_str());
    }

    HostAgent agent;
    ProductDll dll;
    std::vector<std::unique_ptr<ScopedService>> services;
};

TEST_F(Robustness, ConcurrentCallsAllGetTheirOwnCorrectAnswer) {
    // Wine's service manager loses RPC replies when several threads of one
    // process probe existing services at once, so the services are removed:
    // every query still runs its service-manager calls, which then fail.
    services.clear();
    std::vector<std::string> expected;
    for (const char* query : kQueries) {
        expected.push_back(dll.Query(query));
        ASSERT_NE(expected.back().find("\"product_id\" : \"VORN_IPRODUCT_IKX\""), std::string::npos)
            << query;
    }
    // The answers differ, so a response handed to the wrong call would show.
    for (size_t i = 1; i < expected.size(); ++i) ASSERT_NE(expected[i], expected[i - 1]);
    // Without the client service a notification is refused.
    ASSERT_EQ(Notify(kNotify), -1);

    constexpr int kThreads = 8;
    constexpr int kCallsPerThread = 400;
    std::atomic<int> wrong{0}, badResults{0}, calls{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kCallsPerThread; ++i) {
                const size_t which = static_cast<size_t>(t + i) % (std::size(kQueries) + 2);
                if (which < std::size(kQueries)) {
                    int32_t rc = -1;
                    if (dll.Query(kQueries[which], &rc) != expected[which]) ++wrong;
                    if (rc != 0) ++badResults;
                } else if (which == std::size(kQueries)) {
                    if (Command(kCommand) != 0) ++badResults;
                } else if (Notify(kNotify) != -1) {
                    ++badResults;
                }
                ++calls;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(calls.load(), kThreads * kCallsPerThread);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(badResults.load(), 0);
}

SIZE_T PrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    ::K32GetProcessMemoryInfo(::GetCurrentProcess(),
                              reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                              sizeof counters);
    return counters.PrivateUsage;
}

DWORD HandleCount() {
    DWORD count = 0;
    ::GetProcessHandleCount(::GetCurrentProcess(), &count);
    return count;
}

// Calls of every kind, counted against the process's handles and private
// memory once the first rounds have warmed caches up.
void ExpectNoGrowth(const std::function<void()>& round, int warmup, int rounds) {
    for (int i = 0; i < warmup; ++i) round();
    const DWORD handles = HandleCount();
    const SIZE_T memory = PrivateBytes();
    for (int i = 0; i < rounds; ++i) round();
    EXPECT_LE(HandleCount(), handles + 4) << "from " << handles;
    EXPECT_LE(PrivateBytes(), memory + 1024 * 1024) << "from " << memory;
}

TEST_F(Robustness, HandlesAndMemoryReturnToBaselineAfterThousandsOfCalls) {
    // The status log with policy setting 1 binds and releases the sibling each time.
    RegSetDword(kKxcKey, L"PolicySetting", 1);
    const auto round = [&] {
        for (const char* query : kQueries) dll.Query(query);
        Command(kCommand);
        Notify(kNotify);
    };
    // No log server: every record's pipe open fails.
    ExpectNoGrowth(round, 40, 250);  // 2000 calls
    // With a log server every record opens, writes and closes a pipe.
    LogCollector log;
    ExpectNoGrowth(round, 10, 40);
    EXPECT_TRUE(log.WaitFor("[vornExt_OnNotify][End]", 5s));
}

// Deterministic generator of request texts: valid envelopes, envelopes with
// keys of every JSON type, deep nesting, huge values, and byte-level damage.
class EnvelopeFactory {
  public:
    explicit EnvelopeFactory(uint32_t seed) : random_(seed) {}

    std::string Next() {
        switch (Pick(8)) {
            case 0:
                return Seed();
            case 1:
                return Typed();
            case 2:
                return Nested();
            case 3:
                return Huge();
            default:
                return Damaged(Pick(2) ? Seed() : Typed());
        }
    }

  private:
    size_t Pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random_); }

    std::string Seed() {
        static const char* const seeds[] = {
            kQueries[0],
            kQueries[1],
            kQueries[2],
            kQueries[3],
            kQueries[4],
            kQueries[5],
            kCommand,
            kNotify,
            R"({"command_id":"VORN_ONCOMMAND_INSTALLATION","command_data":{"command_type":"VORN_IAGENT_INSTALL","PkgPath":"C:\\none.zip"}})",
            R"({"product_id":"VORN_IPRODUCT_IKX","notify_id":"VORN_ONNOTIFY_ADMIN_CFG_CHANGE","notify_data":{"notify_type":"VORN_TYPE_PROXY","notify_content":{"a":1}}})",
        };
        return seeds[Pick(std::size(seeds))];
    }

    std::string AnyValue(int depth) {
        static const char* const scalars[] = {
            "null",        "true",        "false",       "0",    "-1",
            "4294967296",  "1e308",       "-0.5",        "\"\"", "\"VORN_IPRODUCT_IKX\"",
            "\"\\u0000\"", "\"\\ud800\"", "\"\xff\xfe\""};
        if (depth > 3 || Pick(3) == 0) return scalars[Pick(std::size(scalars))];
        if (Pick(2)) return "[" + AnyValue(depth + 1) + "," + AnyValue(depth + 1) + "]";
        return "{\"query_type\":" + AnyValue(depth + 1) +
               ",\"command_type\":" + AnyValue(depth + 1) +
               ",\"notify_type\":" + AnyValue(depth + 1) + "}";
    }

    // Every envelope key with a value of any JSON type.
    std::string Typed() {
        static const char* const keys[] = {"product_id",   "query_id",  "query_data", "command_id",
                                           "command_data", "notify_id", "notify_data"};
        std::string text = "{";
        for (const char* key : keys) {
            if (Pick(3) == 0) continue;
            if (text.size() > 1) text += ",";
            text += std::string("\"") + key + "\":" +
                    (Pick(2) && std::strcmp(key, "product_id") == 0 ? "\"VORN_IPRODUCT_IKX\""
                                                                    : AnyValue(0));
        }
        return text + "}";
    }

    std::string Nested() {
        const size_t depth = 1 + Pick(Pick(4) == 0 ? 200000 : 2000);
        const bool objects = Pick(2) != 0;
        std::string text =
            R"({"product_id":"VORN_IPRODUCT_IKX","query_id":"VORN_ONQUERY_PRODUCT_VERSION","query_data":)";
        for (size_t i = 0; i < depth; ++i) text += objects ? "{\"query_type\":" : "[";
        if (Pick(2)) {
            text += "1";
            for (size_t i = 0; i < depth; ++i) text += objects ? "}" : "]";
            text += "}";
        }
        return text;
    }

    std::string Huge() {
        const std::string filler(1 + Pick(1024 * 1024), static_cast<char>('A' + Pick(26)));
        switch (Pick(3)) {
            case 0:
                return R"({"product_id":"VORN_IPRODUCT_IKX","query_id":")" + filler + "\"}";
            case 1:
                return R"({"command_id":"VORN_ONCOMMAND_MDR_SETTING","command_data":{"x":")" +
                       filler + "\"}}";
            default:
                return R"({"product_id":"VORN_IPRODUCT_IKX","notify_id":")" + filler + "\"}";
        }
    }

    std::string Damaged(std::string text) {
        const size_t edits = 1 + Pick(8);
        for (size_t e = 0; e < edits && !text.empty(); ++e) {
            const size_t at = Pick(text.size());
            switch (Pick(5)) {
                case 0:
                    text[at] = static_cast<char>(Pick(256));
                    break;
                case 1:
                    text[at] = '\0';
                    break;
                case 2:
                    text.resize(at);
                    break;
                case 3:
                    text.insert(at, 1, "{}[]\",:\\"[Pick(8)]);
                    break;
                default:
                    text.erase(at, 1 + Pick(4));
                    break;
            }
        }
        return text;
    }

    std::mt19937 random_;
};

// The response a query hands back must be whole styled JSON of our product.
bool ValidResponse(ProductDll& dll, uint32_t length, char* response, std::string& why) {
    if (!response) return true;
    const bool lengthOk = std::strlen(response) == length;
    Json::Value value;
    const bool parsed = Json::Reader().parse(std::string(response, length), value);
    const bool ours = parsed && value.isObject() && value["product_id"] == "VORN_IPRODUCT_IKX";
    if (!(lengthOk && ours)) why = std::string(response, length);
    dll.Free(response);
    return lengthOk && ours;
}

TEST_F(Robustness, GeneratedAndDamagedEnvelopesNeverEscapeTheExports) {
    EnvelopeFactory factory(20240611u);
    int answered = 0;
    for (int i = 0; i < 4000; ++i) {
        const std::string text = factory.Next();
        const uint32_t length = static_cast<uint32_t>(text.size());
        uint32_t responseLength = 0;
        char* response = nullptr;
        ASSERT_EQ(dll.OnQueryData(0, length, text.data(), &responseLength, &response), 0) << i;
        answered += response != nullptr;
        std::string why;
        ASSERT_TRUE(ValidResponse(dll, responseLength, response, why)) << i << ": " << why;
        ASSERT_EQ(dll.OnCommand(0, length, text.data()), 0) << i;
        // Notification text must be NUL-terminated; std::string guarantees it.
        const int32_t notified = dll.OnNotify(0, length, text.c_str());
        ASSERT_TRUE(notified == 0 || (notified == -1 && length == 0)) << i << ": " << notified;
    }
    // Null pointers where a caller may pass them.
    EXPECT_EQ(dll.OnQueryData(0, 0, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(dll.OnCommand(0, 0, nullptr), 0);
    EXPECT_EQ(dll.OnNotify(0, 0, nullptr), -1);
    // Some of the generated requests are valid queries and were answered.
    EXPECT_GT(answered, 100);
    // The extension still answers normally afterwards.
    EXPECT_NE(dll.Query(kQueries[0]).find("\"status_code\" : 2"), std::string::npos);
}

}  // namespace
