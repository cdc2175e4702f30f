// Status log and component info queries, and the sibling's MDR status.
#include "request/json_text.h"
#include "sensor/versions.h"
#include "sensor/components.h"
#include "sensor/policy_values.h"
#include "sensor/installed.h"
#include "platform/text.h"
#include "hostagent/sibling_extension.h"
#include "log/log.h"
#include "query/query_handlers.h"
#include "query/query_response.h"
#include "query/sensor_status.h"

namespace ikx {

uint32_t GetBordaAgentSlfStatus();

namespace {

enum PluginStatus : int { kPluginAbsent = 1, kPluginIdle = 3, kPluginInUse = 7 };
constexpr uint32_t kMdrPolicySetting = 1;

// Reads the sibling's answer; 1 unless it carries a data-typed status.
uint32_t StatusFromSiblingAnswer(const char* text) {
    Json::Value answer;
    if (!ParseJsonText(text, answer))
        LOG_WARN_AS("GetBordaAgentSlfStatus", "Failed to parse reponse data");
    const Json::Value* data =
        answer.isObject() ? answer.find("result_data", "result_data" + 11) : nullptr;
    const Json::Value* type = data && data->isObject() ? data->find("type", "type" + 4) : nullptr;
    if (!type || !type->isString() || type->asString() != kResultTypeData) {
        LOG_WARN_AS("GetBordaAgentSlfStatus", "Response json format is malformed");
        return kPluginAbsent;
    }
    const Json::Value* content = data->find("content", "content" + 7);
    const Json::Value* status =
        content && content->isObject() ? content->find("status", "status" + 6) : nullptr;
    // A status that is not a non-negative integer cannot be judged: count it as absent.
    if (!status || !status->isUInt()) return kPluginAbsent;
    return status->asUInt();
}

Json::Value PatternInfoOf(const AgentComponent& row, bool inUse) {
    Json::Value item;
    item["SLF_Name"] = row.auid;
    const std::string version = AnsiToUtf8(row.version);
    item["SLF_Version"] = VersionWithoutDots(version);
    item["SLF_LastUpdateTime"] = row.download_time;
    item["SLF_IsInUse"] = inUse ? 1 : 0;
    item["Display_Version"] = version;
    return item;
}

Json::Value ComponentInfoOf(const AgentComponent& row) {
    Json::Value item;
    item["au_klass"] = std::to_string(row.au_klass);
    item["au_type"] = row.au_type;
    item["au_platform_id"] = std::to_string(row.au_platform_id);
    item["au_language_id"] = std::to_string(row.au_language_id);
    item["version"] = VersionWithoutDots(AnsiToUtf8(row.version)) + " 0 0";
    item["download_folder"] = row.download_folder;
    return item;
}

}  // namespace

uint32_t GetBordaAgentSlfStatus() {
    uint32_t result = kPluginAbsent;
    USE_BORDA_EXTENSION([&result](const SiblingEntryPoints& sibling) {
        Json::Value request;
        request["query_id"] = "VORN_ONQUERY_MDR_STATUS";
        request["product_id"] = "VORN_IPRODUCT_IBORDA";
        request["query_data"] = Json::Value(Json::objectValue);
        const std::string text = Json::FastWriter().write(request);
        LOG_WARN_AS("GetBordaAgentSlfStatus", "wstrOut: %ws",
                    MultiByteToWide(text, kCodePageUtf8).c_str());
        uint32_t length = 0;
        char* answer = nullptr;
        if (sibling.OnQueryData(0, static_cast<uint32_t>(text.size()), text.c_str(), &length,
                                &answer) == 0 &&
            answer) {
            result = StatusFromSiblingAnswer(answer);
            sibling.Free(answer);
        }
    });
    return result;
}

bool QueryClientStatusLog(const Json::Value&, Json::Value& response) {
    LOG_TRACE("[Start]");
    uint32_t setting = 0;
    if (!GetPolicySetting(setting)) LOG_WARN("Query iKX policy settings failed.");
    const uint32_t sibling =
        setting == kMdrPolicySetting ? GetBordaAgentSlfStatus() : uint32_t{kPluginInUse};
    const int32_t sensor = GetKXAgentServiceStatus();

    int status = kPluginIdle;
    if ((setting == kMdrPolicySetting && sibling == kPluginAbsent) ||
        sensor == kSensorNotInstalled) {
        status = kPluginAbsent;
    } else if (sibling == kPluginInUse && sensor == kSensorRunning) {
        status = kPluginInUse;
    }
    Json::Value plugin;
    plugin["SLF_PropertyID"] = 9;
    plugin["SLF_PluginServiceID"] = 734;
    plugin["SLF_Status"] = status;
    plugin["SLF_LastCompliantState"] = "0";
    Json::Value patterns(Json::arrayValue);
    if (status == kPluginAbsent) {
        LOG_INFO("iKX has not been Installed");
        plugin["SLF_Version"] = "";
    } else {
        std::string version;
        GetKxcVersionString(version);
        plugin["SLF_Version"] = plugin["Display_Version"] = AnsiToUtf8(version);
        std::vector<AgentComponent> rows;
        GetKxAgentComponentList(rows);
        for (const AgentComponent& row : rows)
            patterns.append(PatternInfoOf(row, status == kPluginInUse));
    }
    Json::Value& content = response["result_data"]["content"];
    content["PluginServiceInfo"] = plugin;
    content["PatternInfo"] = patterns;
    content["EngineInfo"] = Json::Value(Json::arrayValue);
    SetQueryHeader(response, "VORN_ONQUERY_CLIENT_STATUS_LOG");
    LOG_TRACE("[End]");
    return true;
}

bool QueryClientComponentInfo(const Json::Value& request, Json::Value& response) {
    LOG_TRACE("[Start]");
    if (request.isObject() && request.isMember("product_id")) {
        response["product_id"] = request["product_id"];
    }
    response["query_id"] = "VORN_ONQUERY_COMPONENT_INFO";
    response["result_code"] = 0;
    const KxServiceGeneration generation = GetKxServiceGeneration();
    DWORD client = SERVICE_STOPPED, engine = SERVICE_STOPPED;
    if (generation == KxServiceGeneration::kNone) {
        LOG_INFO("[vornExt_OnQueryData][QueryClientComponentInfo][Error][iKX is not installed]");
    } else {
        ReadBothServiceStates(generation, client, engine);
    }
    Json::Value content(Json::arrayValue);
    if (client == SERVICE_RUNNING && engine == SERVICE_RUNNING) {
        LOG_INFO("iKX Service is running");
        std::vector<AgentComponent> rows;
        GetKxAgentComponentList(rows);
        for (const AgentComponent& row : rows) content.append(ComponentInfoOf(row));
    } else {
        LOG_INFO("iKX Service IS NOT running!!");
    }
    response["result_data"]["type"] = kResultTypeData;
    response["result_data"]["content"] = content;
    LOG_TRACE("[End]");
    return true;
}

}  // namespace ikx
