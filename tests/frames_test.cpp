// The request frames of the three JSON exports: text taken up to the first
// NUL, the product check, dispatch by (id, type), the response buffer, the
// notification's installed check, and the gate that refuses unsigned hosts.
#include <cstring>

#include "sensor_world.h"

using namespace testsupport;

namespace {

const std::string kVersionQuery = IkxQuery("VORN_ONQUERY_PRODUCT_VERSION");
const char kVersionHit[] = "[vornExt_OnQueryData][it][Hit][VORN_ONQUERY_PRODUCT_VERSION]";

using Frames = QueryTest;

TEST_F(Frames, RequestsWithoutMatchingProductOrRowWriteNothing) {
    const std::string tail = R"(","query_id":"VORN_ONQUERY_PRODUCT_VERSION"})";
    const std::string unmatched[] = {
        R"({"product_id":"vorn_iproduct_ikx)" + tail,
        R"({"product_id":"VORN_IPRODUCT_IKX )" + tail,
        R"({"product_id":"VORN_IPRODUCT_IBORDA)" + tail,
        IkxQuery("VORN_ONQUERY_NOTHING"),
        IkxQuery("vorn_onquery_product_version"),
        IkxQuery("VORN_ONQUERY_PRODUCT_VERSION", "X"),  // the row's type is empty
        IkxQuery("VORN_ONQUERY_COMPONENT_INFO", "VORN_CLIENT_ALL_STATUS_LOG"),
        IkxQuery("VORN_ONQUERY_COMPONENT_INFO", "vorn_runtime_component_info"),
        IkxQuery("VORN_ONQUERY_COMPONENT_INFO"),
    };
    for (const std::string& text : unmatched) {
        const RawAnswer answer = Raw(text);
        EXPECT_TRUE(answer.result == 0 && answer.Untouched()) << text;
    }
    EXPECT_TRUE(Logged("[vornExt_OnQueryData][product_id][VORN_IPRODUCT_IKX ]"));
    EXPECT_TRUE(Logged("product_id is not iKX"));
    EXPECT_TRUE(Logged("[vornExt_OnQueryData][query_id][VORN_ONQUERY_NOTHING][query_type][]"));
    EXPECT_EQ(log.CountHaving("[it][Hit]") + log.CountHaving("Response Json Data:"), 0);
}

TEST_F(Frames, EmptyTypeRowsMatchAbsentNullOrEmptyType) {
    for (const char* extra : {"", R"(,"query_data":{})", R"(,"query_data":{"query_type":""})",
                              R"(,"query_data":{"query_type":null})", R"(,"query_data":null)"}) {
        const std::string text = kVersionQuery.substr(0, kVersionQuery.size() - 1) + extra + "}";
        EXPECT_EQ(Ask(text)["query_id"], "VORN_ONQUERY_PRODUCT_VERSION") << text;
    }
}

TEST_F(Frames, ResponseBufferHoldsStyledTextAndItsLength) {
    const RawAnswer answer = Raw(kVersionQuery);
    ASSERT_EQ(answer.result, 0);
    ASSERT_TRUE(answer.response != kUntouchedPointer && answer.response != nullptr);
    EXPECT_EQ(std::strlen(answer.response), answer.length);
    const std::string text(answer.response, answer.length);
    dll.Free(answer.response);
    // The styled writer: members in key order, one per line, tab-indented.
    EXPECT_EQ(text.rfind("{\n\t\"product_id\" : \"VORN_IPRODUCT_IKX\",\n\t\"query_id\" : ", 0), 0u)
        << text;
    EXPECT_TRUE(Logged("Response Json Data:" + text));
}

TEST_F(Frames, TextEndsAtFirstNulOrAtRequestLength) {
    // Whatever follows a NUL is not read, even when it would complete the text.
    EXPECT_FALSE(dll.Query(kVersionQuery + std::string(1, '\0') + "trailing bytes").empty());
    const std::string cut = kVersionQuery.substr(0, kVersionQuery.size() - 1) + R"(,"pad":")" +
                            std::string(1, '\0') + R"("})";
    EXPECT_TRUE(Raw(cut).Untouched());
    EXPECT_TRUE(Logged("[vornExt_OnQueryData][product_id][]"));
    EXPECT_TRUE(Raw(kVersionQuery.data(), kVersionQuery.size() - 1).Untouched());
    EXPECT_TRUE(Raw(kVersionQuery.data(), 0).Untouched());
    const RawAnswer none = Raw(nullptr, 0);
    EXPECT_TRUE(none.result == 0 && none.Untouched());
}

