// The status log and component info queries through the real DLL: the plug-in
// status from the services, the stored policy setting and the sibling iBorda
// extension's scripted answer, and the pattern components from the registry.
#include "sensor_world.h"

using namespace testsupport;

namespace {

const char kSiblingRequest[] =
    R"({"product_id":"VORN_IPRODUCT_IBORDA","query_data":{},"query_id":"VORN_ONQUERY_MDR_STATUS"})";

std::string SiblingStatus(const std::string& status) {
    return R"({"result_data":{"type":"VORN_QUERY_RESULT_TYPE_DATA","content":{"status":)" + status +
           "}}}";
}

// The plug-in service record; an installed status carries the version twice.
Json::Value PluginInfo(int status, const char* version = nullptr) {
    Json::Value info = Parse(R"({"SLF_PropertyID":9,"SLF_PluginServiceID":734,
                                 "SLF_LastCompliantState":"0","SLF_Version":""})");
    info["SLF_Status"] = status;
    if (version) info["SLF_Version"] = info["Display_Version"] = version;
    return info;
}

TEST_F(LogQueries, AbsentSensorReportsStatusOneWithoutVersion) {
    EXPECT_EQ(Ask(IkxQuery("VORN_ONQUERY_CLIENT_STATUS_LOG", "VORN_CLIENT_ALL_STATUS_LOG")),
              Parse(R"({"product_id":"VORN_IPRODUCT_IKX","result_code":0,
        "query_id":"VORN_ONQUERY_CLIENT_STATUS_LOG","result_data":{
        "type":"VORN_QUERY_RESULT_TYPE_DATA","content":{"EngineInfo":[],"PatternInfo":[],
        "PluginServiceInfo":{"SLF_PropertyID":9,"SLF_PluginServiceID":734,"SLF_Status":1,
        "SLF_LastCompliantState":"0","SLF_Version":""}}}})"));
    EXPECT_TRUE(Logged("iKX has not been Installed"));
    // With policy setting 1 the sibling is asked first, yet the status stays 1.
    RegSetDword(kKxcKey, L"PolicySetting", 1);
    sibling.Reply(SiblingStatus("7"));
    EXPECT_EQ(Plugin(), PluginInfo(1));
    EXPECT_EQ(sibling.Journal().size(), 4u);
}

TEST_F(LogQueries, PolicyZeroStatusFollowsTheClientService) {
    InstallSensor(true, false);  // the engine is not looked at
    RegSetDword(kKxcKey, L"PolicySetting", 0);
    Json::Value content = StatusLog();
    EXPECT_EQ(content["PluginServiceInfo"], PluginInfo(7, "3.4.5.6789"));
    EXPECT_EQ(content["PatternInfo"], Parse(R"([
        {"SLF_Name":1208222084,"SLF_Version":"123400","Display_Version":"1.234.00",
         "SLF_LastUpdateTime":"2019-04-17 18:40:00","SLF_IsInUse":1},
        {"SLF_Name":1208222244,"SLF_Version":"1234567890","Display_Version":"12.345.678.90",
         "SLF_LastUpdateTime":"1970-01-01 00:00:00","SLF_IsInUse":1},
        {"SLF_Name":1208222276,"SLF_Version":"20","Display_Version":"2.0",
         "SLF_LastUpdateTime":"2019-04-17 18:40:00","SLF_IsInUse":1}])"));
    // Stopped client: installed but idle; components not in use.
    ASSERT_TRUE(services[0]->Stop());
    content = StatusLog();
    EXPECT_EQ(content["PluginServiceInfo"], PluginInfo(3, "3.4.5.6789"));
    ASSERT_EQ(content["PatternInfo"].size(), 3u);
    for (const Json::Value& row : content["PatternInfo"]) EXPECT_EQ(row["SLF_IsInUse"], 0);
    // Policy setting 2 does not ask the sibling.
    RegSetDword(kKxcKey, L"PolicySetting", 2);
    EXPECT_EQ(Plugin(), PluginInfo(3, "3.4.5.6789"));
    EXPECT_TRUE(sibling.Journal().empty());
}

TEST_F(LogQueries, MdrPolicyAsksTheSiblingOnceAndTrustsItsStatus) {
    InstallSensor(true, true);
    RegSetDword(kKxcKey, L"PolicySetting", 1);
    sibling.Reply(SiblingStatus("7"));
    EXPECT_EQ(Plugin(), PluginInfo(7, "3.4.5.6789"));
    // Compact JSON text; its length counts every byte handed over.
    const std::string request = std::string(kSiblingRequest) + "\n";
    EXPECT_EQ(
        sibling.Journal(),
        (std::vector<std::string>{
            "Init", "OnQueryData " + std::to_string(request.size()) + " " + kSiblingRequest + "\\n",
            "Free", "Deinit"}));
    EXPECT_TRUE(Logged("wstrOut: " + request));

    sibling.Reply(SiblingStatus("1"));
    const Json::Value content = StatusLog();
    EXPECT_EQ(content["PluginServiceInfo"], PluginInfo(1));
    EXPECT_TRUE(content["PatternInfo"].empty());
    // The client runs, yet the plug-in is not in use: neither is any component.
    sibling.Reply(SiblingStatus("3"));
    const Json::Value idle = StatusLog();
    EXPECT_EQ(idle["PluginServiceInfo"]["SLF_Status"], 3);
    ASSERT_EQ(idle["PatternInfo"].size(), 3u);
    for (const Json::Value& row : idle["PatternInfo"]) EXPECT_EQ(row["SLF_IsInUse"], 0);
    ASSERT_TRUE(services[0]->Stop());
    sibling.Reply(SiblingStatus("7"));
    EXPECT_EQ(Plugin()["SLF_Status"], 3);
}

