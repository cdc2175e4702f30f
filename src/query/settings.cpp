// Common settings and self-protection queries.
#include "sensor/sensor_registry.h"
#include "sensor/installed.h"
#include "sensor/policy_values.h"
#include "platform/text.h"
#include "request/request_text.h"
#include "log/log.h"
#include "query/query_handlers.h"
#include "query/query_response.h"

namespace ikx {
namespace {

Json::Value Utf8Array(const std::vector<std::wstring>& entries, const std::wstring& prefix) {
    Json::Value array(Json::arrayValue);
    for (const std::wstring& entry : entries) {
        array.append(WideToMultiByte(prefix + entry, kCodePageUtf8));
    }
    return array;
}

}  // namespace

bool OnQueryClientCommonSettings(const Json::Value&, Json::Value& response) {
    LOG_INFO("[vornExt_OnQueryData][OnQueryClientCommonSettings][Start]");
    SetQueryHeader(response, "VORN_ONQUERY_COMMON_SETTINGS");
    response["product_id"] = kProductIkx;
    uint32_t setting = 0;
    if (!GetPolicySetting(setting)) LOG_WARN("Query iKX policy settings failed.");
    response["result_data"]["content"]["enable"] = setting != 0 ? 1 : 0;
    LOG_INFO("CommonSettings response value: %s", response.toStyledString().c_str());
    return true;
}

bool OnQuerySelfProtectionSettings(const Json::Value&, Json::Value& response) {
    LOG_INFO("[vornExt_OnQueryData][OnQuerySelfProtectionSettings][Start]");
    SetQueryHeader(response, "VORN_ONQUERY_SELF_PROTECTION");
    response["product_id"] = kProductIkx;
    Json::Value content(Json::objectValue);
    std::wstring folder;
    if (!HasCurrentClient(ReadSensorSnapshot())) {
        LOG_INFO("iKX haven't installed");
    } else if (GetKxInstallFolder(folder)) {  // no folder, no partial lists
        const SelfProtectionLists& lists = GetSelfProtectionLists();
        content["folder_path"] = Utf8Array({folder}, L"");
        content["registry_path"] = Utf8Array(lists.registryKeys, L"");
        content["process_path"] = Utf8Array(lists.processNames, folder);
        content["service_path"] = Utf8Array(lists.serviceKeys, L"");
        content["whitelist_program"] = Utf8Array(lists.whitelistProcessNames, folder);
    }
    response["result_data"]["content"] = content;
    return true;
}

}  // namespace ikx
