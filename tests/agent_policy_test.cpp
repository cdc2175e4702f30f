// The agent policy: its data decoding in-process, and whole policies through
// the handler with the sensor services, the sibling iBorda and a loopback
// management server around it.
#include "command/agent_policy.h"
#include "control_world.h"

using namespace testsupport;

namespace {

TEST(PolicyData, DecodesIdAndMdrMode) {
    const struct {
        const wchar_t* data;  // null: none at all
        bool decoded;
        int64_t id;
        int mdrMode;
    } cases[] = {{L"ba1", true, 64, 1},
                 {L"ba2", true, 64, 2},
                 {L"1", true, 0, 1},
                 {L"Z_-9A", true, 13631421, 1},
                 {L"__________B", true, 1152921504606846975, 2},
                 {L"baaaaaaaaaaa1", true, 0, 1} /* 64^11 wraps to 0 */,
                 {L"a$1", true, -1, 1},
                 {L"a b2", true, -1, 2},
                 {L"\u00e9a1", true, -1, 1},
                 {L"ba\u0101", true, 64, 1},
                 {L"", false, -1, 2},
                 {nullptr, false, -1, 2}};
    for (const auto& c : cases) {
        int64_t id = 7;
        int mdrMode = 7;
        EXPECT_EQ(ikx::DecodePolicyData(c.data, id, mdrMode), c.decoded);
        EXPECT_EQ(std::make_pair(id, mdrMode), std::make_pair(c.id, c.mdrMode))
            << Narrow(c.data ? c.data : L"(null)");
    }
}

// The command_data of a policy.
std::string Policy(int cfgFlag, const std::string& cfgData) {
    return R"({"cfg_flag":)" + std::to_string(cfgFlag) + R"(,"cfg_data":")" + cfgData + "\"}";
}

// The one acknowledgement body expected at the server.
Lines Ack(const char* id, int enable, int iKxErr, int iBordaErr) {
    return {std::string("policyId=") + id + "&enable=" + std::to_string(enable) +
            "&sessionId=0&iKxErr=" + std::to_string(iKxErr) +
            "&iBordaErr=" + std::to_string(iBordaErr)};
}

TEST_F(ControlWorld, PoliciesEndToEnd) {
    const SensorSetup up, down(kStopped, kStopped), old = SensorSetup(down).Version2();
    const Lines none, on = {"1/1"}, off = {"2/2"}, onBack = {"1/1", "2/1"},
                      offBack = {"2/2", "1/2"};
    const Lines task = {"20 3 0x4001 8 4000000000000000"},
                badTask = {"20 3 0x4001 8 ffffffffffffffff"},
                enabled = {"20 3 0x4004 8 4000000000000000"}, tries(30, enabled[0]),
                stop = {"20 1 0x6001 0 -", "20 3 0x4002 4 00000000"};
    const Json::Value no;  // no result_code written
    const struct {
        const char* name;
        std::string data;  // command_data
        SensorSetup setup;
        const wchar_t* bordaResults;  // the sibling's answers to successive OnCommand calls
        Json::Value resultCode;
        Lines borda;         // "cfg_flag/cfg_setting" of each request the sibling got
        std::string values;  // PolicySetting and PolicyId in the registry
        Lines acked;         // bodies the server got
        Lines received;      // by the sensor client
    } cases[] = {
        {"new task alone", Policy(4, "ba1"), up, L"", 0, none, "- -", none, task},
        {"new task refused", Policy(4, "ba1"), SensorSetup().Client(L"--reply 0x4001=7"), L"", no,
         none, "- -", none, task},
        {"enable, MDR off, iBorda fails", Policy(1, "ba2"), up, L"5", 0, off, "2 64", none,
         enabled},
        {"enable, MDR on, iBorda fails", Policy(1, "ba1"), up, L"9", no, on, "1 64",
         Ack("64", 1, -2607, 9), none},
        {"enable, start fails, taken back", Policy(1, "ba1"), old, L"0,6", 1, onBack, "1 64",
         Ack("64", 1, -2603, 0), none},
        {"enable never acknowledged", Policy(1, "ba1"), SensorSetup().Client(L"--reply 0x4004=3"),
         L"", 1, on, "1 64", Ack("64", 1, -2608, 0), tries},
        {"disable", Policy(2, "ba1"), up, L"", 0, off, "0 64", Ack("64", 0, 0, 0), stop},
        {"disable refused, taken back", Policy(2, "ba1"), SensorSetup().Client(L"--reply 0x4002=5"),
         L"", 1, offBack, "0 64", Ack("64", 0, -2604, 0), stop},
        {"id 0 not recorded", Policy(2, "a2"), down, L"", 0, off, "0 -", Ack("0", 0, 0, 0), none},
        {"huge data", Policy(2, std::string(100000, 'a') + "2"), down, L"", 0, off, "0 -",
         Ack("0", 0, 0, 0), none},
        {"invalid id dropped", Policy(1, "a$1"), up, L"", 0, none, "- -", none, none},
        {"invalid id, new task", Policy(5, "a$1"), up, L"", 0, none, "- -", none, badTask},
        {"no data", R"({"cfg_flag":2})", up, L"", 0, none, "- -", none, none},
        {"no flag", R"({"cfg_data":"ba1"})", up, L"", 0, none, "- -", none, none},
        {"flag as text", R"({"cfg_flag":"1","cfg_data":"ba1"})", up, L"", 2, none, "- -", none,
         none},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Lay(c.setup);
        ::SetEnvironmentVariableW(L"IKX_IBORDA_COMMAND_RESULTS", c.bordaResults);
        EXPECT_EQ(Run(ikx::OnCommandAgentPolicy, c.data)["result_code"], c.resultCode);
        EXPECT_EQ(returned, c.resultCode == 0);
        EXPECT_EQ(BordaSettings(), c.borda);
        EXPECT_EQ(PolicyValues(), c.values);
        EXPECT_EQ(Acknowledged(), c.acked);
        EXPECT_EQ(FileLines(ipcJournal), c.received);
        Clear();
    }
}

