// Notifications through the export to the running sensor: the one command
// each becomes as the client service received it, pattern files handed to the
// sensor, failures that leave nothing bound, and many senders at once.
#include <shlobj.h>

#include <atomic>
#include <functional>
#include <fstream>
#include <set>
#include <thread>

#include "common/verified_loading.h"
#include "entry/dispatch.h"
#include "entry/lifecycle.h"
#include "log/log.h"
#include "notify/notify_handlers.h"
#include "notify_world.h"

using namespace testsupport;

namespace {

// Levels by number: warn, info, trace.
constexpr int kWarn = 4, kInfo = 6, kTrace = 8;
const char kAdmin[] = "VORN_ONNOTIFY_ADMIN_CFG_CHANGE";
const char kContext[] = "VORN_ONNOTIFY_CONTEXT_CHANGE";
const char kSucceeded[] = "[vornExt_OnNotify][Execute Notify data succeed]";
const char kFailed[] = "[vornExt_OnNotify][Execute Notify data failed]";
const std::string kSetConfig =
    "KXClient.exe -c=SetConfig -Section=KXE -Key=LightWeightMode -Value=";

struct Expected {
    uint32_t code, type;
    Bytes payload;
};
const Expected kNothing = {0, 0, {}};

struct Case {
    const char *id, *type;
    std::string content;
    Expected sent;
    std::string record = "";  // a record the handler must log
};

void ExpectOneCommand(const std::vector<testbed::ReceivedCommand>& got, const Expected& want,
                      const std::string& label) {
    if (want.code == 0) {
        EXPECT_TRUE(got.empty()) << label;
        return;
    }
    ASSERT_EQ(got.size(), 1u) << label;
    EXPECT_EQ(got[0].destination, 20u) << label;
    EXPECT_EQ(got[0].code, want.code) << label;
    EXPECT_EQ(got[0].type, want.type) << label;
    EXPECT_EQ(got[0].data, want.payload)
        << label << "\n got " << Describe(got[0].data) << "\n want " << Describe(want.payload);
}

TEST_F(NotifyTest, EachNotificationArrivesAsItsOneCommand) {
    const std::string x249(249, 'x'), x300(300, 'x');
    const Case cases[] = {
        {kAdmin,
         "VORN_TYPE_PROXY",
         R"({"ie_proxy":{"use_proxy":true}})",
         {0x5012, 1, Utf16("-UseProxy=1")}},
        {kAdmin,
         "VORN_TYPE_PROXY",
         R"({"ie_proxy":{"use_proxy":"true"}})",
         {0x5012, 1, Utf16("-UseProxy=1")}},
        {kAdmin,
         "VORN_TYPE_PROXY",
         R"({"ie_proxy":{"use_proxy":"TRUE"}})",
         {0x5012, 1, Utf16("-UseProxy=0")},
         "[vornExt_OnNotify][JsonIn][use_proxy][TRUE]"},
        {kAdmin,
         "VORN_TYPE_PROXY",
         R"({"ie_proxy":{"use_proxy":1}})",
         {0x5012, 1, Utf16("-UseProxy=0")}},
        {kAdmin, "VORN_TYPE_PROXY", "", {0x5012, 1, Utf16("-UseProxy=0")}},
        {kAdmin,
         "VORN_TYPE_SARN_CENSUS",
         R"({"feedback":{"enable":1}})",
         {0x5008, 1, Utf16("-SarnFeedbackEnabled=1")}},
        {kAdmin,
         "VORN_TYPE_SARN_CENSUS",
         R"({"census":{"port":80}})",
         {0x5008, 1, Utf16("-SarnFeedbackEnabled=0")},
         "[vornExt_OnNotify][JsonIn][census][port][80]"},
        {kAdmin,
         "VORN_TYPE_SARN_CENSUS",
         R"({"feedback":{"enable":-1}})",
         {0x5008, 1, Utf16("-SarnFeedbackEnabled=-1")}},
        {kAdmin,
         "VORN_TYPE_TRUSTED_PROGRAM",
         R"({"count":3,"list":["a.exe","b.exe","d.exe"]})",
         {0x5010, 3, Utf16("a.exe|b.exe|d.exe")}},
        {kAdmin,
         "VORN_TYPE_TRUSTED_PROGRAM",
         R"({"count":2,"list":["","b.exe"]})",
         {0x5010, 3, Utf16("|b.exe")}},
        {kAdmin,
         "VORN_TYPE_TRUSTED_PROGRAM",
         R"({"count":5,"list":["a.exe",null,"c.exe"]})",
         {0x5010, 3, Utf16("a.exe|c.exe")}},
        {kAdmin,
         "VORN_TYPE_TRUSTED_PROGRAM",
         R"({"count":1,"list":["C:\\Prüfung\\日本.exe"]})",
         {0x5010, 3, Utf16("C:\\Prüfung\\日本.exe")}},
        {kAdmin,
         "VORN_TYPE_TRUSTED_PROGRAM",
         R"({"count":0,"list":["a.exe"]})",
         {0x5010, 3, {}},
         "[NotifyTrustedProgramList][wstrLocalWhitelist][LOCAL WHITELIST IS EMPTY]"},
        {kAdmin, "VORN_TYPE_TRUSTED_PROGRAM", R"({"count":-1,"list":["a.exe"]})", {0x5010, 3, {}}},
        {kAdmin, "VORN_TYPE_TRUSTED_PROGRAM", R"({"list":["a.exe"]})", {0x5010, 3, {}}},
        {kAdmin,
         "VORN_TYPE_SELF_PROTECTION",
         R"({"enable":{"file":0,"process":0,"registry":0,"service":0}})",
         {0x4002, 3, Word(0)}},
        {kAdmin, "VORN_TYPE_SELF_PROTECTION", R"({"enable":{"service":2}})", {0x4002, 3, Word(1)}},
        {kAdmin, "VORN_TYPE_SELF_PROTECTION", "", {0x4002, 3, Word(0)}},
        {kAdmin, "VORN_TYPE_SELF_PROTECTION", R"({"enable":{"file":-1}})", {0x4002, 3, Word(1)}},
        {kContext,
         "VORN_TYPE_AGENT_CONTEXT",
         R"({"coexist":"iBorda ü"})",
         {0x5007, 1, Utf16("-IsCoexist=iBorda ü")}},
        {kContext,
         "VORN_TYPE_AGENT_CONTEXT",
         R"({"domain":"corp"})",
         {0x5007, 1, Utf16("-IsCoexist=")},
         "[vornExt_OnNotify][JsonIn][domain][corp]"},
        {kContext,
         "VORN_TYPE_AGENT_CONTEXT",
         R"({"coexist":")" + x249 + "\"}",
         {0x5007, 1, Utf16("-IsCoexist=" + x249)}},
        {kContext,
         "VORN_TYPE_AGENT_CONTEXT",
         R"({"coexist":")" + x300 + "\"}",
         {0x5007, 1, Utf16("-IsCoexist=" + x249)}},
        {kContext,
         "VORN_TYPE_AGGRESSIVE_DETECTION",
         R"({"iproduct_aggre_detect_flag":1})",
         {0x5015, 1, Utf16("{\"iproduct_aggre_detect_flag\":1}\n")},
         "[vornExt_OnNotify][JsonIn][iproduct_aggre_detect_flag][1]"},
        // Read through const access: no null members join what is forwarded.
        {kContext,
         "VORN_TYPE_AGGRESSIVE_DETECTION",
         R"({"z":[1,"é"],"a":{"b":null}})",
         {0x5015, 1,
          Utf16(R"({"a":{"b":null},"z":[1,"\u00e9"]})"
                "\n")}},
        {kContext, "VORN_TYPE_AGGRESSIVE_DETECTION", "", {0x5015, 1, Utf16("null\n")}},
        {"VORN_ONNOTIFY_XDR_SETTING",
         "VORN_TYPE_DATALAKE_LOGGING_INFO",
         "",
         {0x5014, 1, Utf16("null\n")}},
        {"VORN_ONNOTIFY_XDR_SETTING",
         "VORN_TYPE_DATALAKE_LOGGING_INFO",
         R"({"enable" : true, "url":"https://lake/ü", "n":[-1, 2.5]})",
         {0x5014, 1,
          Utf16(R"({"enable":true,"n":[-1,2.5],"url":"https://lake/\u00fc"})"
                "\n")}},
        {"VORN_ONNOTIFY_XDR_SETTING",
         "VORN_TYPE_DATALAKE_LOGGING_INFO",
         "\"text\"",
         {0x5014, 1, Utf16("\"text\"\n")}},
        {"VORN_ONNOTIFY_LIGHTWEIGHT_MODE_STATE_CHANGE",
         "VORN_TYPE_LIGHTWEIGHT_MODE_STATE_CHANGE",
         R"({"state":1,"data_ver":"2"})",
         {0x5011, 1, Utf16(kSetConfig + "1")}},
        {"VORN_ONNOTIFY_LIGHTWEIGHT_MODE_STATE_CHANGE",
         "VORN_TYPE_LIGHTWEIGHT_MODE_STATE_CHANGE",
         "{}",
         {0x5011, 1, Utf16(kSetConfig + "0")},
         "[vornExt_OnNotify][JsonIn][data_ver][1]"},
        {"VORN_ONNOTIFY_LIGHTWEIGHT_MODE_STATE_CHANGE",
         "VORN_TYPE_LIGHTWEIGHT_MODE_STATE_CHANGE",
         R"({"state":4294967295})",
         {0x5011, 1, Utf16(kSetConfig + "4294967295")}},
    };
    for (const Case& c : cases) {
        const std::string label = std::string(c.type) + " " + c.content.substr(0, 80);
        log.Clear();
        EXPECT_EQ(Notify(c.id, c.type, c.content), 0) << label;
        ExpectOneCommand(Take(), c.sent, label);
        EXPECT_EQ(log.Count(kSucceeded), 1) << label;
        if (!c.record.empty()) {
            EXPECT_TRUE(log.Contains(c.record)) << label << "\n " << c.record;
        }
    }
}

