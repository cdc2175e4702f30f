// Binding of the host agent library, the Init/Deinit count and the gate,
// through the real DLL, the VornAgent.dll stand-in and its signed variants.
#include <thread>

#include "sensor_world.h"

using namespace testsupport;

namespace {

const std::string kVersionQuery = IkxQuery("VORN_ONQUERY_PRODUCT_VERSION");

bool AgentLoaded() {
    return ::GetModuleHandleW(L"VornAgent.dll") != nullptr;
}

struct Refusal {
    const wchar_t* variant;
    std::vector<std::string> messages;                  // in this order, before the final failure
    void (*craft)(const std::wstring& path) = nullptr;  // changes the placed agent
};

class RefusedAgent : public ::testing::TestWithParam<Refusal> {};

TEST_P(RefusedAgent, LeavesNothingLoadedAndRefusesRequests) {
    LogCollector log;
    HostAgent agent(GetParam().variant);
    if (GetParam().craft) GetParam().craft(agent.Folder() + L"VornAgent.dll");
    ProductDll dll;
    dll.Init();
    EXPECT_FALSE(AgentLoaded());
    const std::vector<std::string> texts = log.Texts();
    size_t at = 0;
    for (const std::string& expected : GetParam().messages) {
        while (at < texts.size() && texts[at].find(expected) != 0) ++at;
        EXPECT_LT(at, texts.size()) << "missing, or out of order: " << expected;
    }
    EXPECT_TRUE(log.Contains("Init VornAgent object failed!"));
    log.Clear();
    EXPECT_TRUE(dll.Query(kVersionQuery).empty());
    EXPECT_EQ(log.Texts(), std::vector<std::string>{"Haven't init!"});
}

INSTANTIATE_TEST_SUITE_P(
    Variants, RefusedAgent,
    ::testing::Values(
        Refusal{L"VornAgent.nointeg.dll", {"VornAgent Integrity check failed. (File apth: "}},
        Refusal{L"VornAgent.unsigned.dll",
                {"GetIssuer - Error is ", "Get VornAgent signer failed. (File apth: "}},
        Refusal{L"VornAgent.other.dll", {"VornAgent dll's signer is Mallory Software Ltd"}},
        Refusal{L"VornAgent.lookalike.dll", {"VornAgent dll's signer is Corvask, Inc. Labs"}},
        Refusal{L"VornAgent.sixexports.dll", {"GetProcAddress failed (error: "}},
        Refusal{L"VornAgent.dll",
                {"VornAgent Integrity check failed. (File apth: "},
                PutHeadersPastTheEnd}));

TEST(Binding, MissingAgentOrUnreadableFolderValueFails) {
    LogCollector log;
    {
        HostAgent agent;
        agent.Remove(L"VornAgent.dll");
        ProductDll dll;
        dll.Init();
        EXPECT_TRUE(log.Contains("VornAgent Integrity check failed. (File apth: " +
                                 Narrow(agent.Folder()) + "VornAgent.dll)"));
        EXPECT_TRUE(log.Contains("Init VornAgent object failed!"));
        agent.Place(L"VornAgent.dll", L"VornAgent.dll");
        dll.Init();  // the failed binding left nothing counted: this one binds
        EXPECT_FALSE(dll.Query(kVersionQuery).empty());
        dll.Deinit();
    }
    log.Clear();
    HostAgent agent;
    // 300 characters do not fit the 260-character read.
    RegSetString(L"SOFTWARE\\Corvask\\VarnixNTCorp\\CurrentVersion", L"Application Path",
                 agent.Folder() + std::wstring(300, L'x') + L"\\");
    ProductDll dll;
    dll.Init();
    EXPECT_TRUE(log.Contains("Failed to retrieve Pelmo client installation path"));
    EXPECT_TRUE(log.Contains("Cannot get Pelmo folder."));
    EXPECT_FALSE(AgentLoaded());
}

// The agent here is signed in capitals: the signer name is compared ignoring case.
TEST(Lifecycle, InitCountKeepsTheBindingUntilTheLastDeinit) {
    LogCollector log;
    HostAgent agent(L"VornAgent.upper.dll");
    ProductDll dll;
    ASSERT_NE(dll.module, nullptr);
    dll.Deinit();  // without Init: nothing happens, the count stays 0
    dll.Init();
    EXPECT_TRUE(AgentLoaded());
    EXPECT_TRUE(log.Contains("VornAgent dll's signer is CORVASK, INC."));
    dll.Init();
    EXPECT_EQ(log.Count("Init VornAgent object"), 1);
    dll.Deinit();
    EXPECT_TRUE(AgentLoaded());
    EXPECT_FALSE(dll.Query(kVersionQuery).empty());
    dll.Deinit();
    EXPECT_FALSE(AgentLoaded());
    EXPECT_EQ(log.Count("Deinit VornAgent object"), 1);
    log.Clear();
    EXPECT_TRUE(dll.Query(kVersionQuery).empty());
    EXPECT_TRUE(log.Contains("Haven't init!"));
    dll.Init();  // binds anew
    EXPECT_FALSE(dll.Query(kVersionQuery).empty());
    dll.Deinit();
}

TEST(Lifecycle, ConcurrentInitDeinitPairsKeepCountAndBindingConsistent) {
    HostAgent agent;
    ProductDll dll;
    dll.Init();
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                dll.Init();
                dll.Deinit();
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_TRUE(AgentLoaded());
    EXPECT_FALSE(dll.Query(kVersionQuery).empty());
    dll.Deinit();
    EXPECT_FALSE(AgentLoaded());
    EXPECT_TRUE(dll.Query(kVersionQuery).empty());
}

}  // namespace
