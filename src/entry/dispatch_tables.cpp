#include "entry/dispatch.h"

#include "command/command_handlers.h"
#include "notify/notify_handlers.h"
#include "query/query_handlers.h"

namespace ikx {
namespace {

struct DispatchRow {
    const wchar_t* id;
    const wchar_t* type;
    RequestHandler handler;
};

const DispatchRow kQueryRows[] = {
    {L"VORN_ONQUERY_CLIENT_STATUS_LOG", L"VORN_CLIENT_ALL_STATUS_LOG", QueryClientStatusLog},
    {L"VORN_ONQUERY_COMPONENT_INFO", L"VORN_RUNTIME_COMPONENT_INFO", QueryClientComponentInfo},
    {L"VORN_ONQUERY_COMPONENT_INFO", L"VORN_ALL_PLATFORM_COMPONENT_INFO", QueryClientComponentInfo},
    {L"VORN_ONQUERY_PRODUCT_VERSION", L"", QueryClientProductVersion},
    {L"VORN_ONQUERY_SERVICE_STATUS", L"", OnQueryClientServiceStatus},
    {L"VORN_ONQUERY_COMMON_SETTINGS", L"", OnQueryClientCommonSettings},
    {L"VORN_ONQUERY_SELF_PROTECTION", L"", OnQuerySelfProtectionSettings},
};

const DispatchRow kCommandRows[] = {
    {L"VORN_ONCOMMAND_MDR_SETTING", L"", OnCommandMDRSettings},
    {L"VORN_ONCOMMAND_INSTALLATION", L"VORN_IAGENT_INSTALL", OnCommandInstall},
    {L"VORN_ONCOMMAND_INSTALLATION", L"VORN_IAGENT_UNINSTALL", OnCommandUninstall},
    {L"VORN_ONCOMMAND_IAGT_SERVICE", L"VORN_TYPE_IAGT_START", OnCommandStartService},
    {L"VORN_ONCOMMAND_IAGT_SERVICE", L"VORN_TYPE_IAGT_STOP", OnCommandStopService},
    {L"VORN_ONCOMMAND_IAGENT_POLICY", L"VORN_IAGENT_ISSUE_POLICY", OnCommandAgentPolicy},
};

const DispatchRow kNotifyRows[] = {
    {L"VORN_SCHEDULE_COMPONENT_UPDATE", L"VORN_RUNTIME_COMPONENT_INFO",
     NotifyClientComponentUpdate},
    {L"VORN_SCHEDULE_COMPONENT_UPDATE", L"VORN_ALL_PLATFORM_COMPONENT_INFO",
     NotifyClientComponentUpdate},
    {L"VORN_MANUAL_COMPONENT_UPDATE", L"VORN_RUNTIME_COMPONENT_INFO", NotifyClientComponentUpdate},
    {L"VORN_MANUAL_COMPONENT_UPDATE", L"VORN_ALL_PLATFORM_COMPONENT_INFO",
     NotifyClientComponentUpdate},
    {L"VORN_ONNOTIFY_CONTEXT_CHANGE", L"VORN_TYPE_AGENT_CONTEXT", NotifyClientContextChange},
    {L"VORN_ONNOTIFY_CONTEXT_CHANGE", L"VORN_TYPE_AGGRESSIVE_DETECTION", NotifyClientContextChange},
    {L"VORN_ONNOTIFY_ADMIN_CFG_CHANGE", L"VORN_TYPE_SELF_PROTECTION",
     NotifyClientSelfProtectionSettings},
    {L"VORN_ONNOTIFY_ADMIN_CFG_CHANGE", L"VORN_TYPE_SARN_CENSUS", NotifyClientConfigChange},
    {L"VORN_ONNOTIFY_ADMIN_CFG_CHANGE", L"VORN_TYPE_TRUSTED_PROGRAM", NotifyClientConfigChange},
    {L"VORN_ONNOTIFY_ADMIN_CFG_CHANGE", L"VORN_TYPE_PROXY", NotifyClientConfigChange},
    {L"VORN_ONNOTIFY_XDR_SETTING", L"VORN_TYPE_DATALAKE_LOGGING_INFO",
     NotifyXdrDataLakeLogginInfoChange},
    {L"VORN_ONNOTIFY_LIGHTWEIGHT_MODE_STATE_CHANGE", L"VORN_TYPE_LIGHTWEIGHT_MODE_STATE_CHANGE",
     NotifyClientLightWeightModeChange},
};

template <size_t N>
DispatchMap BuildMap(const DispatchRow (&rows)[N]) {
    DispatchMap map;
    // multimap keeps equal ids in insertion order, which is table order.
    for (const DispatchRow& row : rows) map.emplace(row.id, std::make_pair(row.type, row.handler));
    return map;
}

const DispatchMap g_queryMap = BuildMap(kQueryRows);
const DispatchMap g_commandMap = BuildMap(kCommandRows);
const DispatchMap g_notifyMap = BuildMap(kNotifyRows);

}  // namespace

const DispatchMap& QueryDispatchMap() {
    return g_queryMap;
}
const DispatchMap& CommandDispatchMap() {
    return g_commandMap;
}
const DispatchMap& NotifyDispatchMap() {
    return g_notifyMap;
}

RequestHandler FindHandler(const DispatchMap& map, const std::wstring& id, const std::wstring& type,
                           RowComparedFn compared) {
    const auto range = map.equal_range(id);
    for (auto it = range.first; it != range.second; ++it) {
        if (compared) compared(it->second.first, type);
        if (it->second.first == type) return it->second.second;
    }
    return nullptr;
}

}  // namespace ikx