// Pattern files handed to the sensor: only newer versions of known
// components, copied into the sensor's temporary folder and announced there.
TEST_F(NotifyTest, ComponentUpdatesCopyNewerKnownPatternsAndAnnounceThem) {
    const std::wstring install = TempDir(L"notify_kxe"), dl = TempDir(L"notify_download");
    RegSetString(kKxeKey, L"InstallDir", install);
    RegSetString(kKxcKey, L"SLF_ADECorvaskVersion", L"1.745.299");
    // The install folder ends with a backslash: the seam holds two.
    const std::wstring adp = install + L"\\temp\\Pattern\\kxadp\\";
    ::SHCreateDirectoryExW(nullptr, adp.c_str(), nullptr);
    ::CreateDirectoryW((dl + L"ikx_adp_1745303.ptn").c_str(), nullptr);
    for (const auto& [path, text] : std::vector<std::pair<std::wstring, std::string>>{
             {dl + L"ikx_adp_1745300.ptn", "new"},
             {adp + L"ikx_adp_1745300.ptn", "old"},
             {dl + L"ikx_adp_1745301.ptn", "p"},
             {dl + L"qvxdrfilter21.ptn", "x"},
             {dl + L"excpGlbQV123401.ptn", "k"},
             {dl + L"ikx_adp_1745303.ptn\\part.bin", "f"},
             {adp + L"ikx_adp_1745304.ptn", "self"}}) {
        WriteFile(path, text);
    }
    const auto element = [&](const std::string& auType, const std::string& version,
                             const std::wstring& folder) {
        return R"({"au_type":)" + auType + R"(,"version":")" + version + R"(","download_folder":)" +
               JsonPath(folder) + "}";
    };
    const auto command = [](const std::wstring& target) {
        return Utf16(L"-Type=" + target.substr(0, target.find(L'|')) + L" -Ptn_data=\"" +
                     target.substr(target.find(L'|') + 1) + L"\"");
    };
    const std::wstring adp300 = L"fans_corvask|" + adp + L"ikx_adp_1745300.ptn";
    const struct {
        std::string content;
        std::vector<std::wstring> targets;                 // update type|target file
        std::vector<std::pair<std::string, int>> records;  // text, level
    } cases[] = {
        {"[" + element("\"48040224\"", "1745300", dl) + "]", {adp300}, {}},
        {"[" + element("\"48040224\"", "1745299", dl) + "]",
         {},
         {{"Current component version [1745299] is newer [1745299]", kInfo}}},
        {"[" + element("1208222244", "1745300", dl) + "]",
         {},
         {{"VORN_JSON_KEY_AU_TYPE is invalid.", kWarn}}},
        {"[" + element("\"0x48040224\"", "1745301 (build 12)", dl) + "]",
         {L"fans_corvask|" + adp + L"ikx_adp_1745301.ptn"},
         {}},
        {"[" + element("\"48040000\"", "1745300", dl) + "]",
         {},
         {{"Unknown AUID: 0x48040000.", kWarn}, {"Unsupport AUID: 0x48040000.", kWarn}}},
        {"[" + element("\"48040224\"", "17.453.00", dl) + "]",
         {},
         {{"Current component version [1745299] is newer [17]", kInfo}}},
        {"[" + element("\"48040224\"", "", dl) + "]",
         {},
         {{"VORN_JSON_KEY_COMPONENT_VERSION is invalid.", kWarn}}},
        {"[" + element("\"48040244\"", "21", dl) + "," + element("\"48040224\"", "1745300", L"") +
             "," + element("\"48040184\"", "123401", dl) + "]",
         {L"xdr_filter|" + install + L"\\temp\\Pattern\\qvxdrfilter\\qvxdrfilter21.ptn",
          L"ker_global|" + install + L"\\temp\\Pattern\\excpglbqv\\excpGlbQV123401.ptn"},
         {{"VORN_JSON_KEY_COMPONENT_DOWNLOAD_FOLDER is empty.", kWarn}}},
        {"[" + element("\"48040224\"", "1745302", dl) + "]",
         {},
         {{"The component file [" + Narrow(dl) + "ikx_adp_1745302.ptn] doesn't exist.", kWarn}}},
        {"[" + element("\"48040224\"", "1745303", dl) + "]",
         {L"fans_corvask|" + adp + L"ikx_adp_1745303.ptn"},
         {}},
        {"[" + element("\"48040224\"", "1745304", adp) + "]",
         {},
         {{"Copy file failed, error: ", kWarn}}},
    };
    for (const auto& c : cases) {
        log.Clear();
        EXPECT_EQ(
            Notify("VORN_SCHEDULE_COMPONENT_UPDATE", "VORN_RUNTIME_COMPONENT_INFO", c.content), 0);
        const auto got = Take();
        ASSERT_EQ(got.size(), c.targets.size()) << c.content;
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_TRUE(got[i].code == 0x5006 && got[i].type == 1) << c.content;
            EXPECT_EQ(got[i].data, command(c.targets[i]))
                << c.content << "\n got " << Describe(got[i].data);
        }
        for (const auto& [record, level] : c.records) {
            EXPECT_TRUE(LoggedAt(record, level)) << c.content << "\n " << record;
        }
        EXPECT_EQ(log.Count(kSucceeded), 1) << c.content;
    }
    EXPECT_EQ(ReadFile(adp + L"ikx_adp_1745300.ptn"), "new");  // replaced
    EXPECT_EQ(ReadFile(adp + L"ikx_adp_1745303.ptn\\part.bin"), "f");
    EXPECT_EQ(ReadFile(dl + L"ikx_adp_1745300.ptn"), "new");  // the download stays
    // Scheduled and manual updates of both types are handled alike.
    for (const char* id : {"VORN_SCHEDULE_COMPONENT_UPDATE", "VORN_MANUAL_COMPONENT_UPDATE"}) {
        for (const char* type :
             {"VORN_RUNTIME_COMPONENT_INFO", "VORN_ALL_PLATFORM_COMPONENT_INFO"}) {
            Notify(id, type, cases[0].content);
            const auto got = Take();
            EXPECT_TRUE(got.size() == 1 && got[0].data == command(adp300)) << id << " " << type;
        }
    }
}

