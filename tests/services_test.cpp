// The service primitives against Wine's real service control manager, with
// KxSensorService.exe as the service process.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "common/sensor_registry.h"
#include "common/services.h"
#include "log/log.h"
#include "support.h"

using namespace testsupport;
using std::chrono::seconds;

namespace {

constexpr wchar_t kTestService[] = L"IkxTestSvc";
constexpr wchar_t kKxcKeyPath[] = L"SOFTWARE\\Corvask\\KXC";

// Services need real time to start under Wine, more than the usual scaling
// leaves of the 3-second polls; these tests run the product's clock at 1/20.
const bool kClockSet = [] { return _putenv("IKX_TIME_DIVISOR=20") == 0; }();

std::wstring SensorCommand(const std::wstring& name, const std::wstring& options = L"") {
    return L"\"" + BinDir() + L"KxSensorService.exe\" --name " + name + options;
}

// An owned SCM handle pair for checks the primitives do not offer.
struct OpenedService {
    OpenedService(const std::wstring& name, DWORD access) {
        manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        service = manager ? ::OpenServiceW(manager, name.c_str(), access) : nullptr;
    }
    ~OpenedService() {
        if (service) ::CloseServiceHandle(service);
        if (manager) ::CloseServiceHandle(manager);
    }
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
};

struct ServiceConfig {
    DWORD type = 0, startType = 0, errorControl = 0;
    std::wstring binaryPath, displayName, account;
};

bool ReadConfig(const std::wstring& name, ServiceConfig& config) {
    OpenedService opened(name, SERVICE_QUERY_CONFIG);
    if (!opened.service) return false;
    DWORD needed = 0;
    ::QueryServiceConfigW(opened.service, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    auto* raw = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!::QueryServiceConfigW(opened.service, raw, needed, &needed)) return false;
    config = {raw->dwServiceType,
              raw->dwStartType,
              raw->dwErrorControl,
              raw->lpBinaryPathName ? raw->lpBinaryPathName : L"",
              raw->lpDisplayName ? raw->lpDisplayName : L"",
              raw->lpServiceStartName ? raw->lpServiceStartName : L""};
    return true;
}

// Stops a stand-in service that ignores the stop control.
bool ForceStop(const std::wstring& name) {
    const std::wstring event = L"Global\\KxSensorServiceForceStop_" + name;
    HANDLE handle = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, event.c_str());
    if (!handle) return false;
    const bool set = ::SetEvent(handle);
    ::CloseHandle(handle);
    return set;
}

class ServicesTest : public ::testing::Test {
  protected:
    void SetUp() override { ikx::CreateLogWriter(); }
    void TearDown() override {
        ikx::DestroyLogWriter();
        RegDeleteTree(kKxcKeyPath);
    }
};

TEST_F(ServicesTest, MissingServiceIsAbsentAndCannotBeQueried) {
    RemoveServiceIfPresent(kTestService);
    EXPECT_EQ(ikx::scIsServiceInstalled(kTestService), 0);
    DWORD state = 7;
    EXPECT_EQ(ikx::scQueryServiceStatus(kTestService, state), ikx::kScOpenServiceFailed);
    EXPECT_EQ(state, 7u) << "a failed query must not touch the state";
}

TEST_F(ServicesTest, StateQueriesOfMissingServicesLogAndLeaveZero) {
    struct Row {
        const wchar_t* service;
        void (*query)(DWORD&);
        const char* message;
    };
    const Row rows[] = {
        {L"QVKXC", ikx::QueryIKxclientServiceStatus, "Query iKX service status failed, error: -3"},
        {L"KXClient", ikx::QueryOldKxclientServiceStatus,
         "Query old iKX service status failed, error: -3"},
        {L"QVKXE", ikx::QueryKxeServiceStatus, "Query KXE service status failed, error: -3"},
        {L"KXE", ikx::QueryOldKxeServiceStatus, "Query old KXE service status failed, error: -3"},
    };
    LogCollector log;
    for (const Row& row : rows) {
        RemoveServiceIfPresent(row.service);
        DWORD state = SERVICE_RUNNING;
        row.query(state);
        EXPECT_EQ(state, 0u) << Narrow(row.service);
        EXPECT_TRUE(log.WaitFor(row.message, seconds(5))) << row.message;
    }
}