TEST_F(Frames, NullOutParameterRunsHandlerButAllocatesNothing) {
    const uint32_t size = static_cast<uint32_t>(kVersionQuery.size());
    uint32_t length = kUntouchedLength;
    char* response = kUntouchedPointer;
    EXPECT_EQ(dll.OnQueryData(0, size, kVersionQuery.c_str(), &length, nullptr), 0);
    EXPECT_EQ(dll.OnQueryData(0, size, kVersionQuery.c_str(), nullptr, &response), 0);
    EXPECT_EQ(length, kUntouchedLength);
    EXPECT_EQ(response, kUntouchedPointer);
    EXPECT_TRUE(Logged("Execute query data succeed"));
    EXPECT_EQ(log.CountHaving(kVersionHit), 2);
    EXPECT_EQ(log.CountHaving("Response Json Data:"), 0);
}

TEST_F(Frames, CommandsNeedNoProductAndReadIdsAsText) {
    const struct {
        std::string text, record;
    } cases[] = {
        {R"({"command_id":"VORN_ONCOMMAND_INSTALLATION","command_data":{"command_type":"VORN_IAGENT_INSTALL"}})",
         "command_id: VORN_ONCOMMAND_INSTALLATION, command_type: VORN_IAGENT_INSTALL"},
        // Numbers and booleans read as their text; arrays, objects and null as "".
        {R"({"command_id":12,"command_data":{"command_type":true}})",
         "command_id: 12, command_type: true"},
        {R"({"command_id":["A"],"command_data":{"command_type":{"x":1}}})",
         "command_id: , command_type: "},
        {"{not json", "command_id: , command_type: "},
        // A command is read over its whole length, past a NUL.
        {R"({"command_data":{"command_type":"X"},"pad":")" + std::string(1, '\0') +
             R"(","command_id":"Y"})",
         "command_id: Y, command_type: X"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Send(dll.OnCommand, c.text), 0);
        EXPECT_TRUE(Logged(c.record)) << c.text;
    }
    EXPECT_EQ(dll.OnCommand(0, 0, nullptr), 0);
    EXPECT_EQ(log.CountHaving("command_id: , command_type: "), 3);
}

// The frames' records carry the levels their messages belong to.
TEST_F(Frames, RecordsCarryTheirLevels) {
    Raw(kVersionQuery);
    Raw(IkxQuery("VORN_ONQUERY_NOTHING"));
    Raw(R"({"product_id":"X"})");
    Send(dll.OnCommand, R"({"command_id":"VORN_ONCOMMAND_MDR_SETTING"})");  // a refusing handler
    Send(dll.OnNotify, "{}");
    const std::pair<std::string, int> levels[] = {
        {kVersionHit, 6},
        {"Execute query data succeed", 8},
        {"Response Json Data:", 8},
        {"[vornExt_OnQueryData][query_id][VORN_ONQUERY_NOTHING][query_type][]", 8},
        {"product_id is not iKX", 8},
        {"[vornExt_OnQueryData][product_id][X]", 8},
        {"vornExt_OnCommand() >>>", 8},
        {"command_id: VORN_ONCOMMAND_MDR_SETTING, command_type: ", 8},
        {"Execute command failed", 4},
        {"vornExt_OnCommand() <<<", 8},
        {"[vornExt_OnNotify][Start][iTotalBytesInData][2]", 8},
        {"[vornExt_OnNotify][iKX haven't install]", 4},
    };
    for (const auto& [message, level] : levels)
        EXPECT_EQ(log.First(message).Level(), level) << message;
}

// Nesting past the JSON reader's limit is a parse failure: each export then
// logs what it logs for a request without keys, to its last record.
TEST_F(Frames, NestingPastTheReaderLimitReadsAsARequestWithoutKeys) {
    AddService(L"QVKXC");
    RegSetString(kKxcKey, L"Version", L"3.0.0");
    const std::string text =
        R"({"product_id":"VORN_IPRODUCT_IKX","query_id":"VORN_ONQUERY_PRODUCT_VERSION",)"
        R"("command_id":"VORN_ONCOMMAND_MDR_SETTING","notify_id":"X","x":)" +
        std::string(1001, '[') + std::string(1001, ']') + "}";
    const std::vector<std::string> expected[] = {
        {"product_id is not iKX", "[vornExt_OnQueryData][product_id][]"},
        {"vornExt_OnCommand() >>>", "command_id: , command_type: ", "vornExt_OnCommand() <<<"},
        {"[vornExt_OnNotify][Start][iTotalBytesInData][" + std::to_string(text.size()) + "]",
         "[vornExt_OnNotify][product_id is not iKX]", "[vornExt_OnNotify][product_id][]"}};
    for (int call = 0; call < 3; ++call) {
        log.Clear();
        EXPECT_EQ(call ? Send(call == 1 ? dll.OnCommand : dll.OnNotify, text) : Raw(text).result,
                  0);
        EXPECT_EQ(log.Texts(), expected[call]) << call;
    }
}

