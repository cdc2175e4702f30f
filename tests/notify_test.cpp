// Notifications through the export to the running sensor: the one command
// each becomes as the client service received it, pattern files handed to the
// sensor, failures that leave nothing bound, and many senders at once.
#include <shlobj.h>

#include <atomic>
#include <functional>
#include <set>
#include <thread>

#include "hostagent/vorn_agent.h"
#include "entry/dispatch.h"
#include "sensor/stop_pending.h"
#include "log/log.h"
#include "notify/notify_handlers.h"
#include "notify_world.h"

using namespace testsupport;

namespace {

constexpr int kWarn = 4, kInfo = 6, kTrace = 8;  // levels by number
const char kAdmin[] = "VORN_ONNOTIFY_ADMIN_CFG_CHANGE";
const char kSucceeded[] = "[vornExt_OnNotify][Execute Notify data succeed]";
const char kFailed[] = "[vornExt_OnNotify][Execute Notify data failed]";
const std::string kSetConfig =
    "KXClient.exe -c=SetConfig -Section=KXE -Key=LightWeightMode -Value=";

const Kind kProxy{kAdmin, "VORN_TYPE_PROXY", 0x5012, 1};
const Kind kCensus{kAdmin, "VORN_TYPE_SARN_CENSUS", 0x5008, 1};
const Kind kTrusted{kAdmin, "VORN_TYPE_TRUSTED_PROGRAM", 0x5010, 3};
const Kind kSelf{kAdmin, "VORN_TYPE_SELF_PROTECTION", 0x4002, 3};
const Kind kAgent{"VORN_ONNOTIFY_CONTEXT_CHANGE", "VORN_TYPE_AGENT_CONTEXT", 0x5007, 1};
const Kind kAggressive{"VORN_ONNOTIFY_CONTEXT_CHANGE", "VORN_TYPE_AGGRESSIVE_DETECTION", 0x5015, 1};
const Kind kLake{"VORN_ONNOTIFY_XDR_SETTING", "VORN_TYPE_DATALAKE_LOGGING_INFO", 0x5014, 1};
const Kind kLight{"VORN_ONNOTIFY_LIGHTWEIGHT_MODE_STATE_CHANGE",
                  "VORN_TYPE_LIGHTWEIGHT_MODE_STATE_CHANGE", 0x5011, 1};
const Kind kUpdate{"VORN_MANUAL_COMPONENT_UPDATE", "VORN_RUNTIME_COMPONENT_INFO", 0x5006, 1};

using Notifications = NotifyTest;

TEST_F(Notifications, EachArrivesAsItsOneCommand) {
    const std::string x249(249, 'x');
    const struct {
        Kind kind;
        std::string content;
        Bytes payload;
        std::vector<std::string> records = {};  // records the handler must log
    } cases[] = {
        {kProxy, R"({"ie_proxy":{"use_proxy":true}})", Utf16("-UseProxy=1")},
        {kProxy, R"({"ie_proxy":{"use_proxy":"true"}})", Utf16("-UseProxy=1")},
        {kProxy,
         R"({"ie_proxy":{"use_proxy":"TRUE"}})",
         Utf16("-UseProxy=0"),
         {"[vornExt_OnNotify][JsonIn][use_proxy][TRUE]"}},
        {kProxy, R"({"ie_proxy":{"use_proxy":1}})", Utf16("-UseProxy=0")},
        {kProxy, "", Utf16("-UseProxy=0")},
        {kCensus, R"({"feedback":{"enable":1}})", Utf16("-SarnFeedbackEnabled=1")},
        {kCensus,
         R"({"census":{"port":80}})",
         Utf16("-SarnFeedbackEnabled=0"),
         {"[vornExt_OnNotify][JsonIn][census][port][80]"}},
        {kCensus,
         R"({"data_ver":"7","data_time":1700000000,"feedback":{"enable":1,"file":{"enable":1},)"
         R"("industry_id":12},"census":{"port":8080,"server":"census.local","ssl_port":8443}})",
         Utf16("-SarnFeedbackEnabled=1"),
         {"[vornExt_OnNotify][JsonIn][data_ver][7]",
          "[vornExt_OnNotify][JsonIn][data_time][1700000000]",
          "[vornExt_OnNotify][JsonIn][feedback][enable][1]",
          "[vornExt_OnNotify][JsonIn][feedback][file][enable][1]",
          "[vornExt_OnNotify][JsonIn][feedback][industry_id][12]",
          "[vornExt_OnNotify][JsonIn][census][port][8080]",
          "[vornExt_OnNotify][JsonIn][census][server][census.local]",
          "[vornExt_OnNotify][JsonIn][census][ssl_port][8443]"}},
        {kCensus, R"({"feedback":{"enable":-1}})", Utf16("-SarnFeedbackEnabled=-1")},
        {kTrusted, R"({"count":3,"list":["a.exe","b.exe","d.exe"]})", Utf16("a.exe|b.exe|d.exe")},
        {kTrusted, R"({"count":2,"list":["","b.exe"]})", Utf16("|b.exe")},
        {kTrusted, R"({"count":5,"list":["a.exe",null,"c.exe"]})", Utf16("a.exe|c.exe")},
        {kTrusted, R"({"count":1,"list":["C:\\Prüfung\\日本.exe"]})",
         Utf16("C:\\Prüfung\\日本.exe")},
        {kTrusted,
         R"({"count":0,"list":["a.exe"]})",
         {},
         {"[NotifyTrustedProgramList][wstrLocalWhitelist][LOCAL WHITELIST IS EMPTY]"}},
        {kTrusted, R"({"count":-1,"list":["a.exe"]})", {}},
        {kTrusted, R"({"list":["a.exe"]})", {}},
        {kSelf, R"({"enable":{"file":0,"process":0,"registry":0,"service":0}})", Word(0)},
        {kSelf, R"({"enable":{"service":2}})", Word(1)},
        {kSelf, "", Word(0)},
        {kAgent, R"({"coexist":"iBorda ü"})", Utf16("-IsCoexist=iBorda ü")},
        {kAgent,
         R"({"domain":"corp"})",
         Utf16("-IsCoexist="),
         {"[vornExt_OnNotify][JsonIn][domain][corp]"}},
        {kAgent, R"({"coexist":")" + x249 + "\"}", Utf16("-IsCoexist=" + x249)},
        {kAgent, R"({"coexist":")" + x249 + "yz\"}", Utf16("-IsCoexist=" + x249)},
        {kAggressive,
         R"({"iproduct_aggre_detect_flag":1})",
         Utf16("{\"iproduct_aggre_detect_flag\":1}\n"),
         {"[vornExt_OnNotify][JsonIn][iproduct_aggre_detect_flag][1]"}},
        // Read through const access: no null members join what is forwarded.
        {kAggressive, R"({"z":[1,"é"],"a":{"b":null}})",
         Utf16("{\"a\":{\"b\":null},\"z\":[1,\"\\u00e9\"]}\n")},
        {kAggressive, "", Utf16("null\n")},
        {kLake, "", Utf16("null\n")},
        {kLake, R"({"on" : true, "n":[-1, 2.5]})", Utf16("{\"n\":[-1,2.5],\"on\":true}\n")},
        {kLight, R"({"state":1,"data_ver":"2"})", Utf16(kSetConfig + "1")},
        {kLight, "{}", Utf16(kSetConfig + "0"), {"[vornExt_OnNotify][JsonIn][data_ver][1]"}},
        {kLight, R"({"state":4294967295})", Utf16(kSetConfig + "4294967295")},
    };
    for (const auto& c : cases) {
        const std::string label = std::string(c.kind.type) + " " + c.content.substr(0, 80);
        log.Clear();
        EXPECT_EQ(Notify(c.kind, c.content), 0) << label;
        ExpectSent(c.kind, {c.payload}, label);
        EXPECT_EQ(log.Count(kSucceeded), 1) << label;
        for (const std::string& record : c.records)
            EXPECT_TRUE(log.Contains(record)) << label << "\n " << record;
    }
}