TEST_F(ServicesTest, StateQueryReportsRunningClient) {
    ScopedService service(L"QVKXC", SensorCommand(L"QVKXC"));
    ASSERT_TRUE(service.Start());
    LogCollector log;
    DWORD state = 0;
    ikx::QueryIKxclientServiceStatus(state);
    EXPECT_EQ(state, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(log.Count("Query iKX service status failed, error: -3"), 0);
}

TEST_F(ServicesTest, CreateRegistersOwnProcessDemandStartService) {
    RemoveServiceIfPresent(kTestService);
    const std::wstring image = SensorCommand(kTestService);
    ASSERT_EQ(ikx::scCreateService(image.c_str(), kTestService, L""), ikx::kScSuccess);

    ServiceConfig config;
    ASSERT_TRUE(ReadConfig(kTestService, config));
    EXPECT_EQ(config.type & ~SERVICE_INTERACTIVE_PROCESS,
              static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config.startType, static_cast<DWORD>(SERVICE_DEMAND_START));
    EXPECT_EQ(config.errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(config.binaryPath, image);
    EXPECT_EQ(config.displayName, kTestService) << "an empty display name falls back to the name";
    EXPECT_EQ(config.account, L"LocalSystem");

    EXPECT_EQ(ikx::scIsServiceInstalled(kTestService), ikx::kScInstalled);
    DWORD state = 0;
    EXPECT_EQ(ikx::scQueryServiceStatus(kTestService, state), ikx::kScSuccess);
    EXPECT_EQ(state, static_cast<DWORD>(SERVICE_STOPPED));

    EXPECT_EQ(ikx::scCreateService(image.c_str(), kTestService, nullptr), ikx::kScOpenServiceFailed)
        << "a second service of the same name cannot be created";

    EXPECT_EQ(ikx::scDeleteService(kTestService), ikx::kScSuccess);
    EXPECT_TRUE(
        WaitUntil([] { return ikx::scIsServiceInstalled(kTestService) == 0; }, seconds(10)));
    EXPECT_EQ(ikx::scDeleteService(kTestService), ikx::kScOpenServiceFailed);
}

TEST_F(ServicesTest, CreateKeepsGivenDisplayName) {
    RemoveServiceIfPresent(kTestService);
    const std::wstring image = SensorCommand(kTestService);
    ASSERT_EQ(ikx::scCreateService(image.c_str(), kTestService, L"iKX test service"),
              ikx::kScSuccess);
    ServiceConfig config;
    EXPECT_TRUE(ReadConfig(kTestService, config));
    EXPECT_EQ(config.displayName, L"iKX test service");
    EXPECT_EQ(ikx::scDeleteService(kTestService), ikx::kScSuccess);
}

TEST_F(ServicesTest, DeletingServiceMarkedForDeletionFails) {
    RemoveServiceIfPresent(kTestService);
    const std::wstring image = SensorCommand(kTestService, L" --no-ipc");
    ASSERT_EQ(ikx::scCreateService(image.c_str(), kTestService, nullptr), ikx::kScSuccess);
    {
        OpenedService opened(kTestService, SERVICE_START);
        ASSERT_TRUE(opened.service && ::StartServiceW(opened.service, 0, nullptr));
    }
    {
        OpenedService query(kTestService, SERVICE_QUERY_STATUS);
        ASSERT_TRUE(ikx::scWaitServiceState(SERVICE_RUNNING, query.service, 200, 2000));
        // A running service is only marked; it stays until its process stops.
        EXPECT_EQ(ikx::scDeleteService(kTestService), ikx::kScSuccess);
        EXPECT_EQ(ikx::scDeleteService(kTestService), ikx::kScDeleteFailed);
        EXPECT_TRUE(ikx::scWaitServiceState(SERVICE_RUNNING, query.service, 1, 1000));
    }
    RemoveServiceIfPresent(kTestService);  // stops it, and with that it is gone
    EXPECT_EQ(ikx::scIsServiceInstalled(kTestService), 0);
}

TEST_F(ServicesTest, StartKxcServiceStartsStoppedClient) {
    ScopedService service(L"QVKXC", SensorCommand(L"QVKXC"));
    ASSERT_EQ(service.State(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(ikx::scStartKxcService(), ikx::kScSuccess);
    EXPECT_EQ(service.State(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(ikx::scStartKxcService(), ikx::kScSuccess) << "already running counts as started";
    EXPECT_EQ(service.State(), static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(ServicesTest, StartKxcServiceWithoutClientServiceFails) {
    RemoveServiceIfPresent(L"QVKXC");
    EXPECT_EQ(ikx::scStartKxcService(), ikx::kScOpenServiceFailed);
}

TEST_F(ServicesTest, StartKxcServiceGivesUpOnImageThatCannotRun) {
    ScopedService service(L"QVKXC", L"\"" + BinDir() + L"NoSuchSensor.exe\" --name QVKXC");
    EXPECT_EQ(ikx::scStartKxcService(), ikx::kScStartFailed);
    EXPECT_EQ(service.State(), static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(ServicesTest, StopServiceStopsRunningService) {
    ScopedService service(kTestService, SensorCommand(kTestService));
    ASSERT_TRUE(service.Start());
    EXPECT_EQ(ikx::scStopService(kTestService, 30, 10000), ikx::kScSuccess);
    EXPECT_EQ(service.State(), static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(ServicesTest, StopServiceOnStoppedServiceSucceeds) {
    ScopedService service(kTestService, SensorCommand(kTestService));
    ASSERT_EQ(service.State(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(ikx::scStopService(kTestService, 1, 10000), ikx::kScSuccess);
}

TEST_F(ServicesTest, StopServiceIgnoredByServiceTimesOut) {
    ScopedService service(kTestService, SensorCommand(kTestService, L" --ignore-stop --no-ipc"));
    ASSERT_TRUE(service.Start());
    EXPECT_EQ(ikx::scStopService(kTestService, 3, 3000), ikx::kScStopFailed);
    EXPECT_EQ(service.State(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(ForceStop(kTestService));
    EXPECT_TRUE(service.WaitState(SERVICE_STOPPED, seconds(20)));
}

TEST_F(ServicesTest, StopServiceReportsWindowsErrorOrBadName) {
    RemoveServiceIfPresent(kTestService);
    EXPECT_EQ(ikx::scStopService(kTestService, 1, 1000),
              static_cast<int32_t>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_EQ(ikx::scStopService(nullptr, 1, 1000), ikx::kScStopFailed);
    EXPECT_EQ(ikx::scStopService(L"", 1, 1000), ikx::kScStopFailed);
}

TEST_F(ServicesTest, WaitServiceStateAnswersAtOnceForStoppedService) {
    ScopedService service(kTestService, SensorCommand(kTestService));
    OpenedService opened(kTestService, SERVICE_QUERY_STATUS);
    ASSERT_NE(opened.service, nullptr);
    // Scaled, one interval is still 10 s: the answer must come before it.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ikx::scWaitServiceState(SERVICE_RUNNING, opened.service, 3, 200000));
    EXPECT_TRUE(ikx::scWaitServiceState(SERVICE_STOPPED, opened.service, 3, 200000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, seconds(5));
    EXPECT_FALSE(ikx::scWaitServiceState(SERVICE_STOPPED, nullptr, 1, 1000));
}

TEST_F(ServicesTest, WaitServiceStateSeesRunningService) {
    ScopedService service(kTestService, SensorCommand(kTestService));
    ASSERT_TRUE(service.Start());
    OpenedService opened(kTestService, SERVICE_QUERY_STATUS);
    EXPECT_TRUE(ikx::scWaitServiceState(SERVICE_RUNNING, opened.service, 1, 1000));
    EXPECT_FALSE(ikx::scWaitServiceState(SERVICE_PAUSED, opened.service, 2, 1000));
}

TEST_F(ServicesTest, ChangeStartTypeChangesOnlyStartType) {
    const std::wstring image = SensorCommand(kTestService);
    ScopedService service(kTestService, image);
    ASSERT_EQ(ikx::scChangeServiceStartType(kTestService, SERVICE_DISABLED), ikx::kScSuccess);
    ServiceConfig config;
    ASSERT_TRUE(ReadConfig(kTestService, config));
    EXPECT_EQ(config.startType, static_cast<DWORD>(SERVICE_DISABLED));
    EXPECT_EQ(config.binaryPath, image);
    EXPECT_EQ(config.errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));

    ASSERT_EQ(ikx::scChangeServiceStartType(kTestService, SERVICE_AUTO_START), ikx::kScSuccess);
    ASSERT_TRUE(ReadConfig(kTestService, config));
    EXPECT_EQ(config.startType, static_cast<DWORD>(SERVICE_AUTO_START));
}

TEST_F(ServicesTest, ChangeStartTypeOfMissingServiceFails) {
    RemoveServiceIfPresent(kTestService);
    EXPECT_EQ(ikx::scChangeServiceStartType(kTestService, SERVICE_DISABLED),
              ikx::kScOpenServiceFailed);
    EXPECT_EQ(ikx::scIsServiceInstalled(kTestService), 0);
}

TEST_F(ServicesTest, GenerationFollowsServicesAndClientVersion) {
    using ikx::KxServiceGeneration;
    RemoveServiceIfPresent(L"QVKXC");
    RemoveServiceIfPresent(L"KXClient");
    RegSetString(kKxcKeyPath, L"Version", L"3.2.1005");
    EXPECT_EQ(ikx::GetKxServiceGeneration(), KxServiceGeneration::kNone);
    {
        ScopedService old(L"KXClient", SensorCommand(L"KXClient"));
        EXPECT_EQ(ikx::GetKxServiceGeneration(), KxServiceGeneration::kOld);
        ScopedService current(L"QVKXC", SensorCommand(L"QVKXC"));
        EXPECT_EQ(ikx::GetKxServiceGeneration(), KxServiceGeneration::kCurrent)
            << "the current names win when both exist";
        RegSetString(kKxcKeyPath, L"Version", L"2.9.10");
        EXPECT_EQ(ikx::GetKxServiceGeneration(), KxServiceGeneration::kNone);
        RegDeleteValue(kKxcKeyPath, L"Version");
        EXPECT_EQ(ikx::GetKxServiceGeneration(), KxServiceGeneration::kNone);
    }
    RegSetString(kKxcKeyPath, L"Version", L"3.0.0");
    {
        ScopedService current(L"QVKXC", SensorCommand(L"QVKXC"));
        EXPECT_EQ(ikx::GetKxServiceGeneration(), KxServiceGeneration::kCurrent);
    }
    EXPECT_EQ(ikx::GetKxServiceGeneration(), KxServiceGeneration::kNone);
}

}  // namespace
