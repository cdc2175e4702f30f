// The request frames of the three JSON exports: text taken up to the first
// NUL, the product check, dispatch by (id, type), the response buffer, the
// notification's installed check, and the gate that refuses unsigned hosts.
#include <gtest/gtest.h>
#include <json/json.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "support.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

const std::wstring kKxcKey = L"SOFTWARE\\Corvask\\KXC";
const std::wstring kKxeKey = L"SOFTWARE\\Corvask\\KXE";
char* const kUntouchedPointer = reinterpret_cast<char*>(static_cast<uintptr_t>(0x5eed));
constexpr uint32_t kUntouchedLength = 0xA5A5A5A5u;

struct RawAnswer {
    int32_t result = -99;
    uint32_t length = kUntouchedLength;
    char* response = kUntouchedPointer;
    bool Untouched() const { return length == kUntouchedLength && response == kUntouchedPointer; }
};

class Frames : public ::testing::Test {
  protected:
    void SetUp() override {
        CleanSensor();
        ASSERT_NE(dll.module, nullptr);
        dll.Init();
    }
    void TearDown() override {
        dll.Deinit();
        CleanSensor();
    }
    static void CleanSensor() {
        RegDeleteTree(kKxcKey);
        RegDeleteTree(kKxeKey);
        for (const wchar_t* name : {L"QVKXC", L"QVKXE", L"KXClient", L"KXE"}) {
            RemoveServiceIfPresent(name);
        }
    }

    RawAnswer Raw(const char* bytes, uint32_t length) {
        RawAnswer answer;
        answer.result = dll.OnQueryData(0, length, bytes, &answer.length, &answer.response);
        return answer;
    }
    RawAnswer Raw(const std::string& text) {
        return Raw(text.data(), static_cast<uint32_t>(text.size()));
    }
    // The parsed response, or null when none was handed back.
    Json::Value Answer(const std::string& text) {
        const std::string response = dll.Query(text);
        Json::Value value;
        if (!response.empty()) Json::Reader().parse(response, value);
        return value;
    }

    // Every record sent before this call has arrived once the marker's exit
    // record has (records of one thread are sent one after another).
    void Drain() {
        const int before = log.Count("<<<");
        dll.Free(nullptr);
        ASSERT_TRUE(WaitUntil([&] { return log.Count("<<<") > before; }, 5s));
    }
    bool Logged(const std::string& message) {
        if (log.WaitFor(message, 5s)) return true;
        for (const std::string& t : log.Texts()) std::printf("  seen: %s\n", t.c_str());
        return false;
    }

    LogCollector log;
    HostAgent agent;
    ProductDll dll;
};

std::string VersionQuery(const std::string& extra = "") {
    return R"({"product_id":"VORN_IPRODUCT_IKX","query_id":"VORN_ONQUERY_PRODUCT_VERSION")" +
           extra + "}";
}

TEST_F(Frames, ProductIdIsComparedByteForByte) {
    for (const char* product :
         {"vorn_iproduct_ikx", "VORN_IPRODUCT_IKX ", "VORN_IPRODUCT_IBORDA"}) {
        const RawAnswer answer = Raw(std::string(R"({"product_id":")") + product +
                                     R"(","query_id":"VORN_ONQUERY_PRODUCT_VERSION"})");
        EXPECT_EQ(answer.result, 0);
        EXPECT_TRUE(answer.Untouched()) << product;
        EXPECT_TRUE(Logged(std::string("[vornExt_OnQueryData][product_id][") + product + "]"));
    }
    EXPECT_TRUE(Logged("product_id is not iKX"));
    Drain();
    EXPECT_FALSE(log.Contains("[vornExt_OnQueryData][it][Hit][VORN_ONQUERY_PRODUCT_VERSION]"));
}

