// Starting the sensor through the start and MDR commands, against real
// services under Wine's service manager.
#include "control_world.h"

using namespace testsupport;

namespace {

// A started service needs real time to report RUNNING under Wine, more than
// the usual scaling leaves of the start's 3-second polls.
const bool kClockSet = [] { return _putenv("IKX_TIME_DIVISOR=10") == 0; }();

TEST_F(ControlWorld, StartCommandAndMdrOn) {
    const auto start = ikx::OnCommandStartService, mdr = ikx::OnCommandMDRSettings;
    const std::string on = R"({"enable":1})", started = "Start iKX service success.",
                      absent = "[iKX] KXC has not been installed.";
    const SensorSetup off(kStopped, kStopped);
    const Lines told = {"20 3 0x4001 0 -"}, none, noDrivers(3, "4294967295");
    const std::wstring counter = scratch + L"starts.txt";
    const struct {
        const char* name;
        ikx::RequestHandler handler;
        std::string data;  // command_data
        SensorSetup setup;
        int resultCode;
        std::string record;  // logged, or the start of a logged text
        DWORD client;        // state afterwards
        Lines drivers, received;
    } cases[] = {
        // A stopped client is disabled: it starts only once set to demand start.
        {"stopped", start, "{}", off, 0, started, kRunning, kSystemStart, none},
        {"starting", start, "{}", SensorSetup(kStarting).Client(L"--start-pending 600000"), 0,
         "iKX service is already running.", kStarting, kDemandStart, none},
        {"running", start, "{}", SensorSetup(), 0, "iKX service is already running.", kRunning,
         kSystemStart, none},
        {"no drivers", start, "{}", SensorSetup(off).NoDrivers(), 0, started, kRunning, noDrivers,
         none},
        {"old names only", start, "{}", SensorSetup(off).Old(), 1, absent, kGone, kDemandStart,
         none},
        {"version 2", start, "{}", SensorSetup(off).Version2(), 1, absent, kStopped, kDemandStart,
         none},
        {"start refused", start, "{}",
         SensorSetup(kStopped).Client(L"--fail-starts 9 --counter " + counter), 1,
         "Start iKX service failed, error: -13 (", kStopped, kSystemStart, none},
        {"mdr on", mdr, on, off, 0, started, kRunning, kSystemStart, told},
        {"mdr on (true)", mdr, R"({"enable":true})", off, 0, started, kRunning, kSystemStart, told},
        {"mdr on, sensor deaf", mdr, on, SensorSetup(off).Client(L"--no-ipc"), 0,
         "Notify KXC enable policy failed", kRunning, kSystemStart, none},
        {"mdr on, version 2", mdr, on, SensorSetup(off).Version2(), 1, absent, kStopped,
         kDemandStart, none},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Lay(c.setup);
        EXPECT_EQ(Run(c.handler, c.data)["result_code"], c.resultCode);
        EXPECT_EQ(returned, c.resultCode == 0);
        EXPECT_TRUE(log.CountStarting(c.record));
        EXPECT_EQ(ServiceStateOf(L"QVKXC"), c.client);
        EXPECT_EQ(DriverStartTypes(), c.drivers);
        EXPECT_EQ(FileLines(ipcJournal), c.received);
        EXPECT_EQ(log.CountStarting("Change qvkxutil service to start failed."), 0);
        Clear();
    }
}

}  // namespace