TEST_F(Frames, NotificationNeedsLengthAndACurrentClient) {
    const std::string unknown =
        R"({"product_id":"VORN_IPRODUCT_IKX","notify_id":"VORN_NO_SUCH","notify_data":{"notify_type":"T"}})";
    EXPECT_EQ(dll.OnNotify(0, 0, unknown.c_str()), -1);
    EXPECT_EQ(dll.OnNotify(0, 7, nullptr), -1);
    EXPECT_TRUE(Logged("[vornExt_OnNotify][Start][iTotalBytesInData][0]"));
    // Not installed: no service, the older client name only, version 2.x, no version.
    RegSetString(kKxcKey, L"Version", L"3.0.0");
    EXPECT_EQ(Send(dll.OnNotify, unknown), -1);
    AddService(L"KXClient");
    EXPECT_EQ(Send(dll.OnNotify, unknown), -1);
    AddService(L"QVKXC");
    RegSetString(kKxcKey, L"Version", L"2.9.10");
    EXPECT_EQ(Send(dll.OnNotify, unknown), -1);
    RegDeleteValue(kKxcKey, L"Version");
    EXPECT_EQ(Send(dll.OnNotify, unknown), -1);
    EXPECT_EQ(log.CountHaving("[vornExt_OnNotify][iKX haven't install]"), 4);
    EXPECT_EQ(log.CountHaving("[vornExt_OnNotify][End]"), 0);

    // Installed: the rows are walked; the length is only a presence test.
    RegSetString(kKxcKey, L"Version", L"3.0.0");
    EXPECT_EQ(dll.OnNotify(0, 1, unknown.c_str()), 0);
    EXPECT_TRUE(Logged("[vornExt_OnNotify][notify_id][VORN_NO_SUCH][notify_type][T]"));
    EXPECT_TRUE(Logged("[vornExt_OnNotify][End]"));
    EXPECT_EQ(
        Send(dll.OnNotify, R"({"product_id":"VORN_IPRODUCT_IBORDA","notify_id":"VORN_NO_SUCH"})"),
        0);
    EXPECT_TRUE(Logged("[vornExt_OnNotify][product_id is not iKX]"));
    EXPECT_EQ(Send(dll.OnNotify, "[1,2"), 0);
    EXPECT_TRUE(Logged("[vornExt_OnNotify][product_id][]"));
    EXPECT_EQ(log.CountHaving("[vornExt_OnNotify][End]"), 1);
}

// An extension never bound refuses every request, notifications included.
TEST(FramesUnbound, RequestsAreRefusedBeforeInit) {
    LogCollector log;
    HostAgent agent;
    ProductDll dll;
    ASSERT_NE(dll.module, nullptr);
    EXPECT_EQ(dll.Query(kVersionQuery), "");
    EXPECT_EQ(dll.OnNotify(0, 0, nullptr), 0);
    EXPECT_EQ(dll.OnCommand(0, 0, nullptr), 0);
    EXPECT_TRUE(WaitUntil([&] { return log.Count("Haven't init!") == 3; }, 5s));
}

TEST(FramesGate, HostNotSignedByTheMakerIsRefused) {
    LogCollector log;
    HostAgent agent;
    const std::string refused =
        RunProgram(L"vornhost.unsigned.exe", L"query VORN_ONQUERY_PRODUCT_VERSION");
    EXPECT_NE(refused.find("(no response)"), std::string::npos) << refused;
    EXPECT_EQ(refused.find("\"product_id\" : "), std::string::npos) << refused;
    EXPECT_TRUE(log.WaitFor("Dll Loader is invalid!", 5s));
    EXPECT_EQ(log.Count(kVersionHit), 0);
    // The same host signed by the maker is served.
    const std::string served = RunProgram(L"vornhost.exe", L"query VORN_ONQUERY_PRODUCT_VERSION");
    EXPECT_NE(served.find("\"query_id\" : \"VORN_ONQUERY_PRODUCT_VERSION\""), std::string::npos)
        << served;
    EXPECT_TRUE(WaitUntil([&] { return log.Count(kVersionHit) == 1; }, 5s));
    EXPECT_EQ(log.Count("Dll Loader is invalid!"), 1);
}

}  // namespace
