// The service status and product version queries through the real DLL, with
// the sensor's services run by the service control manager.
#include <gtest/gtest.h>
#include <json/json.h>

#include <memory>

#include "support.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

const std::wstring kKxcKey = L"SOFTWARE\\Corvask\\KXC";
const std::wstring kKxeKey = L"SOFTWARE\\Corvask\\KXE";
const std::wstring kAgentKey = L"SOFTWARE\\Corvask\\VarnixNTCorp\\CurrentVersion";
const std::string kAgentGuid = "{0B3E1D2C-7A41-4C55-9E0F-1A2B3C4D5E6F}";

class StatusQueries : public ::testing::Test {
  protected:
    void SetUp() override {
        Clean();
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
        for (const wchar_t* name : {L"QVKXC", L"QVKXE", L"KXClient", L"KXE"}) {
            RemoveServiceIfPresent(name);
        }
    }
    void AddService(const std::wstring& name, bool running) {
        services.push_back(std::make_unique<ScopedService>(
            name, L"\"" + BinDir() + L"KxSensorService.exe\" --name " + name + L" --no-ipc"));
        if (running) ASSERT_TRUE(services.back()->Start()) << Narrow(name);
    }
    void Versions(const std::wstring& client, const std::wstring& engine) {
        RegSetString(kKxcKey, L"Version", client);
        RegSetString(kKxeKey, L"Version", engine);
    }
    Json::Value Ask(const char* queryId) {
        const std::string response =
            dll.Query(std::string(R"({"product_id":"VORN_IPRODUCT_IKX",)") + R"("query_id":")" +
                      queryId + R"("})");
        Json::Value value;
        EXPECT_TRUE(Json::Reader().parse(response, value)) << response;
        return value;
    }
    int Status() {
        const Json::Value answer = Ask("VORN_ONQUERY_SERVICE_STATUS");
        EXPECT_EQ(answer["result_code"], 0);
        return answer["result_data"]["content"]["status_code"].asInt();
    }
    std::string ProductVersion() {
        return Ask("VORN_ONQUERY_PRODUCT_VERSION")["result_data"]["content"]["product_version"]
            .asString();
    }

    LogCollector log;
    HostAgent agent;
    ProductDll dll;
    std::vector<std::unique_ptr<ScopedService>> services;
};

TEST_F(StatusQueries, AbsentSensorAnswersNotInstalledWithExactKeys) {
    const Json::Value status = Ask("VORN_ONQUERY_SERVICE_STATUS");
    EXPECT_EQ(status.getMemberNames(),
              (std::vector<std::string>{"product_id", "query_id", "result_code", "result_data"}));
    EXPECT_EQ(status["product_id"], "VORN_IPRODUCT_IKX");
    EXPECT_EQ(status["query_id"], "VORN_ONQUERY_SERVICE_STATUS");
    EXPECT_TRUE(status["result_code"].isInt());
    EXPECT_EQ(status["result_code"], 0);
    EXPECT_EQ(status["result_data"].getMemberNames(),
              (std::vector<std::string>{"content", "type"}));
    EXPECT_EQ(status["result_data"]["type"], "VORN_QUERY_RESULT_TYPE_DATA");
    EXPECT_EQ(status["result_data"]["content"].getMemberNames(),
              (std::vector<std::string>{"status_code"}));
    EXPECT_EQ(status["result_data"]["content"]["status_code"], 4);
    EXPECT_TRUE(log.WaitFor("iKX is not installed", 5s));

    const Json::Value version = Ask("VORN_ONQUERY_PRODUCT_VERSION");
    EXPECT_EQ(version["query_id"], "VORN_ONQUERY_PRODUCT_VERSION");
    EXPECT_EQ(version["result_code"], 0);
    EXPECT_EQ(version["result_data"]["type"], "VORN_QUERY_RESULT_TYPE_DATA");
    EXPECT_EQ(version["result_data"]["content"].getMemberNames(),
              (std::vector<std::string>{"agent_guid", "product_version"}));
    EXPECT_EQ(version["result_data"]["content"]["product_version"], "");
    EXPECT_EQ(version["result_data"]["content"]["agent_guid"], kAgentGuid);
}

TEST_F(StatusQueries, CurrentSensorIsClassifiedOnBothServices) {
    Versions(L"3.2.1.77", L"3.2.1.77");
    AddService(L"QVKXC", true);
    AddService(L"QVKXE", true);
    EXPECT_EQ(Status(), 1);
    EXPECT_TRUE(log.WaitFor("iKX Current State: KXClient - 4, KXE - 4", 5s));
    EXPECT_TRUE(log.WaitFor("iKX service is running", 5s));
    EXPECT_EQ(ProductVersion(), "3.2.1.77");

    ASSERT_TRUE(services[1]->Stop());
    EXPECT_EQ(Status(), 2);  // engine stopped
    EXPECT_TRUE(log.WaitFor("iKX Current State: KXClient - 4, KXE - 1", 5s));
    ASSERT_TRUE(services[1]->Start());
    ASSERT_TRUE(services[0]->Stop());
    EXPECT_EQ(Status(), 2);  // client stopped
    EXPECT_TRUE(log.WaitFor("iKX Current State: KXClient - 1, KXE - 4", 5s));
    EXPECT_TRUE(log.WaitFor("iKX service is stopped", 5s));
}