// Pattern files handed to the sensor: only newer versions of known
// components, copied into the sensor's temporary folder and announced there.
TEST_F(Notifications, ComponentUpdatesCopyNewerKnownPatternsAndAnnounceThem) {
    const std::wstring install = TempDir(L"notify_kxe"), dl = TempDir(L"notify_download");
    RegSetString(kKxeKey, L"InstallDir", install);
    RegSetString(kKxcKey, L"SLF_ADECorvaskVersion", L"1.745.299");
    const std::wstring temp = install + L"\\temp\\Pattern\\";  // the seam holds two backslashes
    const std::wstring kxadp = temp + L"kxadp\\";
    ::SHCreateDirectoryExW(nullptr, kxadp.c_str(), nullptr);
    ::CreateDirectoryW((dl + L"ikx_adp_1745303.ptn").c_str(), nullptr);
    for (const std::wstring& name :
         {dl + L"ikx_adp_1745300.ptn", dl + L"ikx_adp_1745301.ptn", dl + L"qvxdrfilter21.ptn",
          dl + L"excpGlbQV123401.ptn", dl + L"ikx_adp_1745303.ptn\\part.bin",
          kxadp + L"ikx_adp_1745304.ptn"}) {
        WriteFile(name, "new");
    }
    // The file there is a hard link to one elsewhere: replaced, not written to.
    const std::wstring elsewhere = dl + L"elsewhere.ptn";
    WriteFile(elsewhere, "old");
    ::CreateHardLinkW((kxadp + L"ikx_adp_1745300.ptn").c_str(), elsewhere.c_str(), nullptr);
    const auto element = [&](const std::string& auType, const std::string& version,
                             const std::wstring& folder = L"download") {
        return R"({"au_type":)" + auType + R"(,"version":")" + version + R"(","download_folder":)" +
               JsonPath(folder == L"download" ? dl : folder) + "}";
    };
    const auto command = [](const std::wstring& type, const std::wstring& target) {
        return Utf16(L"-Type=" + type + L" -Ptn_data=\"" + target + L"\"");
    };
    const std::string ade = "\"48040224\"";
    const auto adp = [&](const std::wstring& version) {
        return command(L"fans_corvask", kxadp + L"ikx_adp_" + version + L".ptn");
    };
    const Bytes adp300 = adp(L"1745300");
    const struct {
        std::vector<std::string> elements;
        std::vector<Bytes> sent;
        std::string record;
        int level;
    } cases[] = {
        // clang-format off
        {{element(ade, "1745300")}, {adp300}, "Update command: [", kInfo},
        {{element(ade, "1745299")}, {}, "Current component version [1745299] is newer [1745299]", kInfo},
        {{element("1208222244", "1745300")}, {}, "VORN_JSON_KEY_AU_TYPE is invalid.", kWarn},
        {{element("\"0x48040224\"", "1745301 (build 12)")}, {adp(L"1745301")}, "", 0},
        {{element("\"48040000\"", "1745300")}, {}, "Unsupport AUID: 0x48040000.", kWarn},
        {{element(ade, "17.453.00")}, {}, "Current component version [1745299] is newer [17]", kInfo},
        {{element(ade, "")}, {}, "VORN_JSON_KEY_COMPONENT_VERSION is invalid.", kWarn},
        {{element("\"48040244\"", "21"), element(ade, "1745300", L""),
          element("\"48040184\"", "123401")},
         {command(L"xdr_filter", temp + L"qvxdrfilter\\qvxdrfilter21.ptn"),
          command(L"ker_global", temp + L"excpglbqv\\excpGlbQV123401.ptn")},
         "VORN_JSON_KEY_COMPONENT_DOWNLOAD_FOLDER is empty.", kWarn},
        {{element(ade, "1745302")}, {},
         "The component file [" + Narrow(dl) + "ikx_adp_1745302.ptn] doesn't exist.", kWarn},
        {{element(ade, "1745303")}, {adp(L"1745303")}, "", 0},  // a folder, copied whole
        {{element(ade, "1745304", kxadp)}, {}, "Copy file failed, error: ", kWarn},  // onto itself
        // clang-format on
    };
    for (const auto& c : cases) {
        std::string content;
        for (const std::string& e : c.elements) content += (content.empty() ? "[" : ",") + e;
        log.Clear();
        EXPECT_EQ(Notify(kUpdate, content + "]"), 0);
        ExpectSent(kUpdate, c.sent, content);
        EXPECT_TRUE(c.record.empty() || log.CountHaving(c.record, c.level))
            << content << "\n " << c.record;
        EXPECT_EQ(log.Count(kSucceeded), 1) << content;
    }
    EXPECT_EQ(ReadFile(kxadp + L"ikx_adp_1745300.ptn"), "new");  // replaced
    EXPECT_EQ(ReadFile(elsewhere), "old");
    EXPECT_EQ(ReadFile(kxadp + L"ikx_adp_1745303.ptn\\part.bin"), "new");
    EXPECT_EQ(ReadFile(kxadp + L"ikx_adp_1745304.ptn"), "new");
    EXPECT_EQ(ReadFile(dl + L"ikx_adp_1745300.ptn"), "new");  // the download stays
    {
        // No install folder: nothing placed, not even at the root of the working drive.
        const NoInstallFolderFits noFolder(agent);
        const std::wstring root = L"C:\\temp\\Pattern\\kxadp\\";
        ::SHCreateDirectoryExW(nullptr, root.c_str(), nullptr);
        ::DeleteFileW((root + L"ikx_adp_1745300.ptn").c_str());  // an earlier run's
        ::SetCurrentDirectoryW(install.c_str());
        EXPECT_EQ(Notify(kUpdate, "[" + element(ade, "1745300") + "]"), 0);
        ExpectSent(kUpdate, {}, "no install folder");
        EXPECT_EQ(::GetFileAttributesW((root + L"ikx_adp_1745300.ptn").c_str()),
                  INVALID_FILE_ATTRIBUTES);
        for (const wchar_t* made :
             {L"C:\\temp\\Pattern\\kxadp", L"C:\\temp\\Pattern", L"C:\\temp"}) {
            ::RemoveDirectoryW(made);
        }
    }
    // Scheduled and manual updates of both types are handled alike.
    for (const char* id : {"VORN_SCHEDULE_COMPONENT_UPDATE", "VORN_MANUAL_COMPONENT_UPDATE"}) {
        for (const char* type :
             {"VORN_RUNTIME_COMPONENT_INFO", "VORN_ALL_PLATFORM_COMPONENT_INFO"}) {
            Notify({id, type, kUpdate.code, kUpdate.commandType},
                   "[" + element(ade, "1745300") + "]");
            ExpectSent(kUpdate, {adp300}, std::string(id) + " " + type);
        }
    }
}

