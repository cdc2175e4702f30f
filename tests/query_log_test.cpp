// The status log and component info queries through the real DLL: the plug-in
// status from the services, the stored policy setting and the sibling iBorda
// extension's scripted answer, and the pattern components from the registry.
#include <gtest/gtest.h>
#include <json/json.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "support.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

const std::wstring kKxcKey = L"SOFTWARE\\Corvask\\KXC";
const std::wstring kKxeKey = L"SOFTWARE\\Corvask\\KXE";
const std::wstring kAgentKey = L"SOFTWARE\\Corvask\\VarnixNTCorp\\CurrentVersion";
const char kStatusLog[] =
    R"({"product_id":"VORN_IPRODUCT_IKX","query_id":"VORN_ONQUERY_CLIENT_STATUS_LOG",
        "query_data":{"query_type":"VORN_CLIENT_ALL_STATUS_LOG"}})";
const char kSiblingRequest[] =
    R"({"product_id":"VORN_IPRODUCT_IBORDA","query_data":{},"query_id":"VORN_ONQUERY_MDR_STATUS"})";

std::string ComponentInfoQuery(const char* type) {
    return std::string(
               R"({"product_id":"VORN_IPRODUCT_IKX","query_id":"VORN_ONQUERY_COMPONENT_INFO",)") +
           R"("query_data":{"query_type":")" + type + R"("}})";
}