TEST_F(Frames, QueryWithoutMatchingRowWritesNothing) {
    const char* const unmatched[] = {
        R"({"product_id":"VORN_IPRODUCT_IKX","query_id":"VORN_ONQUERY_NOTHING"})",
        R"({"product_id":"VORN_IPRODUCT_IKX","query_id":"vorn_onquery_product_version"})",
        // A type given for a row whose type is empty is no match.
        R"({"product_id":"VORN_IPRODUCT_IKX","query_id":"VORN_ONQUERY_PRODUCT_VERSION",
            "query_data":{"query_type":"X"}})",
        // A known id with a type that belongs to another id.
        R"({"product_id":"VORN_IPRODUCT_IKX","query_id":"VORN_ONQUERY_COMPONENT_INFO",
            "query_data":{"query_type":"VORN_CLIENT_ALL_STATUS_LOG"}})",
        R"({"product_id":"VORN_IPRODUCT_IKX","query_id":"VORN_ONQUERY_COMPONENT_INFO",
            "query_data":{"query_type":"vorn_runtime_component_info"}})",
        R"({"product_id":"VORN_IPRODUCT_IKX","query_id":"VORN_ONQUERY_COMPONENT_INFO"})",
    };
    for (const char* text : unmatched) {
        const RawAnswer answer = Raw(text);
        EXPECT_EQ(answer.result, 0);
        EXPECT_TRUE(answer.Untouched()) << text;
    }
    EXPECT_TRUE(Logged("[vornExt_OnQueryData][query_id][VORN_ONQUERY_NOTHING][query_type][]"));
    Drain();
    for (const std::string& text : log.Texts()) {
        EXPECT_EQ(text.find("[it][Hit]"), std::string::npos) << text;
        EXPECT_EQ(text.find("Response Json Data:"), std::string::npos) << text;
    }
}

TEST_F(Frames, EmptyTypeRowsMatchAbsentNullOrEmptyType) {
    for (const char* extra : {"", R"(,"query_data":{})", R"(,"query_data":{"query_type":""})",
                              R"(,"query_data":{"query_type":null})", R"(,"query_data":null)"}) {
        const Json::Value answer = Answer(VersionQuery(extra));
        EXPECT_EQ(answer["query_id"].asString(), "VORN_ONQUERY_PRODUCT_VERSION") << extra;
        EXPECT_EQ(answer["product_id"].asString(), "VORN_IPRODUCT_IKX") << extra;
    }
}

TEST_F(Frames, ComponentInfoTypesAnswerAlikeAndCarryProduct) {
    const Json::Value runtime = Answer(
        R"({"product_id":"VORN_IPRODUCT_IKX","query_id":"VORN_ONQUERY_COMPONENT_INFO",
            "query_data":{"query_type":"VORN_RUNTIME_COMPONENT_INFO"}})");
    const Json::Value platform = Answer(
        R"({"product_id":"VORN_IPRODUCT_IKX","query_id":"VORN_ONQUERY_COMPONENT_INFO",
            "query_data":{"query_type":"VORN_ALL_PLATFORM_COMPONENT_INFO"}})");
    EXPECT_EQ(runtime["query_id"].asString(), "VORN_ONQUERY_COMPONENT_INFO");
    EXPECT_EQ(runtime["product_id"].asString(), "VORN_IPRODUCT_IKX");
    EXPECT_EQ(runtime, platform);
}

TEST_F(Frames, ResponseBufferHoldsStyledTextAndItsLength) {
    const RawAnswer answer = Raw(VersionQuery());
    ASSERT_EQ(answer.result, 0);
    ASSERT_NE(answer.response, kUntouchedPointer);
    ASSERT_NE(answer.response, nullptr);
    EXPECT_EQ(std::strlen(answer.response), answer.length);
    const std::string text(answer.response, answer.length);
    dll.Free(answer.response);
    // The styled writer: members in key order, one per line, tab-indented.
    EXPECT_EQ(text.rfind("{\n", 0), 0u) << text;
    EXPECT_NE(text.find("\n\t\"product_id\" : \"VORN_IPRODUCT_IKX\",\n"), std::string::npos)
        << text;
    EXPECT_LT(text.find("\"product_id\""), text.find("\"query_id\""));
    EXPECT_LT(text.find("\"query_id\""), text.find("\"result_code\""));
    EXPECT_TRUE(Logged("Response Json Data:" + text));
}

