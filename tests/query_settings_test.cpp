// The common settings and self-protection queries through the real DLL: the
// stored policy setting, and the guarded paths built from the install folder.
#include <gtest/gtest.h>
#include <json/json.h>

#include <memory>

#include "support.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

const std::wstring kKxcKey = L"SOFTWARE\\Corvask\\KXC";
const std::wstring kKxeKey = L"SOFTWARE\\Corvask\\KXE";
const std::wstring kAgentKey = L"SOFTWARE\\Corvask\\VarnixNTCorp\\CurrentVersion";

class SettingsQueries : public ::testing::Test {
  protected:
    void SetUp() override {
        Clean();
        ASSERT_NE(dll.module, nullptr);
        dll.Init();
    }
    void TearDown() override {
        dll.Deinit();
        services.clear();
        Clean();
    }
    static void Clean() {
        RegDeleteTree(kKxcKey);
        RegDeleteTree(kKxeKey);
        for (const wchar_t* name : {L"QVKXC", L"QVKXE", L"KXClient", L"KXE"}) {
            RemoveServiceIfPresent(name);
        }
    }
    void AddService(const std::wstring& name) {
        services.push_back(std::make_unique<ScopedService>(
            name, L"\"" + BinDir() + L"KxSensorService.exe\" --name " + name + L" --no-ipc"));
    }
    Json::Value Ask(const char* queryId) {
        const std::string response =
            dll.Query(std::string(R"({"product_id":"VORN_IPRODUCT_IKX",)") + R"("query_id":")" +
                      queryId + R"("})");
        Json::Value value;
        EXPECT_TRUE(Json::Reader().parse(response, value)) << response;
        return value;
    }
    Json::Value Enable() {
        const Json::Value answer = Ask("VORN_ONQUERY_COMMON_SETTINGS");
        EXPECT_EQ(answer["result_code"], 0);
        EXPECT_EQ(answer["result_data"]["content"].getMemberNames(),
                  std::vector<std::string>{"enable"});
        return answer["result_data"]["content"]["enable"];
    }
    Json::Value Protection() {
        return Ask("VORN_ONQUERY_SELF_PROTECTION")["result_data"]["content"];
    }

    LogCollector log;
    HostAgent agent;
    ProductDll dll;
    std::vector<std::unique_ptr<ScopedService>> services;
};

Json::Value Strings(std::initializer_list<std::string> items) {
    Json::Value array(Json::arrayValue);
    for (const std::string& item : items) array.append(item);
    return array;
}

Json::Value ProcessPaths(const std::string& folder) {
    return Strings(
        {folder + "KXClient.exe", folder + "KXEServiceShell.exe", folder + "KXEFrameworkHost.exe"});
}

TEST_F(SettingsQueries, CommonSettingsFollowTheStoredPolicySetting) {
    const Json::Value answer = Ask("VORN_ONQUERY_COMMON_SETTINGS");
    EXPECT_EQ(answer.getMemberNames(),
              (std::vector<std::string>{"product_id", "query_id", "result_code", "result_data"}));
    EXPECT_EQ(answer["product_id"], "VORN_IPRODUCT_IKX");
    EXPECT_EQ(answer["query_id"], "VORN_ONQUERY_COMMON_SETTINGS");
    EXPECT_EQ(answer["result_data"]["type"], "VORN_QUERY_RESULT_TYPE_DATA");
    EXPECT_EQ(answer["result_data"]["content"]["enable"], 0);  // no key at all
    EXPECT_TRUE(log.WaitFor("Query iKX policy settings failed.", 5s));

    RegSetDword(kKxcKey, L"PolicySetting", 2);
    EXPECT_EQ(Enable(), 1);
    RegSetDword(kKxcKey, L"PolicySetting", 1);
    EXPECT_EQ(Enable(), 1);
    RegSetDword(kKxcKey, L"PolicySetting", 0);
    EXPECT_EQ(Enable(), 0);
    EXPECT_TRUE(log.WaitFor("<< Ret: 1, policy setting: 0", 5s));
    RegDeleteValue(kKxcKey, L"PolicySetting");
    log.Clear();
    EXPECT_EQ(Enable(), 0);
    EXPECT_TRUE(log.WaitFor("Query iKX policy settings failed.", 5s));
    EXPECT_TRUE(log.WaitFor(
        "CommonSettings response value: " + Ask("VORN_ONQUERY_COMMON_SETTINGS").toStyledString(),
        5s));
}

TEST_F(SettingsQueries, PolicySettingIsReadAsFourBytesWhateverItsType) {
    // "1" in UTF-16 with its terminator is four bytes, 0x00000031.
    RegSetString(kKxcKey, L"PolicySetting", L"1");
    EXPECT_EQ(Enable(), 1);
    const unsigned char zeroByte = 0;
    RegSetBinary(kKxcKey, L"PolicySetting", &zeroByte, 1, REG_BINARY);
    EXPECT_EQ(Enable(), 0);
    // Eight bytes do not fit: the read fails and the setting stays 0.
    const uint64_t wide = 5;
    RegSetBinary(kKxcKey, L"PolicySetting", &wide, sizeof wide, REG_QWORD);
    log.Clear();
    EXPECT_EQ(Enable(), 0);
    EXPECT_TRUE(log.WaitFor("Query iKX policy settings failed.", 5s));
}

