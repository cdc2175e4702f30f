// Starting the sensor through the start and MDR commands, against real
// services under Wine's service manager.
#include "control_world.h"

using namespace testsupport;

namespace {

// A started service needs real time to report RUNNING under Wine, more than
// the usual scaling leaves of the start's 3-second polls.
const bool kClockSet = [] { return _putenv("IKX_TIME_DIVISOR=10") == 0; }();

TEST_F(ControlWorld, StartFromEachState) {
    const std::wstring counter = scratch + L"starts.txt";
    const Lines noDrivers(3, "4294967295");
    const struct {
        const char* name;
        SensorSetup setup;
        int resultCode;
        std::string record;  // logged, or the start of a logged text
        DWORD client;        // state afterwards
        Lines drivers;
    } cases[] = {
        // A stopped client is disabled: it starts only once set to demand start.
        {"stopped", SensorSetup(kStopped, kStopped), 0, "Start iKX service success.", kRunning,
         kSystemStart},
        {"starting", SensorSetup(kStarting).Client(L"--start-pending 600000"), 0,
         "iKX service is already running.", kStarting, kDemandStart},
        {"running", SensorSetup(), 0, "iKX service is already running.", kRunning, kSystemStart},
        {"no drivers", SensorSetup(kStopped, kStopped).NoDrivers(), 0, "Start iKX service success.",
         kRunning, noDrivers},
        {"old names only", SensorSetup(kStopped, kStopped).Old(), 1,
         "[iKX] KXC has not been installed.", kGone, kDemandStart},
        {"version 2", SensorSetup(kStopped, kStopped).Version2(), 1,
         "[iKX] KXC has not been installed.", kStopped, kDemandStart},
        {"start refused", SensorSetup(kStopped).Client(L"--fail-starts 9 --counter " + counter), 1,
         "Start iKX service failed, error: -13 (", kStopped, kSystemStart},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Lay(c.setup);
        EXPECT_EQ(Run(ikx::OnCommandStartService)["result_code"], c.resultCode);
        EXPECT_EQ(returned, c.resultCode == 0);
        EXPECT_TRUE(LoggedStart(c.record));
        EXPECT_EQ(ServiceStateOf(L"QVKXC"), c.client);
        EXPECT_EQ(DriverStartTypes(), c.drivers);
        EXPECT_EQ(log.Count("Change qvkxutil service to start failed. Error: %d [%d]"), 0);
        Clear();
    }
}

TEST_F(ControlWorld, MdrOnStartsTheSensorAndTellsIt) {
    const struct {
        std::string data;  // command_data
        SensorSetup setup;
        int resultCode;
        DWORD client;
        Lines received;  // by the client over IPC
        std::string record;
    } cases[] = {
        {R"({"enable":1})",
         SensorSetup(kStopped, kStopped),
         0,
         kRunning,
         {"20 3 0x4001 0 -"},
         "Start iKX service success."},
        {R"({"enable":true})",
         SensorSetup(kStopped, kStopped),
         0,
         kRunning,
         {"20 3 0x4001 0 -"},
         "Start iKX service success."},
        {R"({"enable":1})",
         SensorSetup(kStopped, kStopped).Client(L"--no-ipc"),
         0,
         kRunning,
         {},
         "Notify KXC enable policy failed"},
        {R"({"enable":1})",
         SensorSetup(kStopped, kStopped).Version2(),
         1,
         kStopped,
         {},
         "[iKX] KXC has not been installed."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.data);
        Lay(c.setup);
        EXPECT_EQ(Run(ikx::OnCommandMDRSettings, c.data)["result_code"], c.resultCode);
        EXPECT_EQ(ServiceStateOf(L"QVKXC"), c.client);
        EXPECT_EQ(DriverStartTypes(), c.client == kRunning ? kSystemStart : kDemandStart);
        EXPECT_EQ(FileLines(ipcJournal), c.received);
        EXPECT_TRUE(log.Contains(c.record));
        Clear();
    }
}

}  // namespace