TEST_F(Frames, TextEndsAtFirstNulOrAtRequestLength) {
    // Whatever follows a NUL is not read, even when it would complete the text.
    const std::string complete = VersionQuery() + std::string(1, '\0') + "trailing bytes";
    EXPECT_FALSE(Answer(complete).isNull());

    const std::string cut =
        R"({"product_id":"VORN_IPRODUCT_IKX","query_id":"VORN_ONQUERY_PRODUCT_VERSION","pad":")" +
        std::string(1, '\0') + R"("})";
    RawAnswer answer = Raw(cut);
    EXPECT_EQ(answer.result, 0);
    EXPECT_TRUE(answer.Untouched());
    EXPECT_TRUE(Logged("[vornExt_OnQueryData][product_id][]"));

    const std::string text = VersionQuery();
    answer = Raw(text.data(), static_cast<uint32_t>(text.size() - 1));
    EXPECT_TRUE(answer.Untouched());
    answer = Raw(text.data(), 0);
    EXPECT_TRUE(answer.Untouched());
    answer = Raw(nullptr, 0);
    EXPECT_EQ(answer.result, 0);
    EXPECT_TRUE(answer.Untouched());
}

TEST_F(Frames, NullOutParameterRunsHandlerButAllocatesNothing) {
    const std::string text = VersionQuery();
    uint32_t length = kUntouchedLength;
    EXPECT_EQ(
        dll.OnQueryData(0, static_cast<uint32_t>(text.size()), text.c_str(), &length, nullptr), 0);
    EXPECT_EQ(length, kUntouchedLength);
    char* response = kUntouchedPointer;
    EXPECT_EQ(
        dll.OnQueryData(0, static_cast<uint32_t>(text.size()), text.c_str(), nullptr, &response),
        0);
    EXPECT_EQ(response, kUntouchedPointer);
    EXPECT_TRUE(WaitUntil(
        [&] {
            return log.Count("[vornExt_OnQueryData][it][Hit][VORN_ONQUERY_PRODUCT_VERSION]") == 2;
        },
        5s));
    EXPECT_TRUE(Logged("Execute query data succeed"));
    Drain();
    for (const std::string& t : log.Texts())
        EXPECT_EQ(t.find("Response Json Data:"), std::string::npos);
}

TEST_F(Frames, CommandsNeedNoProductAndReadIdsAsText) {
    const std::string install =
        R"({"command_id":"VORN_ONCOMMAND_INSTALLATION","command_data":{"command_type":"VORN_IAGENT_INSTALL"}})";
    EXPECT_EQ(dll.OnCommand(0, static_cast<uint32_t>(install.size()), install.c_str()), 0);
    EXPECT_TRUE(
        Logged("command_id: VORN_ONCOMMAND_INSTALLATION, command_type: VORN_IAGENT_INSTALL"));

    // Numbers and booleans read as their text; arrays, objects and null as "".
    const std::string typed = R"({"command_id":12,"command_data":{"command_type":true}})";
    EXPECT_EQ(dll.OnCommand(0, static_cast<uint32_t>(typed.size()), typed.c_str()), 0);
    EXPECT_TRUE(Logged("command_id: 12, command_type: true"));
    const std::string nested = R"({"command_id":["A"],"command_data":{"command_type":{"x":1}}})";
    EXPECT_EQ(dll.OnCommand(0, static_cast<uint32_t>(nested.size()), nested.c_str()), 0);
    const std::string broken = "{not json";
    EXPECT_EQ(dll.OnCommand(0, static_cast<uint32_t>(broken.size()), broken.c_str()), 0);
    EXPECT_EQ(dll.OnCommand(0, 0, nullptr), 0);
    EXPECT_TRUE(WaitUntil([&] { return log.Count("command_id: , command_type: ") == 3; }, 5s));
    EXPECT_TRUE(WaitUntil([&] { return log.Count("vornExt_OnCommand() <<<") == 5; }, 5s));
    EXPECT_EQ(log.Count("vornExt_OnCommand() >>>"), 5);
}