// A sensor that is stopped, a channel that does not open, a sensor that
// rejects the settings: the failure is logged, only self-protection reports
// it to the entry point, and no channel is left bound.
TEST_F(NotifyTest, UnreachableOrRejectingSensorFailsCleanly) {
    const std::string whitelist = "[ReceivedLocalWhitelistFromPelmoAgent]";
    const std::function<void()> conditions[] = {
        [&] { services.back()->Stop(); },
        [&] { agent.Place(L"PlmPIPC.initfail.dll", L"PlmPIPC.dll"); },
        [&] {
            agent.Place(L"PlmPIPC.dll", L"PlmPIPC.dll");
            StartClient(L"--reply 0x4002=5");
        },
    };
    enum { kStopped, kRefused, kRejected };
    const struct {
        int condition;
        const char* type;
        std::string content;
        bool fails;
        std::vector<std::pair<std::string, int>> records;
        std::string absent;
    } cases[] = {
        {kStopped,
         "VORN_TYPE_PROXY",
         "",
         false,
         {{"Send NIPC Command failed (error: 2).", kWarn}, {"Send NIPC Command failed.", kWarn}},
         ""},
        {kStopped,
         "VORN_TYPE_SELF_PROTECTION",
         "",
         true,
         {{"Notify iKX failed", kInfo}, {"[NotifyClientSelfProtectionSettings][End]", kInfo}},
         ""},
        {kStopped,
         "VORN_TYPE_TRUSTED_PROGRAM",
         R"({"count":1,"list":["a.exe"]})",
         false,
         {{whitelist + "[Send NIPC Command failed!!]", kWarn}, {whitelist + "[End]", kInfo}},
         ""},
        {kRefused,
         "VORN_TYPE_PROXY",
         "",
         false,
         {{"Init NIPC failed", kWarn}},
         "[SendKxIpcNotifaction]"},
        {kRefused,
         "VORN_TYPE_SELF_PROTECTION",
         "",
         true,
         {{"Init NIPC failed", kWarn}},
         "[NotifyClientSelfProtectionSettings][End]"},
        {kRefused,
         "VORN_TYPE_TRUSTED_PROGRAM",
         "",
         false,
         {{"Init NIPC failed", kWarn}},
         whitelist + "[End]"},
        {kRejected,
         "VORN_TYPE_SELF_PROTECTION",
         R"({"enable":{"registry":1}})",
         true,
         {{"iKX reply error: 5.", kWarn}},
         "Notify iKX failed"},
    };
    int condition = -1;
    for (const auto& c : cases) {
        if (c.condition != condition) conditions[condition = c.condition]();
        log.Clear();
        EXPECT_EQ(Notify(kAdmin, c.type, c.content), 0) << c.type;
        EXPECT_EQ(log.Count(kFailed), c.fails) << c.type;
        EXPECT_EQ(log.Count(kSucceeded), !c.fails) << c.type;
        for (const auto& [record, level] : c.records) {
            EXPECT_TRUE(LoggedAt(record, level)) << c.type << "\n " << record;
        }
        EXPECT_FALSE(!c.absent.empty() && log.Contains(c.absent)) << c.type << " " << c.absent;
        EXPECT_FALSE(PlmPipcLoaded()) << c.type;
    }
    const auto got = Take();  // the rejected settings did arrive
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].data, Word(1));
}