TEST_F(LogQueries, EveryBadSiblingAnswerCountsAsStatusOne) {
    InstallSensor(true, true);
    RegSetDword(kKxcKey, L"PolicySetting", 1);
    const std::string data = R"({"result_data":{"type":"VORN_QUERY_RESULT_TYPE_DATA")";
    const std::string malformed = "Response json format is malformed";
    const struct {
        std::string reply;      // "": no response handed back
        const wchar_t* result;  // the sibling's return value, null for 0
        std::string record;     // expected warn record, or ""
    } cases[] = {
        {"", nullptr, ""},
        {"status: 7", nullptr, "Failed to parse reponse data"},
        {R"({"result_data":{"type":"VORN_QUERY_RESULT_TYPE_TEXT","content":{"status":7}}})",
         nullptr, malformed},
        {"[1,2,3]", nullptr, malformed},
        {data + R"(,"content":{"status":"7"}}})", nullptr, ""},
        {data + "}}", nullptr, ""},
        {"", L"-1", ""},
        {data + R"(,"content":{"status":7}}})", L"5", ""},  // an error return is not read
        {std::string(1001, '[') + std::string(1001, ']'), nullptr, "Failed to parse reponse data"},
    };
    for (const auto& c : cases) {
        sibling.NoReply();
        sibling.ClearJournal();
        if (!c.reply.empty()) sibling.Reply(c.reply);
        sibling.Result(c.result);
        EXPECT_EQ(Plugin(), PluginInfo(1)) << c.reply;
        EXPECT_TRUE(c.record.empty() || Logged(c.record)) << c.reply;
        // An answer handed back is given back, and the sibling is always de-initialised.
        const std::vector<std::string> calls = sibling.Journal();
        EXPECT_EQ(calls.size(), c.reply.empty() || c.result ? 3u : 4u) << c.reply;
        EXPECT_TRUE(!calls.empty() && calls.back() == "Deinit") << c.reply;
    }
    // A sibling signed by someone else, or without vornExt_ParseLog, is not
    // bound and counts as 1 too.
    sibling.Result(nullptr);
    sibling.Reply(SiblingStatus("7"));
    for (const std::wstring variant : {L"other", L"noparselog"}) {
        sibling.ClearJournal();
        const std::wstring folder = TempDir(L"sibling_" + variant);
        ASSERT_TRUE(::CopyFileW((BinDir() + L"vornExt_iBordaClient." + variant + L".dll").c_str(),
                                (folder + L"vornExt_iBordaClient.dll").c_str(), FALSE));
        RegSetString(kAgentKey, L"Application Path", folder);
        EXPECT_EQ(Plugin(), PluginInfo(1));
        EXPECT_TRUE(Logged("Cannot load iBorda's ext dll."));
        EXPECT_TRUE(sibling.Journal().empty());
    }
}

TEST_F(LogQueries, ComponentInfoNeedsBothCurrentServicesRunning) {
    InstallSensor(true, true);
    const Json::Value runtime =
        Ask(IkxQuery("VORN_ONQUERY_COMPONENT_INFO", "VORN_RUNTIME_COMPONENT_INFO"));
    EXPECT_EQ(runtime,
              Ask(IkxQuery("VORN_ONQUERY_COMPONENT_INFO", "VORN_ALL_PLATFORM_COMPONENT_INFO")));
    EXPECT_EQ(runtime, Parse(R"({"product_id":"VORN_IPRODUCT_IKX","result_code":0,
        "query_id":"VORN_ONQUERY_COMPONENT_INFO","result_data":{"type":"VORN_QUERY_RESULT_TYPE_DATA",
        "content":[{"au_klass":"3","au_platform_id":"0","au_language_id":"1","au_type":"48040184",
                    "version":"123400 0 0","download_folder":"Pattern\\excpglbqv"},
                   {"au_klass":"3","au_platform_id":"0","au_language_id":"1","au_type":"48040224",
                    "version":"1234567890 0 0","download_folder":"Pattern\\kxadp"},
                   {"au_klass":"3","au_platform_id":"0","au_language_id":"1","au_type":"48040244",
                    "version":"20 0 0","download_folder":"Pattern\\qvxdrfilter"}]}})"));
    EXPECT_TRUE(Logged("iKX Service is running"));
    RegSetString(kKxcKey, L"XdrFilterVersion", L"2.0-\u00e9");  // ANSI text in UTF-8
    EXPECT_EQ(ComponentInfo()[2]["version"], "20-\xc3\xa9 0 0");
    EXPECT_EQ(StatusLog()["PatternInfo"][2]["Display_Version"], "2.0-\xc3\xa9");

    ASSERT_TRUE(services[1]->Stop());
    EXPECT_EQ(ComponentInfo(), Json::Value(Json::arrayValue));
    EXPECT_TRUE(Logged("iKX Service IS NOT running!!"));
    // Both running but the client version of the older major.
    ASSERT_TRUE(services[1]->Start());
    RegSetString(kKxcKey, L"Version", L"2.1.0");
    EXPECT_EQ(ComponentInfo(), Json::Value(Json::arrayValue));
    EXPECT_TRUE(
        Logged("[vornExt_OnQueryData][QueryClientComponentInfo][Error][iKX is not installed]"));
}

}  // namespace