TEST_F(Frames, EmptyNotificationIsRefusedWithStartLineOnly) {
    const std::string text = R"({"product_id":"VORN_IPRODUCT_IKX","notify_id":"X"})";
    EXPECT_EQ(dll.OnNotify(0, 0, text.c_str()), -1);
    EXPECT_EQ(dll.OnNotify(0, 7, nullptr), -1);
    EXPECT_TRUE(Logged("[vornExt_OnNotify][Start][iTotalBytesInData][0]"));
    EXPECT_TRUE(Logged("[vornExt_OnNotify][Start][iTotalBytesInData][7]"));
    Drain();
    EXPECT_FALSE(log.Contains("[vornExt_OnNotify][iKX haven't install]"));
}

TEST_F(Frames, NotificationNeedsCurrentClientServiceAndVersion) {
    const std::string text =
        R"({"product_id":"VORN_IPRODUCT_IKX","notify_id":"VORN_NO_SUCH","notify_data":{"notify_type":"T"}})";
    const uint32_t length = static_cast<uint32_t>(text.size());
    // Version current, service absent.
    RegSetString(kKxcKey, L"Version", L"3.0.0");
    EXPECT_EQ(dll.OnNotify(0, length, text.c_str()), -1);
    {
        // Only the older client name: the notification looks at "QVKXC" alone.
        ScopedService old(L"KXClient", BinDir() + L"KxSensorService.exe --name KXClient");
        EXPECT_EQ(dll.OnNotify(0, length, text.c_str()), -1);
    }
    ScopedService client(L"QVKXC", BinDir() + L"KxSensorService.exe --name QVKXC");
    // Service present, version of the older generation.
    RegSetString(kKxcKey, L"Version", L"2.9.10");
    EXPECT_EQ(dll.OnNotify(0, length, text.c_str()), -1);
    // Service present, no version at all.
    RegDeleteValue(kKxcKey, L"Version");
    EXPECT_EQ(dll.OnNotify(0, length, text.c_str()), -1);
    EXPECT_TRUE(
        WaitUntil([&] { return log.Count("[vornExt_OnNotify][iKX haven't install]") == 4; }, 5s));
    Drain();
    EXPECT_FALSE(log.Contains("[vornExt_OnNotify][End]"));
}

TEST_F(Frames, InstalledSensorNotificationWalksTheNotifyRows) {
    ScopedService client(L"QVKXC", BinDir() + L"KxSensorService.exe --name QVKXC");
    RegSetString(kKxcKey, L"Version", L"3.0.0");
    const std::string unknown =
        R"({"product_id":"VORN_IPRODUCT_IKX","notify_id":"VORN_NO_SUCH","notify_data":{"notify_type":"T"}})";
    // The length is only a presence test: the text runs to its NUL.
    EXPECT_EQ(dll.OnNotify(0, 1, unknown.c_str()), 0);
    EXPECT_TRUE(Logged("[vornExt_OnNotify][notify_id][VORN_NO_SUCH][notify_type][T]"));
    EXPECT_TRUE(Logged("[vornExt_OnNotify][End]"));

    const std::string other = R"({"product_id":"VORN_IPRODUCT_IBORDA","notify_id":"VORN_NO_SUCH"})";
    EXPECT_EQ(dll.OnNotify(0, static_cast<uint32_t>(other.size()), other.c_str()), 0);
    EXPECT_TRUE(Logged("[vornExt_OnNotify][product_id is not iKX]"));
    EXPECT_TRUE(Logged("[vornExt_OnNotify][product_id][VORN_IPRODUCT_IBORDA]"));

    const std::string broken = "[1,2";
    EXPECT_EQ(dll.OnNotify(0, static_cast<uint32_t>(broken.size()), broken.c_str()), 0);
    EXPECT_TRUE(Logged("[vornExt_OnNotify][product_id][]"));
    Drain();
    EXPECT_EQ(log.Count("[vornExt_OnNotify][End]"), 1);
    EXPECT_FALSE(log.Contains("[vornExt_OnNotify][iKX haven't install]"));
}