TEST_F(StatusQueries, HalfInstalledSensors) {
    // Client runs, engine service missing: its state reads 0, neither stopped nor pending.
    Versions(L"3.0.0", L"3.0.0");
    AddService(L"QVKXC", true);
    EXPECT_EQ(Status(), 0);
    EXPECT_TRUE(log.WaitFor("Query KXE service status failed, error: -3", 5s));
    EXPECT_TRUE(log.WaitFor("iKX service status is unknown...", 5s));

    // Client registered as 2.x, engine 3.x: installed by the engine, but no
    // service generation is in force, so the client counts as gone.
    AddService(L"QVKXE", true);
    Versions(L"2.9.10", L"3.0.0");
    EXPECT_EQ(Status(), 2);
    EXPECT_TRUE(log.WaitFor("iKX client is gone, return stopped", 5s));

    // Both versions of the older major: not installed although both run.
    Versions(L"2.9.10", L"2.0.0");
    EXPECT_EQ(Status(), 4);
    EXPECT_EQ(ProductVersion(), "2.9.10");

    // Versions without services.
    services.clear();
    Versions(L"3.0.0", L"3.0.0");
    EXPECT_EQ(Status(), 4);
}

TEST_F(StatusQueries, OldServiceNamesAreReadWhenCurrentOnesAreAbsent) {
    Versions(L"3.1.0", L"3.1.0");
    AddService(L"KXClient", true);
    AddService(L"KXE", true);
    EXPECT_EQ(Status(), 1);
    EXPECT_TRUE(log.WaitFor("iKX Current State: KXClient - 4, KXE - 4", 5s));
    ASSERT_TRUE(services[1]->Stop());
    EXPECT_EQ(Status(), 2);
    EXPECT_FALSE(log.Contains("Query iKX service status failed, error: -3"));
}

TEST_F(StatusQueries, VersionValuesOfOddTypesAndLengths) {
    AddService(L"QVKXC", false);
    AddService(L"QVKXE", false);
    struct Case {
        const char* what;
        std::function<void()> store;
        int status;
        std::string productVersion;
    };
    const std::wstring longest = L"3.0.0." + std::wstring(253, L'7');  // 259 units
    const std::wstring tooLong = longest + L"7";                       // 260 units
    const char unterminated[] = {'3', 0, '.', 0, '1', 0, '.', 0, '2', 0};
    const DWORD number = 3;
    const Case cases[] = {
        {"expand string", [] { RegSetString(kKxcKey, L"Version", L"3.0.0", REG_EXPAND_SZ); }, 2,
         "3.0.0"},
        {"major only", [] { RegSetString(kKxcKey, L"Version", L"3"); }, 2, "3"},
        {"leading blanks", [] { RegSetString(kKxcKey, L"Version", L"  4.0.1"); }, 2, "  4.0.1"},
        {"prefix", [] { RegSetString(kKxcKey, L"Version", L"v3.0.0"); }, 4, "v3.0.0"},
        {"dword", [&] { RegSetBinary(kKxcKey, L"Version", &number, sizeof number, REG_DWORD); }, 4,
         ""},
        {"no terminator",
         [&] { RegSetBinary(kKxcKey, L"Version", unterminated, sizeof unterminated, REG_SZ); }, 2,
         "3.1.2"},
        {"longest that fits", [&] { RegSetString(kKxcKey, L"Version", longest); }, 2,
         Narrow(longest)},
        {"one unit too long", [&] { RegSetString(kKxcKey, L"Version", tooLong); }, 4, ""},
    };
    for (const Case& c : cases) {
        RegDeleteTree(kKxcKey);
        c.store();
        EXPECT_EQ(Status(), c.status) << c.what;
        if (std::string(c.what) != "dword") {
            EXPECT_EQ(ProductVersion(), c.productVersion) << c.what;
        }
    }
}

TEST_F(StatusQueries, AgentGuidFitsInSixtyFourUnits) {
    const std::wstring fits(63, L'G');
    RegSetString(kAgentKey, L"GUID", fits);
    EXPECT_EQ(Ask("VORN_ONQUERY_PRODUCT_VERSION")["result_data"]["content"]["agent_guid"],
              Narrow(fits));
    RegSetString(kAgentKey, L"GUID", fits + L"G");
    EXPECT_EQ(Ask("VORN_ONQUERY_PRODUCT_VERSION")["result_data"]["content"]["agent_guid"], "");
    RegDeleteValue(kAgentKey, L"GUID");
    const Json::Value answer = Ask("VORN_ONQUERY_PRODUCT_VERSION");
    EXPECT_EQ(answer["result_data"]["content"]["agent_guid"], "");
    EXPECT_EQ(answer["result_code"], 0);
}

}  // namespace
