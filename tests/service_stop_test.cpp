// Stopping the sensor through the stop and MDR commands, against real
// services under Wine's service manager, and the status query meanwhile.
#include "control_world.h"

using namespace testsupport;

namespace {

const std::string kStopRequest = "20 3 0x4002 4 00000000";

TEST_F(ControlWorld, StopOutcomes) {
    const Lines asked = {kStopRequest}, none;
    const struct {
        const char* name;
        SensorSetup setup;
        int resultCode;
        std::string record;
        DWORD client, engine;  // states afterwards
        Lines received;        // by the client over IPC
        size_t engineStops;    // stop requests that reached the engine; Wine's
                               // service manager forwards one per run and
                               // refuses the loop's later ones itself
    } cases[] = {
        {"accepted", SensorSetup(), 0, "Stop KXClient OK.", kStopped, kStopped, asked, 1},
        {"refused", SensorSetup().Client(L"--reply 0x4002=5"), 1, "iKX reply error: 5.", kRunning,
         kRunning, asked, 0},
        {"unreachable", SensorSetup().Client(L"--no-ipc"), 1, "Notify iKX failed", kRunning,
         kRunning, none, 0},
        {"engine ignores stop", SensorSetup().Engine(L"--ignore-stop"), 1, "Stop KXClient OK.",
         kStopped, kRunning, asked, 1},
        {"engine gone", SensorSetup(kRunning, kGone), 0, "Stop KXE OK.", kStopped, kGone, asked, 0},
        {"already stopped", SensorSetup(kStopped, kRunning), 0, "iKX service is already stop.",
         kStopped, kRunning, none, 0},
        {"already stopping", SensorSetup(kStopping).Client(L"--stop-pending 600000"), 0,
         "iKX service is already stop.", kStopping, kRunning, none, 0},
        {"not installed", SensorSetup().Version2(), 0, "[iKX] KXC has not been installed.",
         kRunning, kRunning, none, 0},
        {"older names", SensorSetup().Old(), 0, "Stop KXE OK.", kStopped, kStopped, asked, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Lay(c.setup);
        EXPECT_EQ(Run(ikx::OnCommandStopService)["result_code"], c.resultCode);
        EXPECT_TRUE(log.Contains(c.record));
        EXPECT_EQ(ServiceStateOf(c.setup.oldNames ? L"KXClient" : L"QVKXC"), c.client);
        EXPECT_EQ(ServiceStateOf(c.setup.oldNames ? L"KXE" : L"QVKXE"), c.engine);
        EXPECT_EQ(FileLines(ipcJournal), c.received);
        EXPECT_EQ(FileLines(stopRequests).size(), c.engineStops);
        // A plain stop leaves the drivers as they were.
        EXPECT_EQ(DriverStartTypes(), c.setup.client == kRunning ? kSystemStart : kDemandStart);
        EXPECT_EQ(ikx::ServiceStopPending.load(), 0);
        Clear();
    }
}

TEST_F(ControlWorld, MdrOffStopsServicesAndDrivers) {
    const Lines offRequests = {"20 1 0x6001 0 -", kStopRequest};
    // The value of "enable" ("" for none): the first three switch the sensor
    // off (result_code 0), the rest are no switch position (result_code 2).
    const std::string values[] = {"", "0", "false", "2", "\"0\"", "0.5", "[0]", "4294967296"};
    bool laid = false;  // a value that switches nothing leaves the sensor as it was laid
    for (const std::string& value : values) {
        SCOPED_TRACE(value);
        if (!laid) Lay(SensorSetup());
        const bool off = &value < values + 3;
        const std::string data = value.empty() ? "{}" : "{\"enable\":" + value + "}";
        EXPECT_EQ(Run(ikx::OnCommandMDRSettings, data)["result_code"], off ? 0 : 2);
        EXPECT_EQ(ServiceStateOf(L"QVKXC"), off ? kStopped : kRunning);
        EXPECT_EQ(ServiceStateOf(L"QVKXE"), off ? kStopped : kRunning);
        EXPECT_EQ(DriverStartTypes(), off ? kDemandStart : kSystemStart);
        EXPECT_EQ(FileLines(ipcJournal), off ? offRequests : Lines());
        // The channel is bound even for a value it does not act on.
        EXPECT_TRUE(log.Contains("Success to init NPIC for CLI!"));
        EXPECT_EQ(log.Contains("Unknown command id"), !off);
        laid = !off;
        if (laid) {
            log.Clear();
        } else {
            Clear();
        }
    }
    if (!laid) Lay(SensorSetup());
    agent.Place(L"PlmPIPC.initfail.dll", L"PlmPIPC.dll");
    EXPECT_EQ(Run(ikx::OnCommandMDRSettings, R"({"enable":0})")["result_code"], 1);
    EXPECT_EQ(Run(ikx::OnCommandStopService)["result_code"], 1);
    EXPECT_EQ(log.Count("Init NIPC failed"), 2);
    EXPECT_EQ(ServiceStateOf(L"QVKXC"), kRunning);
    agent.Place(L"PlmPIPC.dll", L"PlmPIPC.dll");
}

}  // namespace