// A sensor that is stopped, a channel that does not open, a sensor that
// rejects the settings: the failure is logged, only self-protection reports
// it to the entry point, and no channel is left bound.
TEST_F(Notifications, UnreachableOrRejectingSensorFailsCleanly) {
    const std::string whitelist = "[ReceivedLocalWhitelistFromPelmoAgent]";
    const std::function<void()> conditions[] = {
        [&] { services.back()->Stop(); },
        [&] { agent.Place(L"PlmPIPC.initfail.dll", L"PlmPIPC.dll"); },
        [&] {
            agent.Place(L"PlmPIPC.dll", L"PlmPIPC.dll");
            StartClient(L"--reply 0x4002=5");
        },
    };
    const struct {
        int condition;
        Kind kind;
        bool fails;
        std::vector<std::pair<std::string, int>> records;
        std::string absent;
    } cases[] = {
        // clang-format off
        {0, kProxy, false,
         {{"Send NIPC Command failed (error: 2).", kWarn}, {"Send NIPC Command failed.", kWarn}}, ""},
        {0, kSelf, true,
         {{"Notify iKX failed", kInfo}, {"[NotifyClientSelfProtectionSettings][End]", kInfo}}, ""},
        {0, kTrusted, false,
         {{whitelist + "[Send NIPC Command failed!!]", kWarn}, {whitelist + "[End]", kInfo}}, ""},
        {1, kProxy, false, {{"Init NIPC failed", kWarn}}, "[SendKxIpcNotifaction]"},
        {1, kSelf, true, {{"Init NIPC failed", kWarn}}, "[NotifyClientSelfProtectionSettings][End]"},
        {1, kTrusted, false, {{"Init NIPC failed", kWarn}}, whitelist + "[End]"},
        {2, kSelf, true, {{"iKX reply error: 5.", kWarn}}, "Notify iKX failed"},
        // clang-format on
    };
    int condition = -1;
    for (const auto& c : cases) {
        if (c.condition != condition) conditions[condition = c.condition]();
        log.Clear();
        EXPECT_EQ(Notify(c.kind, R"({"count":1,"list":["a.exe"],"enable":{"file":1}})"), 0);
        EXPECT_EQ(log.Count(c.fails ? kFailed : kSucceeded), 1) << c.kind.type;
        for (const auto& [record, level] : c.records) {
            EXPECT_TRUE(log.CountHaving(record, level)) << c.kind.type << "\n " << record;
        }
        EXPECT_FALSE(!c.absent.empty() && log.Contains(c.absent)) << c.kind.type << " " << c.absent;
        EXPECT_FALSE(PlmPipcLoaded()) << c.kind.type;
    }
    ExpectSent(kSelf, {Word(1)}, "the rejected settings did arrive");
}