std::string ReadAll(const std::wstring& path) {
    std::ifstream in(Narrow(path), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteAll(const std::wstring& path, const std::string& text) {
    std::ofstream(Narrow(path), std::ios::binary | std::ios::trunc) << text;
}

std::string SiblingStatus(const std::string& status) {
    return R"({"result_data":{"type":"VORN_QUERY_RESULT_TYPE_DATA","content":{"status":)" + status +
           "}}}";
}

class LogQueries : public ::testing::Test {
  protected:
    void SetUp() override {
        Clean();
        scratch = TempDir(L"iborda");
        journal = scratch + L"journal.txt";
        reply = scratch + L"reply.json";
        ::SetEnvironmentVariableW(L"IKX_IBORDA_JOURNAL", journal.c_str());
        ::SetEnvironmentVariableW(L"IKX_IBORDA_REPLY_FILE", reply.c_str());
        ::SetEnvironmentVariableW(L"IKX_IBORDA_RESULT", nullptr);
        ASSERT_NE(dll.module, nullptr);
        dll.Init();
    }
    void TearDown() override {
        dll.Deinit();
        services.clear();
        Clean();
        for (const wchar_t* name :
             {L"IKX_IBORDA_JOURNAL", L"IKX_IBORDA_REPLY_FILE", L"IKX_IBORDA_RESULT"}) {
            ::SetEnvironmentVariableW(name, nullptr);
        }
    }
    static void Clean() {
        RegDeleteTree(kKxcKey);
        RegDeleteTree(kKxeKey);
        for (const wchar_t* name : {L"QVKXC", L"QVKXE", L"KXClient", L"KXE"}) {
            RemoveServiceIfPresent(name);
        }
    }
    void AddService(const std::wstring& name, bool running) {
        services.push_back(std::make_unique<ScopedService>(
            name, L"\"" + BinDir() + L"KxSensorService.exe\" --name " + name + L" --no-ipc"));
        if (running) ASSERT_TRUE(services.back()->Start()) << Narrow(name);
    }
    // A current sensor with its three pattern components registered.
    void InstallSensor(bool clientRuns, bool engineRuns) {
        RegSetString(kKxcKey, L"Version", L"3.4.5.6789");
        RegSetString(kKxeKey, L"Version", L"3.4.5.6789");
        RegSetString(kKxcKey, L"SLF_KernelGlobalVersion", L"1.234.00");
        RegSetString(kKxcKey, L"SLF_KernelGlobalDownloadTime", L"132000000000000000");
        RegSetString(kKxcKey, L"SLF_ADECorvaskVersion", L"12.345.678.90");
        RegSetString(kKxcKey, L"SLF_ADECorvaskDownloadTime", L"0");
        RegSetString(kKxcKey, L"XdrFilterVersion", L"2.0");
        RegSetString(kKxcKey, L"XdrFilterDownloadTime", L"  132000000000000000xyz");
        AddService(L"QVKXC", clientRuns);
        AddService(L"QVKXE", engineRuns);
    }
    Json::Value Ask(const std::string& text) {
        const std::string response = dll.Query(text);
        Json::Value value;
        EXPECT_TRUE(Json::Reader().parse(response, value)) << response;
        return value;
    }
    Json::Value Plugin() { return Ask(kStatusLog)["result_data"]["content"]["PluginServiceInfo"]; }
    std::vector<std::string> Journal() {
        std::vector<std::string> lines;
        std::istringstream in(ReadAll(journal));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    LogCollector log;
    HostAgent agent;
    ProductDll dll;
    std::vector<std::unique_ptr<ScopedService>> services;
    std::wstring scratch, journal, reply;
};

TEST_F(LogQueries, AbsentSensorReportsStatusOneWithoutVersion) {
    const Json::Value answer = Ask(kStatusLog);
    EXPECT_EQ(answer["product_id"], "VORN_IPRODUCT_IKX");
    EXPECT_EQ(answer["query_id"], "VORN_ONQUERY_CLIENT_STATUS_LOG");
    EXPECT_EQ(answer["result_code"], 0);
    EXPECT_EQ(answer["result_data"]["type"], "VORN_QUERY_RESULT_TYPE_DATA");
    const Json::Value& content = answer["result_data"]["content"];
    EXPECT_EQ(content.getMemberNames(),
              (std::vector<std::string>{"EngineInfo", "PatternInfo", "PluginServiceInfo"}));
    EXPECT_TRUE(content["EngineInfo"].isArray() && content["EngineInfo"].empty());
    EXPECT_TRUE(content["PatternInfo"].isArray() && content["PatternInfo"].empty());
    const Json::Value& plugin = content["PluginServiceInfo"];
    EXPECT_EQ(plugin.getMemberNames(),
              (std::vector<std::string>{"SLF_LastCompliantState", "SLF_PluginServiceID",
                                        "SLF_PropertyID", "SLF_Status", "SLF_Version"}));
    EXPECT_EQ(plugin["SLF_PropertyID"], 9);
    EXPECT_EQ(plugin["SLF_PluginServiceID"], 734);
    EXPECT_EQ(plugin["SLF_Status"], 1);
    EXPECT_EQ(plugin["SLF_LastCompliantState"], "0");
    EXPECT_EQ(plugin["SLF_Version"], "");
    EXPECT_TRUE(log.WaitFor("iKX has not been Installed", 5s));
    // The stored setting cannot be read without the key.
    EXPECT_TRUE(log.WaitFor("Query iKX policy settings failed.", 5s));
}

TEST_F(LogQueries, RunningClientIsInUseWithEveryPatternComponent) {
    InstallSensor(true, false);  // the engine is not looked at
    RegSetDword(kKxcKey, L"PolicySetting", 0);
    const Json::Value content = Ask(kStatusLog)["result_data"]["content"];
    const Json::Value& plugin = content["PluginServiceInfo"];
    EXPECT_EQ(plugin["SLF_Status"], 7);
    EXPECT_EQ(plugin["SLF_Version"], "3.4.5.6789");
    EXPECT_EQ(plugin["Display_Version"], "3.4.5.6789");
    const Json::Value& patterns = content["PatternInfo"];
    ASSERT_EQ(patterns.size(), 3u);
    const char* const names[] = {"Display_Version", "SLF_IsInUse", "SLF_LastUpdateTime", "SLF_Name",
                                 "SLF_Version"};
    for (const Json::Value& row : patterns) {
        EXPECT_EQ(row.getMemberNames(),
                  std::vector<std::string>(std::begin(names), std::end(names)));
        EXPECT_EQ(row["SLF_IsInUse"], 1);
        EXPECT_TRUE(row["SLF_Name"].isUInt());
    }
    EXPECT_EQ(patterns[0]["SLF_Name"].asUInt(), 0x48040184u);
    EXPECT_EQ(patterns[0]["SLF_Version"], "123400");
    EXPECT_EQ(patterns[0]["Display_Version"], "1.234.00");
    EXPECT_EQ(patterns[0]["SLF_LastUpdateTime"], "2019-04-17 18:40:00");
    EXPECT_EQ(patterns[1]["SLF_Name"].asUInt(), 0x48040224u);
    EXPECT_EQ(patterns[1]["SLF_Version"], "1234567890");
    EXPECT_EQ(patterns[1]["SLF_LastUpdateTime"], "1970-01-01 00:00:00");
    EXPECT_EQ(patterns[2]["SLF_Name"].asUInt(), 0x48040244u);
    EXPECT_EQ(patterns[2]["SLF_Version"], "20");
    EXPECT_EQ(patterns[2]["SLF_LastUpdateTime"], "2019-04-17 18:40:00");
}

TEST_F(LogQueries, StoppedClientIsInstalledButIdle) {
    InstallSensor(false, true);
    const Json::Value content = Ask(kStatusLog)["result_data"]["content"];
    EXPECT_EQ(content["PluginServiceInfo"]["SLF_Status"], 3);
    EXPECT_EQ(content["PluginServiceInfo"]["Display_Version"], "3.4.5.6789");
    ASSERT_EQ(content["PatternInfo"].size(), 3u);
    for (const Json::Value& row : content["PatternInfo"]) EXPECT_EQ(row["SLF_IsInUse"], 0);
    // Policy setting 2 does not ask the sibling either.
    RegSetDword(kKxcKey, L"PolicySetting", 2);
    EXPECT_EQ(Plugin()["SLF_Status"], 3);
    EXPECT_TRUE(Journal().empty());
}

TEST_F(LogQueries, UnreadableComponentsAreLeftOut) {
    InstallSensor(true, true);
    RegDeleteValue(kKxcKey, L"SLF_KernelGlobalDownloadTime");
    RegSetString(kKxcKey, L"XdrFilterVersion", std::wstring(260, L'9'));  // 261 bytes in ANSI
    Json::Value patterns = Ask(kStatusLog)["result_data"]["content"]["PatternInfo"];
    ASSERT_EQ(patterns.size(), 1u);
    EXPECT_EQ(patterns[0]["SLF_Name"].asUInt(), 0x48040224u);
    EXPECT_TRUE(log.WaitFor("Query value [SLF_KernelGlobalDownloadTime] failed, error: 2", 5s));
    EXPECT_TRUE(log.WaitFor("Query value [XdrFilterVersion] failed, error: 234", 5s));
    // The longest value that fits.
    RegSetString(kKxcKey, L"XdrFilterVersion", std::wstring(259, L'9'));
    patterns = Ask(kStatusLog)["result_data"]["content"]["PatternInfo"];
    ASSERT_EQ(patterns.size(), 2u);
    EXPECT_EQ(patterns[1]["Display_Version"], std::string(259, '9'));
}

TEST_F(LogQueries, MdrPolicyAsksTheSiblingOnceAndTrustsItsStatus) {
    InstallSensor(true, true);
    RegSetDword(kKxcKey, L"PolicySetting", 1);
    WriteAll(reply, SiblingStatus("7"));
    EXPECT_EQ(Plugin()["SLF_Status"], 7);
    const std::vector<std::string> calls = Journal();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0], "Init");
    // Compact JSON text; its length counts every byte handed over.
    const std::string request = std::string(kSiblingRequest) + "\n";
    EXPECT_EQ(calls[1], "OnQueryData " + std::to_string(request.size()) + " " +
                            std::string(kSiblingRequest) + "\\n");
    EXPECT_EQ(calls[2], "Free");
    EXPECT_EQ(calls[3], "Deinit");
    EXPECT_TRUE(log.WaitFor("wstrOut: " + request, 5s));

    WriteAll(reply, SiblingStatus("1"));
    const Json::Value content = Ask(kStatusLog)["result_data"]["content"];
    EXPECT_EQ(content["PluginServiceInfo"]["SLF_Status"], 1);
    EXPECT_EQ(content["PluginServiceInfo"]["SLF_Version"], "");
    EXPECT_FALSE(content["PluginServiceInfo"].isMember("Display_Version"));
    EXPECT_TRUE(content["PatternInfo"].empty());

    WriteAll(reply, SiblingStatus("3"));
    EXPECT_EQ(Plugin()["SLF_Status"], 3);
    ASSERT_TRUE(services[0]->Stop());
    WriteAll(reply, SiblingStatus("7"));
    EXPECT_EQ(Plugin()["SLF_Status"], 3);
}

TEST_F(LogQueries, EveryBadSiblingAnswerCountsAsStatusOne) {
    InstallSensor(true, true);
    RegSetDword(kKxcKey, L"PolicySetting", 1);
    struct Case {
        const char* what;
        const char* reply;  // null: no response handed back
        const char* result;
        const char* record;  // expected warn record, or null
    };
    const Case cases[] = {
        {"no answer", nullptr, nullptr, nullptr},
        {"not JSON", "status: 7", nullptr, "Failed to parse reponse data"},
        {"wrong type",
         R"({"result_data":{"type":"VORN_QUERY_RESULT_TYPE_TEXT","content":{"status":7}}})",
         nullptr, "Response json format is malformed"},
        {"type missing", R"({"result_data":{"content":{"status":7}}})", nullptr,
         "Response json format is malformed"},
        {"result_data not an object", R"({"result_data":[7]})", nullptr,
         "Response json format is malformed"},
        {"array", "[1,2,3]", nullptr, "Response json format is malformed"},
        {"status as text",
         R"({"result_data":{"type":"VORN_QUERY_RESULT_TYPE_DATA","content":{"status":"7"}}})",
         nullptr, nullptr},
        {"negative status",
         R"({"result_data":{"type":"VORN_QUERY_RESULT_TYPE_DATA","content":{"status":-7}}})",
         nullptr, nullptr},
        {"content missing", R"({"result_data":{"type":"VORN_QUERY_RESULT_TYPE_DATA"}})", nullptr,
         nullptr},
        {"error return", nullptr, "-1", nullptr},
    };
    for (const Case& c : cases) {
        ::DeleteFileW(reply.c_str());
        if (c.reply) WriteAll(reply, c.reply);
        ::SetEnvironmentVariableW(L"IKX_IBORDA_RESULT",
                                  c.result ? Widen(c.result).c_str() : nullptr);
        EXPECT_EQ(Plugin()["SLF_Status"], 1) << c.what;
        if (c.record) EXPECT_TRUE(log.WaitFor(c.record, 5s)) << c.what;
    }
    // A status answer with an error return is neither read nor given back.
    ::DeleteFileW(journal.c_str());
    WriteAll(reply, SiblingStatus("7"));
    ::SetEnvironmentVariableW(L"IKX_IBORDA_RESULT", L"5");
    EXPECT_EQ(Plugin()["SLF_Status"], 1);
    const std::vector<std::string> calls = Journal();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[2], "Deinit");
}

