// The service primitives against Wine's real service control manager, with
// KxSensorService.exe as the service process.
#include <atomic>
#include <thread>

#include "sensor/sensor_registry.h"
#include "sensor/installed.h"
#include "sensor/sensor_services.h"
#include "win32/services.h"
#include "in_process.h"

using namespace testsupport;
using std::chrono::seconds;

namespace {

constexpr wchar_t kTestService[] = L"IkxTestSvc";
constexpr DWORD kRunning = SERVICE_RUNNING, kStopped = SERVICE_STOPPED;

// The product's waits at a tenth: a started service has 3 x 300 ms to report
// RUNNING under Wine (the usual scaling leaves it 9 ms), while the start
// retries (5 x 3 s) and stop polls that nothing here needs whole take a tenth.
const bool kClockSet = [] { return _putenv("IKX_TIME_DIVISOR=10") == 0; }();

TEST_F(ServicesTest, CreateQueryChangeAndDeleteAgainstTheScm) {
    RemoveServiceIfPresent(kTestService);
    DWORD state = 7;
    EXPECT_EQ(ikx::scIsServiceInstalled(kTestService), 0);
    EXPECT_EQ(ikx::scQueryServiceStatus(kTestService, state), -3);
    EXPECT_EQ(state, 7u) << "a failed query must not touch the state";
    EXPECT_EQ(ikx::scChangeServiceStartType(kTestService, SERVICE_DISABLED), -3);

    const std::wstring image = SensorCommand(kTestService);
    ASSERT_EQ(ikx::scCreateService(image.c_str(), kTestService, L""), 0);
    ServiceConfig config = ReadServiceConfig(kTestService);
    EXPECT_EQ(config.serviceType & ~SERVICE_INTERACTIVE_PROCESS, DWORD(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config.startType, DWORD(SERVICE_DEMAND_START));
    EXPECT_EQ(config.errorControl, DWORD(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(config.binaryPath, image);
    EXPECT_EQ(config.displayName, kTestService) << "an empty display name means the name";
    EXPECT_EQ(config.startName, L"LocalSystem");
    EXPECT_EQ(ikx::scIsServiceInstalled(kTestService), 1);
    EXPECT_EQ(ikx::scQueryServiceStatus(kTestService, state), 0);
    EXPECT_EQ(state, kStopped);
    EXPECT_EQ(ikx::scCreateService(image.c_str(), kTestService, nullptr), -3);

    ASSERT_EQ(ikx::scChangeServiceStartType(kTestService, SERVICE_DISABLED), 0);
    config = ReadServiceConfig(kTestService);
    EXPECT_EQ(config.startType, DWORD(SERVICE_DISABLED));
    EXPECT_EQ(config.binaryPath, image);

    EXPECT_EQ(ikx::scDeleteService(kTestService), 0);
    EXPECT_TRUE(
        WaitUntil([] { return ikx::scIsServiceInstalled(kTestService) == 0; }, seconds(10)));
    EXPECT_EQ(ikx::scDeleteService(kTestService), -3);

    ASSERT_EQ(ikx::scCreateService(image.c_str(), kTestService, L"iKX test"), 0);
    EXPECT_EQ(ReadServiceConfig(kTestService).displayName, L"iKX test");
    EXPECT_EQ(ikx::scDeleteService(kTestService), 0);
}

TEST_F(ServicesTest, StateQueriesLogMissingServicesAndSeeARunningClient) {
    const struct {
        const wchar_t* service;
        void (*query)(DWORD&);
        const char* label;
    } rows[] = {{L"QVKXC", ikx::QueryIKxclientServiceStatus, "iKX"},
                {L"KXClient", ikx::QueryOldKxclientServiceStatus, "old iKX"},
                {L"QVKXE", ikx::QueryKxeServiceStatus, "KXE"},
                {L"KXE", ikx::QueryOldKxeServiceStatus, "old KXE"}};
    for (const auto& row : rows) {
        RemoveServiceIfPresent(row.service);
        DWORD state = SERVICE_RUNNING;
        row.query(state);
        EXPECT_EQ(state, 0u) << Narrow(row.service);
        const std::string message = "Query " + std::string(row.label) + " service status failed";
        EXPECT_TRUE(log.WaitFor(message + ", error: -3", seconds(5))) << message;
    }
    ScopedService service(L"QVKXC", SensorCommand(L"QVKXC"));
    ASSERT_TRUE(service.Start());
    DWORD state = 0;
    ikx::QueryIKxclientServiceStatus(state);
    EXPECT_EQ(state, kRunning);
}

// A stopped service reaches no other state on its own: the wait gives up at
// once, also without a poll limit. A wait that went on is ended by starting it.
TEST_F(ServicesTest, WaitForAStateGivesUpOnAStoppedService) {
    ScopedService service(kTestService, SensorCommand(kTestService, L" --no-ipc"));
    OpenedService opened(kTestService, SERVICE_ALL_ACCESS);
    std::atomic<int> waited{-1};
    std::thread wait(
        [&] { waited = ikx::scWaitServiceState(kRunning, opened.service, 0xFFFFFFFF, 3000); });
    if (!WaitUntil([&] { return waited >= 0; }, seconds(20))) service.Start();
    wait.join();
    EXPECT_EQ(waited.load(), 0);
}

TEST_F(ServicesTest, StartKxcServiceStartsTheClientOrReportsWhyNot) {
    RemoveServiceIfPresent(L"QVKXC");
    EXPECT_EQ(ikx::scStartKxcService(), -3);
    {
        ScopedService broken(L"QVKXC", L"\"" + BinDir() + L"NoSuchSensor.exe\" --name QVKXC");
        EXPECT_EQ(ikx::scStartKxcService(), -13);
        EXPECT_EQ(broken.State(), kStopped);
    }
    // A start that fails is tried five times, 3 s apart; the stand-in counts
    // its starts, the first n of which end before it connects.
    for (const int failing : {4, 5}) {
        const std::wstring counter = TempDir(L"starts") + L"count.txt";
        ScopedService flaky(L"QVKXC", SensorCommand(L"QVKXC", L" --no-ipc --fail-starts " +
                                                                  std::to_wstring(failing) +
                                                                  L" --counter " + counter));
        EXPECT_EQ(ikx::scStartKxcService(), failing < 5 ? 0 : -13) << failing;
        // The last start's process may still be writing its count.
        EXPECT_TRUE(WaitUntil([&] { return ReadBytes(counter) == "5"; }, seconds(10)))
            << failing << ": " << ReadBytes(counter);
    }
    ScopedService service(L"QVKXC", SensorCommand(L"QVKXC"));
    EXPECT_EQ(ikx::scStartKxcService(), 0);
    EXPECT_EQ(service.State(), kRunning);
    EXPECT_EQ(ikx::scStartKxcService(), 0) << "already running counts as started";
}

TEST_F(ServicesTest, StopServiceStopsWaitsOrReportsTheFailure) {
    RemoveServiceIfPresent(kTestService);
    EXPECT_EQ(ikx::scStopService(kTestService, 1, 1000), int32_t(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_EQ(ikx::scStopService(nullptr, 1, 1000), -8);
    EXPECT_EQ(ikx::scStopService(L"", 1, 1000), -8);
    {
        ScopedService service(kTestService, SensorCommand(kTestService));
        EXPECT_EQ(ikx::scStopService(kTestService, 1, 10000), 0);  // stopped
        ASSERT_TRUE(service.Start());
        EXPECT_EQ(ikx::scStopService(kTestService, 30, 10000), 0);
        EXPECT_EQ(service.State(), kStopped);
    }
    ScopedService service(kTestService, SensorCommand(kTestService, L" --ignore-stop --no-ipc"));
    ASSERT_TRUE(service.Start());
    EXPECT_EQ(ikx::scStopService(kTestService, 3, 3000), -8);
    EXPECT_EQ(service.State(), kRunning);
    // The stand-in ends on this event only.
    HANDLE force =
        ::OpenEventW(EVENT_MODIFY_STATE, FALSE,
                     (L"Global\\KxSensorServiceForceStop_" + std::wstring(kTestService)).c_str());
    ASSERT_TRUE(force && ::SetEvent(force));
    ::CloseHandle(force);
    EXPECT_TRUE(service.WaitState(SERVICE_STOPPED, seconds(20)));
}

TEST_F(ServicesTest, GenerationFollowsServicesAndClientVersion) {
    using ikx::KxServiceGeneration;
    RemoveServiceIfPresent(L"QVKXC");
    RemoveServiceIfPresent(L"KXClient");
    RegSetString(kKxcKey, L"Version", L"3.2.1005");
    EXPECT_EQ(ikx::GetKxServiceGeneration(), KxServiceGeneration::kNone);
    {
        ScopedService old(L"KXClient", SensorCommand(L"KXClient"));
        EXPECT_EQ(ikx::GetKxServiceGeneration(), KxServiceGeneration::kOld);
        ScopedService current(L"QVKXC", SensorCommand(L"QVKXC"));
        EXPECT_EQ(ikx::GetKxServiceGeneration(), KxServiceGeneration::kCurrent)
            << "the current names win when both exist";
        RegSetString(kKxcKey, L"Version", L"2.9.10");
        EXPECT_EQ(ikx::GetKxServiceGeneration(), KxServiceGeneration::kNone);
        RegDeleteValue(kKxcKey, L"Version");
        EXPECT_EQ(ikx::GetKxServiceGeneration(), KxServiceGeneration::kNone);
    }
    RegSetString(kKxcKey, L"Version", L"3.0.0");
    {
        ScopedService current(L"QVKXC", SensorCommand(L"QVKXC"));
        EXPECT_EQ(ikx::GetKxServiceGeneration(), KxServiceGeneration::kCurrent);
    }
    EXPECT_EQ(ikx::GetKxServiceGeneration(), KxServiceGeneration::kNone);
}

}  // namespace