// Content of the wrong JSON type fails the handler without a crash, sends
// nothing and leaves no channel bound; odd but well-typed content is handled.
TEST_F(Notifications, MistypedContentFailsTheHandlerAndSendsNothing) {
    const struct {
        Kind kind;
        const char* content;
        bool fails;
    } cases[] = {
        {kUpdate, R"({"a":1})", true},
        {kUpdate, R"([{"download_folder":{"x":1}}])", true},
        {kUpdate, R"([{"download_folder":"C:\\dl","au_type":[]}])", true},
        {kUpdate, "5", false},
        {kUpdate, "[null,{}]", false},
        {kSelf, R"({"enable":{"file":"on"}})", true},  // read while the channel is open
        {kTrusted, R"({"count":1,"list":[{}]})", true},
        {kTrusted, R"({"count":2,"list":"a.exe"})", true},
        {kTrusted, R"({"count":"3"})", true},
        {kCensus, R"({"feedback":5})", true},
        {kProxy, "[1]", true},
        {kAgent, R"({"data_time":-5})", true},
        {kAggressive, "\"text\"", true},
        {kLight, R"({"state":-1})", true},
    };
    for (const auto& c : cases) {
        const std::string label = std::string(c.kind.type) + " " + c.content;
        log.Clear();
        EXPECT_EQ(Notify(c.kind, c.content), 0) << label;
        EXPECT_EQ(log.Count(c.fails ? kFailed : kSucceeded), 1) << label;
        EXPECT_TRUE(Take().empty()) << label;
        EXPECT_FALSE(PlmPipcLoaded()) << label;
    }
    // Thousands of entries are each looked at, and none is sent.
    std::string many = "[";
    for (int i = 0; i < 2000; ++i) many += R"({"au_type":"48040000","version":"1"},)";
    many.back() = ']';
    log.Clear();
    EXPECT_EQ(Notify(kUpdate, many), 0);
    EXPECT_EQ(log.Count("VORN_JSON_KEY_COMPONENT_DOWNLOAD_FOLDER is empty."), 2000);
    EXPECT_EQ(log.Count(kSucceeded), 1);
    EXPECT_TRUE(Take().empty());
}