TEST_F(LogQueries, SiblingThatCannotBeBoundCountsAsStatusOne) {
    InstallSensor(true, true);
    RegSetDword(kKxcKey, L"PolicySetting", 1);
    WriteAll(reply, SiblingStatus("7"));
    // A sibling once loaded stays loaded, so each variant gets a folder of its
    // own, named as the host agent folder once binding is done.
    const wchar_t* const variants[][2] = {
        {L"no_parselog", L"vornExt_iBordaClient.noparselog.dll"},
        {L"other_signer", L"vornExt_iBordaClient.other.dll"},
        {L"missing", nullptr},
    };
    for (const auto& variant : variants) {
        const std::wstring folder = TempDir(std::wstring(L"sibling_") + variant[0]);
        if (variant[1]) {
            ASSERT_TRUE(::CopyFileW((BinDir() + variant[1]).c_str(),
                                    (folder + L"vornExt_iBordaClient.dll").c_str(), FALSE));
        }
        RegSetString(kAgentKey, L"Application Path", folder);
        log.Clear();
        EXPECT_EQ(Plugin()["SLF_Status"], 1) << Narrow(variant[0]);
        EXPECT_TRUE(log.WaitFor("Cannot load iBorda's ext dll.", 5s)) << Narrow(variant[0]);
    }
    EXPECT_TRUE(Journal().empty());
    RegSetString(kAgentKey, L"Application Path", agent.Folder());
    EXPECT_EQ(Plugin()["SLF_Status"], 7);
}