// Content of the wrong JSON type fails the handler without a crash, sends
// nothing and leaves no channel bound; odd but well-typed content is handled.
TEST_F(NotifyTest, MistypedContentFailsTheHandlerAndSendsNothing) {
    const char* const kUpdate = "VORN_MANUAL_COMPONENT_UPDATE";
    const char* const kRuntime = "VORN_RUNTIME_COMPONENT_INFO";
    const struct {
        const char *id, *type, *content;
        bool fails;
    } cases[] = {
        {kUpdate, kRuntime, R"({"a":1})", true},
        {kUpdate, kRuntime, R"([{"download_folder":{"x":1}}])", true},
        {kUpdate, kRuntime, R"(["C:\\dl"])", true},
        {kUpdate, kRuntime, R"([{"download_folder":"C:\\dl","au_type":[]}])", true},
        {kUpdate, kRuntime, "5", false},
        {kUpdate, kRuntime, R"("text")", false},
        {kUpdate, kRuntime, "[null,{}]", false},
        {kAdmin, "VORN_TYPE_SELF_PROTECTION", R"({"enable":{"file":"on"}})", true},
        {kAdmin, "VORN_TYPE_SELF_PROTECTION", R"({"enable":[1]})", true},
        {kAdmin, "VORN_TYPE_TRUSTED_PROGRAM", R"({"count":1,"list":[{}]})", true},
        {kAdmin, "VORN_TYPE_TRUSTED_PROGRAM", R"({"count":2,"list":"a.exe"})", true},
        {kAdmin, "VORN_TYPE_TRUSTED_PROGRAM", R"({"count":"3"})", true},
        {kAdmin, "VORN_TYPE_SARN_CENSUS", R"({"feedback":5})", true},
        {kAdmin, "VORN_TYPE_PROXY", R"([1])", true},
        {kAdmin, "VORN_TYPE_PROXY", R"({"ie_proxy":{"use_proxy":{}}})", true},
        {kContext, "VORN_TYPE_AGENT_CONTEXT", R"({"data_time":-5})", true},
        {kContext, "VORN_TYPE_AGENT_CONTEXT", R"({"coexist":["1"]})", true},
        {kContext, "VORN_TYPE_AGGRESSIVE_DETECTION", R"("text")", true},
        {"VORN_ONNOTIFY_LIGHTWEIGHT_MODE_STATE_CHANGE", "VORN_TYPE_LIGHTWEIGHT_MODE_STATE_CHANGE",
         R"({"state":-1})", true},
        {"VORN_ONNOTIFY_LIGHTWEIGHT_MODE_STATE_CHANGE", "VORN_TYPE_LIGHTWEIGHT_MODE_STATE_CHANGE",
         "[]", true},
    };
    for (const auto& c : cases) {
        log.Clear();
        EXPECT_EQ(Notify(c.id, c.type, c.content), 0) << c.type << " " << c.content;
        EXPECT_EQ(log.Count(c.fails ? kFailed : kSucceeded), 1) << c.type << " " << c.content;
        EXPECT_TRUE(Take().empty()) << c.type << " " << c.content;
        EXPECT_FALSE(PlmPipcLoaded()) << c.type << " " << c.content;
    }
    // Thousands of entries are each looked at, and none is sent.
    std::string many = "[";
    for (int i = 0; i < 2000; ++i) many += R"({"au_type":"48040000","version":"1"},)";
    many.back() = ']';
    log.Clear();
    EXPECT_EQ(Notify(kUpdate, kRuntime, many), 0);
    EXPECT_EQ(log.Count("VORN_JSON_KEY_COMPONENT_DOWNLOAD_FOLDER is empty."), 2000);
    EXPECT_EQ(log.Count(kSucceeded), 1);
    EXPECT_TRUE(Take().empty());
}

