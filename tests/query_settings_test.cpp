// The common settings and self-protection queries through the real DLL: the
// stored policy setting, and the guarded paths built from the install folder.
#include "sensor_world.h"

using namespace testsupport;

namespace {

class SettingsQueries : public QueryTest {
  protected:
    Json::Value Protection() { return Content("VORN_ONQUERY_SELF_PROTECTION"); }
    // The process and whitelist lists for an install folder (JSON-escaped).
    static Json::Value Programs(const std::string& folder) {
        return Parse("[\"" + folder + "KXClient.exe\",\"" + folder + "KXEServiceShell.exe\",\"" +
                     folder + "KXEFrameworkHost.exe\"]");
    }
};

TEST_F(SettingsQueries, CommonSettingsEnableFollowsTheStoredPolicySetting) {
    const Json::Value answer = Ask(IkxQuery("VORN_ONQUERY_COMMON_SETTINGS"));
    EXPECT_EQ(answer, Parse(R"({"product_id":"VORN_IPRODUCT_IKX","result_code":0,
        "query_id":"VORN_ONQUERY_COMMON_SETTINGS",
        "result_data":{"type":"VORN_QUERY_RESULT_TYPE_DATA","content":{"enable":0}}})"));
    EXPECT_TRUE(Logged("Query iKX policy settings failed."));
    EXPECT_TRUE(Logged("CommonSettings response value: " + answer.toStyledString()));

    // The value is read as four bytes whatever its type; eight do not fit.
    const DWORD two = 2, one = 1, zero = 0;
    const uint64_t wide = 5;
    const struct {
        DWORD type;
        const void* data;
        DWORD size;
        int enable;
        const char* record;
    } cases[] = {{REG_DWORD, &two, 4, 1, "<< Ret: 1, policy setting: 2"},
                 {REG_DWORD, &one, 4, 1, "<< Ret: 1, policy setting: 1"},
                 {REG_DWORD, &zero, 4, 0, "<< Ret: 1, policy setting: 0"},
                 {REG_SZ, L"1", 4, 1, "<< Ret: 1, policy setting: 49"},  // 0x00000031
                 {REG_BINARY, &zero, 1, 0, "<< Ret: 1, policy setting: 0"},
                 {REG_QWORD, &wide, 8, 0, "<< Ret: 0, policy setting: 0"},
                 {REG_NONE, nullptr, 0, 0, "<< Ret: 0, policy setting: 0"}};  // no value
    for (const auto& c : cases) {
        RegDeleteValue(kKxcKey, L"PolicySetting");
        if (c.data) RegSetBinary(kKxcKey, L"PolicySetting", c.data, c.size, c.type);
        EXPECT_EQ(Content("VORN_ONQUERY_COMMON_SETTINGS")["enable"], c.enable) << c.record;
        EXPECT_TRUE(Logged(c.record)) << c.record;
        EXPECT_EQ(log.Count("Query iKX policy settings failed."), c.record[8] == '0') << c.record;
    }
}

TEST_F(SettingsQueries, InstallFolderRulesShowInTheLists) {
    AddService(L"KXClient");  // the older client name counts too
    RegSetString(kKxcKey, L"Version", L"3.9.1");
    // Non-ASCII folders reach the JSON in UTF-8.
    RegSetString(kKxeKey, L"InstallDir", L"D:\\\u00dcberwachung\\\u76e3\u8996\\");
    const std::string utf8 = R"(D:\\)"
                             "\xc3\x9c"
                             R"(berwachung\\)"
                             "\xe7\x9b\xa3\xe8\xa6\x96"
                             R"(\\)";
    Json::Value content = Protection();
    EXPECT_EQ(content["folder_path"], Parse("[\"" + utf8 + "\"]"));
    EXPECT_EQ(content["process_path"], Programs(utf8));
    EXPECT_EQ(content["whitelist_program"], Programs(utf8));

    // An expandable string or an empty value: the host agent's parent folder.
    std::string agentFolder = Narrow(agent.Folder());
    agentFolder.pop_back();
    const Json::Value fallback(agentFolder.substr(0, agentFolder.rfind('\\') + 1) +
                               "\\iService\\iKX\\KXE\\");
    RegSetString(kKxeKey, L"InstallDir", L"D:\\Kx", REG_EXPAND_SZ);
    EXPECT_EQ(Protection()["folder_path"][0], fallback);
    RegSetString(kKxeKey, L"InstallDir", L"");
    EXPECT_EQ(Protection()["folder_path"][0], fallback);

    // Without the host agent's folder, or with one too long for its rule to fit
    // 260 units: the 32-bit program files folder. No folder that fits: no lists.
    wchar_t saved[MAX_PATH] = {};
    const DWORD had = ::GetEnvironmentVariableW(L"ProgramFiles(x86)", saved, MAX_PATH);
    const std::wstring longFolder = L"C:\\" + std::wstring(240, L'p');
    const struct {
        std::wstring agentFolder, programFiles;
        Json::Value processes;  // null: an empty content object
    } rows[] = {
        {L"", L"C:\\Program Files (x86)",
         Programs(R"(C:\\Program Files (x86)\\Corvask\\iService\\iKX\\KXE\\)")},
        {longFolder + L"\\Pelmo Client\\", L"C:\\PF",
         Programs(R"(C:\\PF\\Corvask\\iService\\iKX\\KXE\\)")},
        {L"", longFolder, Json::Value()},
    };
    for (const auto& row : rows) {
        RegDeleteValue(kAgentKey, L"Application Path");
        if (!row.agentFolder.empty()) RegSetString(kAgentKey, L"Application Path", row.agentFolder);
        ::SetEnvironmentVariableW(L"ProgramFiles(x86)", row.programFiles.c_str());
        content = Protection();
        if (row.processes.isNull()) {
            EXPECT_EQ(content, Json::Value(Json::objectValue));
        } else {
            EXPECT_EQ(content["process_path"], row.processes);
        }
    }
    ::SetEnvironmentVariableW(L"ProgramFiles(x86)", had ? saved : nullptr);
}

TEST_F(SettingsQueries, SelfProtectionListsNeedACurrentClient) {
    RegSetString(kKxeKey, L"InstallDir", L"D:\\Kx");  // a backslash is added
    const Json::Value empty(Json::objectValue);
    EXPECT_EQ(Protection(), empty);  // nothing installed
    EXPECT_TRUE(Logged("iKX haven't installed"));
    AddService(L"QVKXE");
    RegSetString(kKxeKey, L"Version", L"3.0.0");
    EXPECT_EQ(Protection(), empty);  // the engine alone
    AddService(L"QVKXC");
    RegSetString(kKxcKey, L"Version", L"2.9.10");
    EXPECT_EQ(Protection(), empty);  // client of the older major
    RegDeleteValue(kKxcKey, L"Version");
    EXPECT_EQ(Protection(), empty);  // client without version
    services.clear();
    RegSetString(kKxcKey, L"Version", L"3.0.0");
    EXPECT_EQ(Protection(), empty);  // version without client service

    AddService(L"QVKXC");
    Json::Value expected = Parse(R"({"folder_path":["D:\\Kx\\"],
        "registry_path":["HKLM\\SOFTWARE\\Corvask\\KXC","HKLM\\SOFTWARE\\Corvask\\KXE"],
        "service_path":["SYSTEM\\CurrentControlSet\\Services\\QVKXC",
            "SYSTEM\\CurrentControlSet\\Services\\QVKXE",
            "SYSTEM\\CurrentControlSet\\Services\\qvkxcore",
            "SYSTEM\\CurrentControlSet\\Services\\qvkxflt",
            "SYSTEM\\CurrentControlSet\\Services\\qvkxutil"]})");
    expected["process_path"] = expected["whitelist_program"] = Programs(R"(D:\\Kx\\)");
    EXPECT_EQ(Protection(), expected);
}

}  // namespace