TEST_F(SettingsQueries, SelfProtectionListsForAnInstalledSensor) {
    AddService(L"QVKXC");
    RegSetString(kKxcKey, L"Version", L"3.0.0");
    RegSetString(kKxeKey, L"InstallDir", L"D:\\Kx\\");
    const Json::Value answer = Ask("VORN_ONQUERY_SELF_PROTECTION");
    EXPECT_EQ(answer["product_id"], "VORN_IPRODUCT_IKX");
    EXPECT_EQ(answer["query_id"], "VORN_ONQUERY_SELF_PROTECTION");
    EXPECT_EQ(answer["result_code"], 0);
    EXPECT_EQ(answer["result_data"]["type"], "VORN_QUERY_RESULT_TYPE_DATA");
    const Json::Value& content = answer["result_data"]["content"];
    EXPECT_EQ(content.getMemberNames(),
              (std::vector<std::string>{"folder_path", "process_path", "registry_path",
                                        "service_path", "whitelist_program"}));
    EXPECT_EQ(content["folder_path"], Strings({"D:\\Kx\\"}));
    EXPECT_EQ(content["registry_path"],
              Strings({"HKLM\\SOFTWARE\\Corvask\\KXC", "HKLM\\SOFTWARE\\Corvask\\KXE"}));
    EXPECT_EQ(content["process_path"], ProcessPaths("D:\\Kx\\"));
    EXPECT_EQ(content["service_path"], Strings({"SYSTEM\\CurrentControlSet\\Services\\QVKXC",
                                                "SYSTEM\\CurrentControlSet\\Services\\QVKXE",
                                                "SYSTEM\\CurrentControlSet\\Services\\qvkxcore",
                                                "SYSTEM\\CurrentControlSet\\Services\\qvkxflt",
                                                "SYSTEM\\CurrentControlSet\\Services\\qvkxutil"}));
    EXPECT_EQ(content["whitelist_program"], ProcessPaths("D:\\Kx\\"));
}

TEST_F(SettingsQueries, InstallFolderRulesShowInTheLists) {
    AddService(L"KXClient");  // the older client name counts too
    RegSetString(kKxcKey, L"Version", L"3.9.1");

    RegSetString(kKxeKey, L"InstallDir", L"D:\\Kx");
    EXPECT_EQ(Protection()["folder_path"], Strings({"D:\\Kx\\"}));

    // Non-ASCII folders reach the JSON in UTF-8.
    RegSetString(kKxeKey, L"InstallDir", L"D:\\\u00dcberwachung\\\u76e3\u8996");
    const std::string utf8 =
        "D:\\\xc3\x9c"
        "berwachung\\\xe7\x9b\xa3\xe8\xa6\x96\\";
    Json::Value content = Protection();
    EXPECT_EQ(content["folder_path"], Strings({utf8}));
    EXPECT_EQ(content["process_path"], ProcessPaths(utf8));
    EXPECT_EQ(content["whitelist_program"], ProcessPaths(utf8));

    // An expandable string and an empty value are passed over for the host
    // agent's parent folder, which already ends with a backslash.
    RegSetString(kKxeKey, L"InstallDir", L"D:\\Kx", REG_EXPAND_SZ);
    std::string agentFolder = Narrow(agent.Folder());
    agentFolder.pop_back();
    const std::string parent = agentFolder.substr(0, agentFolder.rfind('\\') + 1);
    EXPECT_EQ(Protection()["folder_path"], Strings({parent + "\\iService\\iKX\\KXE\\"}));
    RegSetString(kKxeKey, L"InstallDir", L"");
    EXPECT_EQ(Protection()["folder_path"], Strings({parent + "\\iService\\iKX\\KXE\\"}));

    // Without the host agent's folder: the 32-bit program files folder.
    RegDeleteValue(kAgentKey, L"Application Path");
    wchar_t saved[MAX_PATH] = {};
    const DWORD had = ::GetEnvironmentVariableW(L"ProgramFiles(x86)", saved, MAX_PATH);
    ::SetEnvironmentVariableW(L"ProgramFiles(x86)", L"C:\\Program Files (x86)");
    content = Protection();
    ::SetEnvironmentVariableW(L"ProgramFiles(x86)", had ? saved : nullptr);
    EXPECT_EQ(content["folder_path"],
              Strings({"C:\\Program Files (x86)\\Corvask\\iService\\iKX\\KXE\\"}));
    EXPECT_EQ(content["process_path"][0],
              "C:\\Program Files (x86)\\Corvask\\iService\\iKX\\KXE\\KXClient.exe");
}

TEST_F(SettingsQueries, SelfProtectionIsEmptyUnlessTheClientIsCurrent) {
    RegSetString(kKxeKey, L"InstallDir", L"D:\\Kx\\");
    const auto expectEmpty = [&](const char* what) {
        const Json::Value content = Protection();
        EXPECT_TRUE(content.isObject()) << what;
        EXPECT_TRUE(content.empty()) << what;
    };
    expectEmpty("nothing installed");
    EXPECT_TRUE(log.WaitFor("iKX haven't installed", 5s));

    // The engine alone does not count here.
    AddService(L"QVKXE");
    RegSetString(kKxeKey, L"Version", L"3.0.0");
    expectEmpty("engine only");

    AddService(L"QVKXC");
    RegSetString(kKxcKey, L"Version", L"2.9.10");
    expectEmpty("client of the older major");
    RegDeleteValue(kKxcKey, L"Version");
    expectEmpty("client without version");

    services.clear();
    RegSetString(kKxcKey, L"Version", L"3.0.0");
    expectEmpty("version without client service");
}

}  // namespace