// Several framework threads notifying at once: every message reaches the
// sensor whole and exactly once.
TEST_F(NotifyTest, ConcurrentNotificationsEachArriveWholeAndOnce) {
    constexpr int kThreads = 6, kEach = 12;
    std::multiset<Bytes> expected;
    std::atomic<int> refused{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kEach; ++i) {
            expected.insert(Utf16(R"({"sender":)" + std::to_string(t) + R"(,"sequence":)" +
                                  std::to_string(i) + "}\n"));
        }
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                refused += Notify("VORN_ONNOTIFY_XDR_SETTING", "VORN_TYPE_DATALAKE_LOGGING_INFO",
                                  R"({"sequence":)" + std::to_string(i) + R"(,"sender":)" +
                                      std::to_string(t) + "}") != 0;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(refused.load(), 0);
    std::multiset<Bytes> received;
    for (const auto& command : Take()) {
        EXPECT_TRUE(command.code == 0x5014 && command.type == 1) << command.code;
        received.insert(command.data);
    }
    EXPECT_EQ(received, expected);
    EXPECT_FALSE(PlmPipcLoaded());
}

// The handlers called in process, where the response is visible: settings
// dropped while a stop of the sensor services holds the flag, result_code on
// a rejection, and sub-dispatchers given a type that is none of theirs.
TEST_F(NotifyTest, HandlersInProcess) {
    ikx::CreateLogWriter();
    ASSERT_TRUE(ikx::InitVornAgentObj());
    const Json::Value request =
        Parse(NotifyRequest(kAdmin, "VORN_TYPE_SELF_PROTECTION", R"({"enable":{"file":1}})"));
    Json::Value response;
    ikx::ServiceStopPending = 1;
    EXPECT_TRUE(ikx::NotifyClientSelfProtectionSettings(request, response));
    ikx::ServiceStopPending = 0;
    EXPECT_TRUE(response.isNull());
    EXPECT_TRUE(LoggedAt("Stopping iKX service now, ignore this Self-Protection settings", kTrace));
    EXPECT_FALSE(log.Contains("[NotifyClientSelfProtectionSettings][End]"));
    EXPECT_TRUE(Take().empty());
    EXPECT_TRUE(ikx::NotifyClientSelfProtectionSettings(request, response));  // the stop is over
    EXPECT_TRUE(response.isNull());
    EXPECT_EQ(Take().size(), 1u);
    StartClient(L"--reply 0x4002=5");
    EXPECT_FALSE(ikx::NotifyClientSelfProtectionSettings(request, response));
    EXPECT_EQ(response, Parse(R"({"result_code":1})"));
    EXPECT_EQ(Take().size(), 1u);

    const std::pair<ikx::RequestHandler, const char*> unmatched[] = {
        {ikx::NotifyClientContextChange, "vorn_type_agent_context"},
        {ikx::NotifyClientContextChange, "VORN_TYPE_PROXY"},
        {ikx::NotifyClientConfigChange, "VORN_TYPE_SELF_PROTECTION"},
        {ikx::NotifyClientConfigChange, "VORN_TYPE_AGENT_CONTEXT"},
    };
    for (const auto& [handler, type] : unmatched) {
        log.Clear();
        Json::Value untouched;
        EXPECT_TRUE(handler(Parse(NotifyRequest(kAdmin, type, R"({"coexist":"1"})")), untouched));
        EXPECT_TRUE(untouched.isNull() && Take().empty()) << type;
        EXPECT_EQ(log.Texts().size(), 3u) << type;  // start, type, end
    }
    ikx::ReleaseVornAgentObj();
    ikx::DestroyLogWriter();
}

}  // namespace