// Several framework threads notifying at once: every message reaches the
// sensor whole and exactly once.
// In process, the relay alone: through the export every call would also probe
// the service manager, and Wine's manager stalls or fails under dozens of
// simultaneous connections, which says nothing about the relay.
TEST_F(Notifications, ConcurrentSendersEachArriveWholeAndOnce) {
    ikx::CreateLogWriter();
    ASSERT_TRUE(ikx::InitVornAgentObj());
    constexpr int kThreads = 6, kEach = 12;
    std::vector<Bytes> expected;
    std::atomic<int> refused{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kEach; ++i) {
            const std::string order = std::to_string(t) + R"(,"sequence":)" + std::to_string(i);
            expected.push_back(Utf16(R"({"sender":)" + order + "}\n"));  // keys in sorted order
        }
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                const std::string order = std::to_string(i) + R"(,"sender":)" + std::to_string(t);
                const std::string content = R"({"sequence":)" + order + "}";
                Json::Value response;
                refused += !ikx::NotifyXdrDataLakeLogginInfoChange(
                    Parse(NotifyRequest(kLake.id, kLake.type, content)), response);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(refused.load(), 0);
    std::multiset<Bytes> received;
    for (const auto& command : Take()) received.insert(command.data);
    EXPECT_EQ(received, std::multiset<Bytes>(expected.begin(), expected.end()));
    EXPECT_FALSE(PlmPipcLoaded());
    ikx::ReleaseVornAgentObj();
    ikx::DestroyLogWriter();
}