TEST_F(LogQueries, NotInstalledSensorIsStatusOneWhateverTheSibling) {
    RegSetDword(kKxcKey, L"PolicySetting", 1);
    WriteAll(reply, SiblingStatus("7"));
    EXPECT_EQ(Plugin()["SLF_Status"], 1);
    // The sibling is asked before the sensor is looked at.
    EXPECT_EQ(Journal().size(), 4u);
}

TEST_F(LogQueries, ComponentInfoNeedsBothServicesRunning) {
    InstallSensor(true, true);
    const Json::Value runtime = Ask(ComponentInfoQuery("VORN_RUNTIME_COMPONENT_INFO"));
    EXPECT_EQ(runtime, Ask(ComponentInfoQuery("VORN_ALL_PLATFORM_COMPONENT_INFO")));
    EXPECT_EQ(runtime["product_id"], "VORN_IPRODUCT_IKX");
    EXPECT_EQ(runtime["query_id"], "VORN_ONQUERY_COMPONENT_INFO");
    EXPECT_EQ(runtime["result_code"], 0);
    EXPECT_EQ(runtime["result_data"]["type"], "VORN_QUERY_RESULT_TYPE_DATA");
    const Json::Value& content = runtime["result_data"]["content"];
    ASSERT_EQ(content.size(), 3u);
    const char* const types[] = {"48040184", "48040224", "48040244"};
    const char* const versions[] = {"123400 0 0", "1234567890 0 0", "20 0 0"};
    const char* const folders[] = {"Pattern\\excpglbqv", "Pattern\\kxadp", "Pattern\\qvxdrfilter"};
    for (Json::ArrayIndex i = 0; i < 3; ++i) {
        EXPECT_EQ(content[i].getMemberNames(),
                  (std::vector<std::string>{"au_klass", "au_language_id", "au_platform_id",
                                            "au_type", "download_folder", "version"}));
        EXPECT_EQ(content[i]["au_klass"], "3");
        EXPECT_EQ(content[i]["au_platform_id"], "0");
        EXPECT_EQ(content[i]["au_language_id"], "1");
        EXPECT_EQ(content[i]["au_type"], types[i]);
        EXPECT_EQ(content[i]["version"], versions[i]);
        EXPECT_EQ(content[i]["download_folder"], folders[i]);
    }
    EXPECT_TRUE(log.WaitFor("iKX Service is running", 5s));

    ASSERT_TRUE(services[1]->Stop());
    const Json::Value stopped = Ask(ComponentInfoQuery("VORN_RUNTIME_COMPONENT_INFO"));
    EXPECT_TRUE(stopped["result_data"]["content"].isArray());
    EXPECT_TRUE(stopped["result_data"]["content"].empty());
    EXPECT_TRUE(log.WaitFor("iKX Service IS NOT running!!", 5s));
}

TEST_F(LogQueries, ComponentInfoWithoutServiceGeneration) {
    // Services run but the client version is of the older major.
    InstallSensor(true, true);
    RegSetString(kKxcKey, L"Version", L"2.1.0");
    const Json::Value answer = Ask(ComponentInfoQuery("VORN_RUNTIME_COMPONENT_INFO"));
    EXPECT_TRUE(answer["result_data"]["content"].isArray());
    EXPECT_TRUE(answer["result_data"]["content"].empty());
    EXPECT_TRUE(log.WaitFor(
        "[vornExt_OnQueryData][QueryClientComponentInfo][Error][iKX is not installed]", 5s));

    // The older service names with a current version.
    services.clear();
    RegSetString(kKxcKey, L"Version", L"3.0.0");
    AddService(L"KXClient", true);
    AddService(L"KXE", true);
    EXPECT_EQ(
        Ask(ComponentInfoQuery("VORN_RUNTIME_COMPONENT_INFO"))["result_data"]["content"].size(),
        3u);
}

}  // namespace
