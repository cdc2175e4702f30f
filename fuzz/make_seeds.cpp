// Writes the seed corpora under FOLDER/<target>/ from the testbed's own
// generators and the requests, notifications and packages its tests use:
//   make_seeds FOLDER
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "detection_logs.h"
#include "hostile_requests.h"

namespace {

namespace fs = std::filesystem;
using Seeds = std::vector<std::pair<std::string, std::string>>;  // file name, bytes

std::string Utf16le(const std::string& ascii) {
    std::string bytes;
    for (char c : ascii) bytes += {c, '\0'};
    return bytes;
}

std::string Envelope(const std::string& kind, const std::string& id, const std::string& type,
                     const std::string& data) {
    return R"({"product_id":"VORN_IPRODUCT_IKX",")" + kind + R"(_id":")" + id + R"(",")" + kind +
           R"(_data":{")" + kind + R"(_type":")" + type + "\"" + data + "}}";
}

Seeds Notifications() {
    const auto notify = [](const char* id, const char* type, const std::string& content) {
        return Envelope("notify", id, type, ",\"notify_content\":" + content);
    };
    return {
        {"component_update",
         notify(
             "VORN_SCHEDULE_COMPONENT_UPDATE", "VORN_RUNTIME_COMPONENT_INFO",
             R"j([{"au_type":"48040224","version":"1745300 (build 12)","download_folder":"C:\\dl"}])j")},
        {"agent_context", notify("VORN_ONNOTIFY_CONTEXT_CHANGE", "VORN_TYPE_AGENT_CONTEXT",
                                 R"({"coexist":"1","data_ver":2,"agent_guid":"g","domain":"d"})")},
        {"aggressive", notify("VORN_ONNOTIFY_CONTEXT_CHANGE", "VORN_TYPE_AGGRESSIVE_DETECTION",
                              R"({"iproduct_aggre_detect_flag":1})")},
        {"self_protection",
         notify("VORN_ONNOTIFY_ADMIN_CFG_CHANGE", "VORN_TYPE_SELF_PROTECTION",
                R"({"enable":{"file":1,"process":0,"registry":0,"service":0}})")},
        {"trusted", notify("VORN_ONNOTIFY_ADMIN_CFG_CHANGE", "VORN_TYPE_TRUSTED_PROGRAM",
                           R"({"count":2,"list":["a.exe","b.exe"]})")},
        {"census", notify("VORN_ONNOTIFY_ADMIN_CFG_CHANGE", "VORN_TYPE_SARN_CENSUS",
                          R"({"feedback":{"enable":1},"server":"s","data_ver":"7"})")},
        {"proxy", notify("VORN_ONNOTIFY_ADMIN_CFG_CHANGE", "VORN_TYPE_PROXY",
                         R"({"ie_proxy":{"use_proxy":true}})")},
        {"datalake", notify("VORN_ONNOTIFY_XDR_SETTING", "VORN_TYPE_DATALAKE_LOGGING_INFO",
                            R"({"level":[1,2.5,null,"x"]})")},
        {"lightweight", notify("VORN_ONNOTIFY_LIGHTWEIGHT_MODE_STATE_CHANGE",
                               "VORN_TYPE_LIGHTWEIGHT_MODE_STATE_CHANGE", R"({"state":1})")},
        {"no_content",
         Envelope("notify", "VORN_ONNOTIFY_XDR_SETTING", "VORN_TYPE_DATALAKE_LOGGING_INFO", "")}};
}

Seeds Requests() {
    Seeds seeds = {
        {"query_status", Envelope("query", "VORN_ONQUERY_SERVICE_STATUS", "", "")},
        {"query_components",
         Envelope("query", "VORN_ONQUERY_COMPONENT_INFO", "VORN_RUNTIME_COMPONENT_INFO", "")},
        {"command_install", Envelope("command", "VORN_ONCOMMAND_INSTALLATION",
                                     "VORN_IAGENT_INSTALL", R"(,"PkgPath":"C:\\pkg")")},
        {"command_mdr", Envelope("command", "VORN_ONCOMMAND_MDR_SETTING", "", R"(,"enable":0)")},
        {"command_policy",
         Envelope("command", "VORN_ONCOMMAND_IAGENT_POLICY", "VORN_IAGENT_ISSUE_POLICY",
                  R"(,"cfg_flag":2,"cfg_data":"ba1")")},
        {"nul_inside", Envelope("query", "VORN_ONQUERY_PRODUCT_VERSION", "", "") +
                           std::string(1, '\0') + "{\"after\":1}"}};
    std::vector<std::string> valid;
    for (const auto& seed : seeds) valid.push_back(seed.second);
    std::mt19937 random(19);
    for (int i = 0; seeds.size() < 16 && i < 1000; ++i) {
        std::string text = testsupport::HostileEnvelope(random, valid);
        if (text.size() <= 4096) seeds.push_back({"hostile_" + std::to_string(i), text});
    }
    return seeds;
}

Seeds DetectionLogs() {
    Seeds seeds;
    for (const auto& sample : detlog::MixedSamples(2048)) {
        const std::string bytes =
            sample.bytes.size() > 4096 ? sample.bytes.substr(0, 2000) : sample.bytes;
        seeds.push_back({sample.name, bytes});
    }
    for (const auto& sample : detlog::EachFieldMissing())
        seeds.push_back({sample.name, sample.bytes});
    return seeds;
}

Seeds LogPaths() {
    return {{"folder", Utf16le("C:\\logs\\valid_1000.json")},
            {"bare", Utf16le("missing_SLF_RuleID.json")},
            {"slash_climb", Utf16le("x/../../name.json")},
            {"trailing", Utf16le("C:\\logs\\")}};
}

Seeds Policies() {
    return {{"ba1", Utf16le("ba1")},
            {"ba2", Utf16le("ba2")},
            {"long", Utf16le("zZ09-_zZ09-_zZ0")},
            {"not_digit", Utf16le("b+a1")},
            {"one_unit", Utf16le("7")}};
}

Seeds Versions() {
    return {{"client", Utf16le("3.0.1308")},
            {"old_client", Utf16le("2.9.1")},
            {"engine", Utf16le("3.3.5120")},
            {"component", "1.745.300"},
            {"notified", "1745300 (build 12)"},
            {"hex_auid", "48040224"},
            {"overflow", Utf16le("99999999999.-2147483649.+7")}};
}

Seeds EntryNames() {
    return {{"installer", "Setup/KXInstaller.exe"},
            {"agent", "Pelmo/vornAgent.dll"},
            {"manifest", "KXSensor.manifest"},
            {"pattern", "Pattern/data_1.bin"},
            {"climb", "sub/../../escaped.txt"},
            {"blank_dots", ".. /escaped.txt"},
            {"drive", "C:escaped.txt"},
            {"rooted", "\\escaped.txt"},
            {"stream", "a.txt:hidden"},
            {"dots", "a/.../b..c/./d."}};
}

Seeds LogRecords() {
    return {{"query", "VORN_EXT_IKX\nvornExt_OnQueryData\nExecute query data succeed"},
            {"move", "VORN_EXT_IKX\nvornExt_ParseLog\nMoving file from C:\\a to C:\\b\t\x01\xff"},
            {"long", std::string(9000, 'm')}};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds FOLDER\n");
        return 2;
    }
    const std::pair<const char*, Seeds> corpora[] = {
        {"request_envelope", Requests()},   {"notify_content", Notifications()},
        {"detection_log", DetectionLogs()}, {"corrupt_log_name", LogPaths()},
        {"policy_data", Policies()},        {"versions", Versions()},
        {"zip_entry_name", EntryNames()},   {"log_record", LogRecords()}};
    for (const auto& [target, seeds] : corpora) {
        const fs::path folder = fs::path(argv[1]) / target;
        fs::create_directories(folder);
        for (const auto& [name, bytes] : seeds) {
            std::ofstream(folder / ("seed_" + name), std::ios::binary) << bytes;
        }
    }
    return 0;
}
