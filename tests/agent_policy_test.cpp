// The agent policy: its data decoding in-process, and whole policies through
// the handler with the sensor services, the sibling iBorda and a loopback
// management server around it.
#include "command/agent_policy.h"
#include "control_world.h"

using namespace testsupport;

namespace {

TEST(PolicyData, DecodesIdAndMdrMode) {
    const struct {
        std::wstring data;
        int64_t id;
        int mdrMode;
    } cases[] = {
        {L"ba1", 64, 1},
        {L"ba2", 64, 2},
        {L"1", 0, 1},
        {L"Z_-9A", 13631421, 1},
        {std::wstring(10, L'_') + L"B", 1152921504606846975, 2},
        {L"b" + std::wstring(11, L'a') + L"1", 0, 1},  // 64^11 wraps to 0
        {L"a$1", -1, 1},
        {L"a b2", -1, 2},
        {L"\u00e9a1", -1, 1},
        {L"ba\u0101", 64, 1},
    };
    for (const auto& c : cases) {
        int64_t id = 7;
        int mdrMode = 7;
        EXPECT_TRUE(ikx::DecodePolicyData(c.data.c_str(), id, mdrMode));
        EXPECT_EQ(id, c.id) << testsupport::Narrow(c.data);
        EXPECT_EQ(mdrMode, c.mdrMode) << testsupport::Narrow(c.data);
    }
    for (const wchar_t* empty : {static_cast<const wchar_t*>(nullptr), L""}) {
        int64_t id = 7;
        int mdrMode = 7;
        EXPECT_FALSE(ikx::DecodePolicyData(empty, id, mdrMode));
        EXPECT_EQ(id, -1);
        EXPECT_EQ(mdrMode, 2);
    }
}

std::string Ack(const char* id, int enable, int iKxErr, int iBordaErr) {
    return std::string("policyId=") + id + "&enable=" + std::to_string(enable) +
           "&sessionId=0&iKxErr=" + std::to_string(iKxErr) +
           "&iBordaErr=" + std::to_string(iBordaErr);
}

TEST_F(ControlWorld, PoliciesEndToEnd) {
    const std::string enable64 = "20 3 0x4004 8 4000000000000000";
    const Lines none, stop = {"20 1 0x6001 0 -", "20 3 0x4002 4 00000000"};
    const Json::Value noResult;
    const struct {
        const char* name;
        std::string data;  // command_data
        SensorSetup setup;
        const wchar_t* bordaResults;  // of the sibling's successive OnCommand calls
        Json::Value resultCode;
        Lines borda;         // "cfg_flag/cfg_setting" the sibling got
        std::string values;  // PolicySetting and PolicyId
        Lines acknowledged;  // bodies the server got
        Lines received;      // by the sensor client
    } cases[] = {
        {"new task alone",
         R"({"cfg_flag":4,"cfg_data":"ba1"})",
         SensorSetup(),
         L"",
         0,
         none,
         "- -",
         none,
         {"20 3 0x4001 8 4000000000000000"}},
        {"new task refused",
         R"({"cfg_flag":4,"cfg_data":"ba1"})",
         SensorSetup().Client(L"--reply 0x4001=7"),
         L"",
         noResult,
         none,
         "- -",
         none,
         {"20 3 0x4001 8 4000000000000000"}},
        {"enable, MDR off, iBorda fails",
         R"({"cfg_flag":1,"cfg_data":"ba2"})",
         SensorSetup(),
         L"5",
         0,
         {"2/2"},
         "2 64",
         none,
         {enable64}},
        {"enable, MDR on, iBorda fails",
         R"({"cfg_flag":1,"cfg_data":"ba1"})",
         SensorSetup(),
         L"9",
         noResult,
         {"1/1"},
         "1 64",
         {Ack("64", 1, -2607, 9)},
         none},
        {"enable, start fails, taken back",
         R"({"cfg_flag":1,"cfg_data":"ba1"})",
         SensorSetup(kStopped, kStopped).Version2(),
         L"0,6",
         1,
         {"1/1", "2/1"},
         "1 64",
         {Ack("64", 1, -2603, 0)},
         none},
        {"enable never acknowledged",
         R"({"cfg_flag":1,"cfg_data":"ba1"})",
         SensorSetup().Client(L"--reply 0x4004=3"),
         L"",
         1,
         {"1/1"},
         "1 64",
         {Ack("64", 1, -2608, 0)},
         Lines(30, enable64)},
        {"disable",
         R"({"cfg_flag":2,"cfg_data":"ba1"})",
         SensorSetup(),
         L"",
         0,
         {"2/2"},
         "0 64",
         {Ack("64", 0, 0, 0)},
         stop},
        {"disable refused, taken back",
         R"({"cfg_flag":2,"cfg_data":"ba1"})",
         SensorSetup().Client(L"--reply 0x4002=5"),
         L"",
         1,
         {"2/2", "1/2"},
         "0 64",
         {Ack("64", 0, -2604, 0)},
         stop},
        {"id 0 not recorded",
         R"({"cfg_flag":2,"cfg_data":"a2"})",
         SensorSetup(kStopped, kStopped),
         L"",
         0,
         {"2/2"},
         "0 -",
         {Ack("0", 0, 0, 0)},
         none},
        {"invalid data dropped", R"({"cfg_flag":1,"cfg_data":"a$1"})", SensorSetup(), L"", 0, none,
         "- -", none, none},
        {"invalid data, new task",
         R"({"cfg_flag":5,"cfg_data":"a$1"})",
         SensorSetup(),
         L"",
         0,
         none,
         "- -",
         none,
         {"20 3 0x4001 8 ffffffffffffffff"}},
        {"no data", R"({"cfg_flag":2})", SensorSetup(), L"", 0, none, "- -", none, none},
        {"no flag", R"({"cfg_data":"ba1"})", SensorSetup(), L"", 0, none, "- -", none, none},
        {"flag as text", R"({"cfg_flag":"1","cfg_data":"ba1"})", SensorSetup(), L"", 2, none, "- -",
         none, none},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Lay(c.setup);
        ::SetEnvironmentVariableW(L"IKX_IBORDA_COMMAND_RESULTS", c.bordaResults);
        EXPECT_EQ(Run(ikx::OnCommandAgentPolicy, c.data)["result_code"], c.resultCode);
        EXPECT_EQ(returned, c.resultCode == 0);
        EXPECT_EQ(BordaSettings(), c.borda);
        EXPECT_EQ(PolicyValues(), c.values);
        EXPECT_EQ(Acknowledged(), c.acknowledged);
        EXPECT_EQ(FileLines(ipcJournal), c.received);
        Clear();
    }
}

TEST_F(ControlWorld, PolicyMessagesLeaveAsTheyShould) {
    Lay(SensorSetup());
    // The sibling gets the whole request in compact text, its newline counted.
    const std::string forwarded =
        R"({"command_data":{"cfg_data":"ba2","cfg_flag":2,"cfg_setting":2,)"
        R"("command_type":"VORN_IAGENT_ISSUE_POLICY_FROM_IKX"},"command_id":"ID",)"
        R"("product_id":"VORN_IPRODUCT_IBORDA"})";
    Run(ikx::OnCommandAgentPolicy, R"({"cfg_flag":1,"cfg_data":"ba2","command_type":"X"})");
    EXPECT_EQ(FileLines(bordaJournal),
              Lines({"Init", "OnCommand 170 " + forwarded + "\\n", "Deinit"}));
    // A missing sibling leaves the sensor alone and is acknowledged as such.
    WithoutSibling();
    Run(ikx::OnCommandAgentPolicy, R"({"cfg_flag":1,"cfg_data":"ba1"})");
    EXPECT_TRUE(log.Contains("Load iBorda ext dll failed."));
    ASSERT_EQ(server.Requests().size(), 1u);
    const testbed::HttpRequest ack = server.Requests()[0];
    EXPECT_EQ(ack.method + " " + ack.path, "POST /palomir_ikxagent/v4/PolicyAck");
    EXPECT_EQ(ack.Header("content-type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(ack.Header("content-length"), std::to_string(ack.body.size()));
    EXPECT_EQ(testbed::ParseForm(ack.body),
              (std::map<std::string, std::string>{{"policyId", "64"},
                                                  {"enable", "1"},
                                                  {"sessionId", "0"},
                                                  {"iKxErr", "-2606"},
                                                  {"iBordaErr", "0"}}));
    // Failed acknowledgements: a server error, no server, no HTTP library.
    server.SetStatus(500);
    Run(ikx::OnCommandAgentPolicy, R"({"cfg_flag":2,"cfg_data":"ba1"})");
    EXPECT_TRUE(log.Contains("qvSendHttpToPelmoServer failed (response code: 500)!"));
    ::SetEnvironmentVariableW(L"IKX_PELMO_SERVER", L"127.0.0.1:1");
    Run(ikx::OnCommandAgentPolicy, R"({"cfg_flag":2,"cfg_data":"ba1"})");
    EXPECT_TRUE(log.Contains("qvSendHttpToPelmoServer failed (response code: 0)!"));
    agent.Remove(L"QvSock.dll");
    RegSetString(kAgentKey, L"Application Path", agent.Folder());
    Run(ikx::OnCommandAgentPolicy, R"({"cfg_flag":2,"cfg_data":"ba1"})");
    EXPECT_TRUE(log.Contains("Init Qvsock DLL object failed!"));
    // No IPC channel: reported as such, nothing else done.
    agent.Place(L"PlmPIPC.initfail.dll", L"PlmPIPC.dll");
    ::SetEnvironmentVariableW(L"IKX_PELMO_SERVER", Widen(server.Address()).c_str());
    agent.Place(L"QvSock.dll", L"QvSock.dll");
    server.Clear();
    EXPECT_EQ(Run(ikx::OnCommandAgentPolicy, R"({"cfg_flag":1,"cfg_data":"ba1"})")["result_code"],
              1);
    EXPECT_EQ(Acknowledged(), Lines({Ack("64", 1, -2601, 0)}));
    agent.Place(L"PlmPIPC.dll", L"PlmPIPC.dll");
}

}  // namespace