// An extension never bound refuses every request, notifications included.
TEST(FramesUnbound, RequestsAreRefusedBeforeInit) {
    LogCollector log;
    HostAgent agent;
    ProductDll dll;
    ASSERT_NE(dll.module, nullptr);
    const std::string text = VersionQuery();
    uint32_t length = kUntouchedLength;
    char* response = kUntouchedPointer;
    EXPECT_EQ(
        dll.OnQueryData(0, static_cast<uint32_t>(text.size()), text.c_str(), &length, &response),
        0);
    EXPECT_EQ(length, kUntouchedLength);
    EXPECT_EQ(response, kUntouchedPointer);
    EXPECT_EQ(dll.OnNotify(0, 0, nullptr), 0);
    EXPECT_EQ(dll.OnCommand(0, 0, nullptr), 0);
    EXPECT_TRUE(WaitUntil([&] { return log.Count("Haven't init!") == 3; }, 5s));
    EXPECT_FALSE(log.Contains("[vornExt_OnNotify][Start][iTotalBytesInData][0]"));
}

// Runs the framework stand-in and returns what it printed.
std::string RunHost(const std::wstring& exe, const std::wstring& arguments, DWORD& pid) {
    const std::wstring out = TempDir(L"gate") + L"stdout.txt";
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE file = ::CreateFileW(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = file;
    startup.hStdError = file;
    PROCESS_INFORMATION process = {};
    std::wstring commandLine = L"\"" + BinDir() + exe + L"\" " + arguments;
    const BOOL started = ::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0,
                                          nullptr, BinDir().c_str(), &startup, &process);
    ::CloseHandle(file);
    if (!started) return "(not started)";
    pid = process.dwProcessId;
    ::WaitForSingleObject(process.hProcess, 60000);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    std::ifstream in(Narrow(out), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The refused records of one process only.
int CountFrom(LogCollector& log, DWORD pid, const std::string& message) {
    int n = 0;
    for (const auto& record : log.Records()) {
        n += std::to_wstring(pid) == record.Field(2) && MessageOf(record) == message;
    }
    return n;
}

TEST(FramesGate, HostNotSignedByTheMakerIsRefused) {
    LogCollector log;
    HostAgent agent;
    DWORD unsignedPid = 0, signedPid = 0;
    const std::string refused =
        RunHost(L"vornhost.unsigned.exe", L"query VORN_ONQUERY_PRODUCT_VERSION", unsignedPid);
    EXPECT_NE(refused.find("(no response)"), std::string::npos) << refused;
    EXPECT_EQ(refused.find("\"product_id\" : "), std::string::npos) << refused;
    EXPECT_TRUE(
        WaitUntil([&] { return CountFrom(log, unsignedPid, "Dll Loader is invalid!") == 1; }, 5s));
    EXPECT_EQ(
        CountFrom(log, unsignedPid, "[vornExt_OnQueryData][it][Hit][VORN_ONQUERY_PRODUCT_VERSION]"),
        0);

    // The same host signed by the maker is served.
    const std::string served =
        RunHost(L"vornhost.exe", L"query VORN_ONQUERY_PRODUCT_VERSION", signedPid);
    EXPECT_NE(served.find("\"query_id\" : \"VORN_ONQUERY_PRODUCT_VERSION\""), std::string::npos)
        << served;
    EXPECT_TRUE(WaitUntil(
        [&] {
            return CountFrom(log, signedPid,
                             "[vornExt_OnQueryData][it][Hit][VORN_ONQUERY_PRODUCT_VERSION]") == 1;
        },
        5s));
    EXPECT_EQ(CountFrom(log, signedPid, "Dll Loader is invalid!"), 0);
}

}  // namespace
