// Notifications through the export to the running sensor: the one command
// each becomes as the client service received it, pattern files handed to the
// sensor, failures that leave nothing bound, and many senders at once.
#include <shlobj.h>

#include <atomic>
#include <fstream>
#include <set>
#include <thread>

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

}  // namespace