TEST_F(ControlWorld, PolicyMessagesLeaveAsTheyShould) {
    Lay(SensorSetup());
    // A missing sibling leaves the sensor alone; the acknowledgement says so.
    WithoutSibling();
    Run(ikx::OnCommandAgentPolicy, Policy(1, "ba1"));
    EXPECT_TRUE(log.Contains("Load iBorda ext dll failed."));
    EXPECT_EQ(FileLines(ipcJournal), Lines());
    ASSERT_EQ(server.Requests().size(), 1u);
    const testbed::HttpRequest ack = server.Requests()[0];
    EXPECT_EQ(ack.method + " " + ack.path, "POST /palomir_ikxagent/v4/PolicyAck");
    EXPECT_EQ(ack.Header("content-type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(ack.Header("content-length"), std::to_string(ack.body.size()));
    EXPECT_EQ(Lines({ack.body}), Ack("64", 1, -2606, 0));
    // The sibling gets the whole request in compact text, its newline counted.
    RegSetString(kAgentKey, L"Application Path", agent.Folder());
    Run(ikx::OnCommandAgentPolicy, R"({"cfg_flag":1,"cfg_data":"ba2","command_type":"X"})");
    const std::string forwarded =
        R"({"command_data":{"cfg_data":"ba2","cfg_flag":2,"cfg_setting":2,)"
        R"("command_type":"VORN_IAGENT_ISSUE_POLICY_FROM_IKX"},"command_id":"ID",)"
        R"("product_id":"VORN_IPRODUCT_IBORDA"})";
    EXPECT_EQ(FileLines(bordaJournal),
              Lines({"Init", "OnCommand 170 " + forwarded + "\\n", "Deinit"}));
    // Failed acknowledgements: a server error, no server, no HTTP library.
    server.SetStatus(500);
    Run(ikx::OnCommandAgentPolicy, Policy(2, "ba1"));
    EXPECT_TRUE(log.Contains("qvSendHttpToPelmoServer failed (response code: 500)!"));
    ::SetEnvironmentVariableW(L"IKX_PELMO_SERVER", L"127.0.0.1:1");
    Run(ikx::OnCommandAgentPolicy, Policy(2, "ba1"));
    EXPECT_TRUE(log.Contains("qvSendHttpToPelmoServer failed (response code: 0)!"));
    agent.Remove(L"QvSock.dll");
    Run(ikx::OnCommandAgentPolicy, Policy(2, "ba1"));
    EXPECT_TRUE(log.Contains("Init Qvsock DLL object failed!"));
    // A signed library of that name without the send function, and no host
    // agent folder at all: each binding failure says why, in the binding.
    const std::string common = " vornExt_iKX_Common.cpp";
    agent.Place(L"PlmPIPC.dll", L"QvSock.dll");
    log.Clear();
    Run(ikx::OnCommandAgentPolicy, Policy(2, "ba1"));
    EXPECT_EQ(log.Sites("GetProcAddress failed (error: 127)."),
              Lines({"warn InitQvsockObj" + common}));
    EXPECT_EQ(log.Count("Init Qvsock DLL object failed!"), 1);
    RegDeleteValue(kAgentKey, L"Application Path");
    log.Clear();
    Run(ikx::OnCommandAgentPolicy, Policy(2, "ba1"));
    EXPECT_EQ(log.Sites("Cannot get Pelmo folder."),
              Lines({"warn InitNIPC" + common, "warn InitQvsockObj" + common}));
    EXPECT_EQ(log.Count("Init Qvsock DLL object failed!"), 1);
    RegSetString(kAgentKey, L"Application Path", agent.Folder());
    // No IPC channel: acknowledged as such, nothing else done.
    ::SetEnvironmentVariableW(L"IKX_PELMO_SERVER", Widen(server.Address()).c_str());
    agent.Place(L"QvSock.dll", L"QvSock.dll");
    agent.Place(L"PlmPIPC.initfail.dll", L"PlmPIPC.dll");
    server.Clear();
    EXPECT_EQ(Run(ikx::OnCommandAgentPolicy, Policy(1, "ba1"))["result_code"], 1);
    EXPECT_EQ(Acknowledged(), Ack("64", 1, -2601, 0));
    agent.Place(L"PlmPIPC.dll", L"PlmPIPC.dll");
}

}  // namespace
