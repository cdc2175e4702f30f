// The service status and product version queries through the real DLL, with
// the sensor's services run by the service control manager; and the status
// while a stop command runs.
#include <thread>
#include <tuple>

#include "control_world.h"

using namespace testsupport;

namespace {

TEST_F(StatusQueries, AbsentSensorAnswersNotInstalledWithExactKeys) {
    EXPECT_EQ(Ask(IkxQuery("VORN_ONQUERY_SERVICE_STATUS")),
              Parse(R"({"product_id":"VORN_IPRODUCT_IKX","query_id":"VORN_ONQUERY_SERVICE_STATUS",
                  "result_code":0,"result_data":{"type":"VORN_QUERY_RESULT_TYPE_DATA",
                  "content":{"status_code":4}}})"));
    EXPECT_TRUE(Logged("iKX is not installed"));
    EXPECT_EQ(Ask(IkxQuery("VORN_ONQUERY_PRODUCT_VERSION")),
              Parse(R"({"product_id":"VORN_IPRODUCT_IKX","query_id":"VORN_ONQUERY_PRODUCT_VERSION",
                  "result_code":0,"result_data":{"type":"VORN_QUERY_RESULT_TYPE_DATA",
                  "content":{"product_version":"",
                  "agent_guid":"{0B3E1D2C-7A41-4C55-9E0F-1A2B3C4D5E6F}"}}})"));
}

TEST_F(StatusQueries, StatusIsClassifiedOnBothServicesAndTheVersions) {
    Versions(L"3.2.1.77", L"3.2.1.77");
    ScopedService& client = AddService(L"QVKXC", true);
    EXPECT_EQ(Status(), 0);  // engine service missing: neither stopped nor running
    EXPECT_TRUE(Logged("Query KXE service status failed, error: -3"));
    EXPECT_TRUE(Logged("iKX service status is unknown..."));
    ScopedService& engine = AddService(L"QVKXE", true);
    EXPECT_EQ(Status(), 1);
    EXPECT_TRUE(Logged("iKX Current State: KXClient - 4, KXE - 4"));
    EXPECT_TRUE(Logged("iKX service is running"));
    EXPECT_EQ(Version()["product_version"], "3.2.1.77");
    ASSERT_TRUE(engine.Stop());
    EXPECT_EQ(Status(), 2);
    EXPECT_TRUE(Logged("iKX Current State: KXClient - 4, KXE - 1"));
    ASSERT_TRUE(engine.Start());
    ASSERT_TRUE(client.Stop());
    EXPECT_EQ(Status(), 2);
    EXPECT_TRUE(Logged("iKX Current State: KXClient - 1, KXE - 4"));
    EXPECT_TRUE(Logged("iKX service is stopped"));
    ASSERT_TRUE(client.Start());
    // Client of the older major, engine current: the client counts as gone.
    Versions(L"2.9.10", L"3.0.0");
    EXPECT_EQ(Status(), 2);
    EXPECT_TRUE(Logged("iKX client is gone, return stopped"));
    // Both of the older major: not installed although both run.
    Versions(L"2.9.10", L"2.0.0");
    EXPECT_EQ(Status(), 4);
    EXPECT_EQ(Version()["product_version"], "2.9.10");
    // Current versions without services.
    services.clear();
    Versions(L"3.1.0", L"3.1.0");
    EXPECT_EQ(Status(), 4);
    // The older service names are read when the current ones are absent.
    AddService(L"KXClient", true);
    ScopedService& oldEngine = AddService(L"KXE", true);
    EXPECT_EQ(Status(), 1);
    ASSERT_TRUE(oldEngine.Stop());
    EXPECT_EQ(Status(), 2);
}

// Stopped is judged before pending, pending before the rest; PAUSED is unknown.
TEST_F(StatusQueries, PendingAndPausedServicesAreClassifiedAfterStopped) {
    Versions(L"3.2.1", L"3.2.1");
    const struct {
        const wchar_t *clientOptions, *engineOptions;
        DWORD client, engine;
        int status;
    } rows[] = {
        {L"", L" --start-pending 600000", SERVICE_RUNNING, SERVICE_START_PENDING, 3},
        {L" --stop-pending 600000", L"", SERVICE_STOP_PENDING, SERVICE_STOPPED, 2},
        {L"", L" --paused 0", SERVICE_RUNNING, SERVICE_PAUSED, 0},
    };
    for (const auto& row : rows) {
        services.clear();
        for (const auto& [name, options, state] :
             {std::tuple(L"QVKXC", row.clientOptions, row.client),
              std::tuple(L"QVKXE", row.engineOptions, row.engine)}) {
            ScopedService& service = AddService(name, false, options);
            if (state == SERVICE_STOPPED) continue;
            ASSERT_TRUE(state == SERVICE_STOP_PENDING ? service.Start() : service.Begin());
            SERVICE_STATUS status = {};
            if (state == SERVICE_STOP_PENDING) {
                ::ControlService(OpenedService(name, SERVICE_STOP).service, SERVICE_CONTROL_STOP,
                                 &status);
            }
            ASSERT_TRUE(service.WaitState(state, 20s)) << Narrow(name) << " " << state;
        }
        EXPECT_EQ(Status(), row.status) << row.client << " " << row.engine;
        EXPECT_TRUE(Logged("iKX Current State: KXClient - " + std::to_string(row.client) +
                           ", KXE - " + std::to_string(row.engine)));
    }
}

TEST_F(StatusQueries, VersionValuesOfOddTypesAndLengths) {
    AddService(L"QVKXC");
    AddService(L"QVKXE");
    const std::wstring longest = L"3.0.0." + std::wstring(253, L'7');  // 259 units
    const char unterminated[] = {'3', 0, '.', 0, '1', 0, '.', 0, '2', 0};
    const DWORD number = 3;
    const auto text = [](std::wstring value, DWORD type = REG_SZ) {
        return [=] { RegSetString(kKxcKey, L"Version", value, type); };
    };
    const struct {
        std::function<void()> store;
        int status;
        std::string version;
    } cases[] = {
        {text(L"3.0.0", REG_EXPAND_SZ), 2, "3.0.0"},
        {text(L"3"), 2, "3"},
        {text(L"  4.0.1"), 2, "  4.0.1"},
        {text(L"v3.0.0"), 4, "v3.0.0"},
        {text(L"3.0.0-\u00e9\u00fc"), 2, "3.0.0-\xc3\xa9\xc3\xbc"},  // ANSI text in UTF-8
        {[&] { RegSetBinary(kKxcKey, L"Version", &number, sizeof number, REG_DWORD); }, 4, "\x03"},
        {[&] { RegSetBinary(kKxcKey, L"Version", unterminated, sizeof unterminated, REG_SZ); }, 2,
         "3.1.2"},
        {text(longest), 2, Narrow(longest)},
        {text(longest + L"7"), 4, ""},
    };
    for (const auto& c : cases) {
        RegDeleteTree(kKxcKey);
        c.store();
        EXPECT_EQ(Status(), c.status) << c.version;
        EXPECT_EQ(Version()["product_version"], c.version);
    }
}

TEST_F(StatusQueries, AgentGuidFitsInSixtyFourUnits) {
    const std::pair<std::wstring, std::string> rows[] = {
        {std::wstring(63, L'G'), std::string(63, 'G')},
        {L"{\u00e9}", "{\xc3\xa9}"},
        {std::wstring(64, L'G'), ""}};
    for (const auto& [stored, answered] : rows) {
        RegSetString(kAgentKey, L"GUID", stored);
        EXPECT_EQ(Version()["agent_guid"], answered);
    }
    RegDeleteValue(kAgentKey, L"GUID");
    EXPECT_EQ(Version()["agent_guid"], "");
}

// The status query answers the moment it is asked, also while a stop runs
// (other states: PendingAndPausedServicesAreClassifiedAfterStopped above).
TEST_F(ControlWorld, QueriesSeeTheMomentAlsoDuringAStop) {
    Lay(SensorSetup().Engine(L"--stop-pending 600000"));
    std::thread stop([this] { EXPECT_EQ(Run(ikx::OnCommandStopService)["result_code"], 1); });
    EXPECT_TRUE(WaitUntil([] { return ServiceStateOf(L"QVKXE") == kStopping; }, 20s));
    EXPECT_EQ(SensorStatus(), 3);
    stop.join();
    EXPECT_EQ(SensorStatus(), 2);
    EXPECT_EQ(ikx::ServiceStopPending.load(), 0);
}

}  // namespace