// A stop of the sensor services holds the flag while it waits for the sensor
// to agree: self-protection settings sent meanwhile are dropped with success,
// and the stop's own request to switch protection off is all the sensor gets.
TEST_F(Notifications, SelfProtectionIsDroppedWhileAStopRuns) {
    StartClient(L"--hold-reply 0x4002");
    AddService(L"QVKXE", true);
    std::thread stop([&] {
        Send(dll.OnCommand, R"({"command_id":"VORN_ONCOMMAND_IAGT_SERVICE","command_data":)"
                            R"({"command_type":"VORN_TYPE_IAGT_STOP"}})");
    });
    const bool asked = WaitUntil([&] { return testbed::ReadIpcJournal(journal).size() == 1; }, 20s);
    if (asked) {
        EXPECT_EQ(Notify(kSelf, R"({"enable":{"file":1}})"), 0);
        EXPECT_TRUE(log.CountHaving(
            "Stopping iKX service now, ignore this Self-Protection settings", kTrace));
        EXPECT_EQ(log.Count(kSucceeded), 1);
    }
    ReleaseHeldReply();
    stop.join();
    ASSERT_TRUE(asked);
    ExpectSent(kSelf, {Word(0)}, "the stop's own request");
    log.Clear();  // the stop is over: the settings go out again, to a stopped sensor
    EXPECT_EQ(Notify(kSelf, R"({"enable":{"file":1}})"), 0);
    EXPECT_TRUE(log.Contains("Notify iKX failed"));
}

// The handlers called in process, where the response is visible: untouched
// when settings are dropped or accepted, result_code on a rejection, and none
// written by sub-dispatchers given a type that is none of theirs.
TEST_F(Notifications, HandlersInProcess) {
    ikx::CreateLogWriter();
    ASSERT_TRUE(ikx::InitVornAgentObj());
    const Json::Value request =
        Parse(NotifyRequest(kAdmin, kSelf.type, R"({"enable":{"file":1}})"));
    Json::Value response;
    ikx::ServiceStopPending = 1;  // dropped: the response stays as it was handed in
    EXPECT_TRUE(ikx::NotifyClientSelfProtectionSettings(request, response));
    ikx::ServiceStopPending = 0;
    EXPECT_TRUE(response.isNull());
    ExpectSent(kSelf, {}, "a stop already running");
    {
        // A stop that begins while the IPC library is binding: the library's
        // gate holds the handler there until the flag is set.
        const std::wstring gate = L"ikx_pipc_gate_" + std::to_wstring(::GetCurrentProcessId());
        HANDLE release = ::CreateEventW(nullptr, TRUE, FALSE, gate.c_str());
        HANDLE entered = ::CreateEventW(nullptr, TRUE, FALSE, (gate + L".entered").c_str());
        ASSERT_TRUE(release && entered);
        ::SetEnvironmentVariableW(L"IKX_PIPC_INIT_GATE", gate.c_str());
        log.Clear();
        bool dropped = false;
        std::thread handler(
            [&] { dropped = ikx::NotifyClientSelfProtectionSettings(request, response); });
        const DWORD reached = ::WaitForSingleObject(entered, 30000);
        ikx::ServiceStopPending = 1;
        ::SetEvent(release);
        handler.join();
        ikx::ServiceStopPending = 0;
        ::SetEnvironmentVariableW(L"IKX_PIPC_INIT_GATE", nullptr);
        ::CloseHandle(entered);
        ::CloseHandle(release);
        EXPECT_EQ(reached, DWORD(WAIT_OBJECT_0)) << "the handler never reached the binding";
        EXPECT_TRUE(dropped);
        EXPECT_TRUE(response.isNull());
        EXPECT_EQ(log.CountHaving("Stopping iKX service now, ignore this Self-Protection settings",
                                  kTrace),
                  1);
        EXPECT_FALSE(log.Contains("[NotifyClientSelfProtectionSettings][End]"));
        ExpectSent(kSelf, {}, "a stop that began while binding");
        EXPECT_FALSE(PlmPipcLoaded());
    }
    EXPECT_TRUE(ikx::NotifyClientSelfProtectionSettings(request, response));  // accepted
    EXPECT_TRUE(response.isNull());
    ExpectSent(kSelf, {Word(1)}, "after the stop");
    StartClient(L"--reply 0x4002=5");
    EXPECT_FALSE(ikx::NotifyClientSelfProtectionSettings(request, response));
    EXPECT_EQ(response, Parse(R"({"result_code":1})"));
    ExpectSent(kSelf, {Word(1)}, "rejected");

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
        EXPECT_TRUE(untouched.isNull()) << type;
        ExpectSent(kAgent, {}, type);
    }
    ikx::ReleaseVornAgentObj();
    ikx::DestroyLogWriter();
}

}  // namespace
