// Context changes: the agent's coexistence state and the aggressive-detection
// flag, each selected by the notify type.
#include <shlwapi.h>

#include <cwchar>

#include "hostagent/ipc.h"
#include "platform/text.h"
#include "log/log.h"
#include "notify/notify_handlers.h"
#include "notify/notify_json.h"
#include "notify/relays.h"

namespace ikx {
namespace {

// Appends to a fixed buffer (host paths share the command size), cutting what does not fit, and
// never between the two halves of a surrogate pair.
void AppendBounded(wchar_t (&buffer)[kCommandUnits], const wchar_t* text) {
    if (wcsncat_s(buffer, kCommandUnits, text, _TRUNCATE) != STRUNCATE) return;
    const size_t length = wcslen(buffer);
    if (IS_HIGH_SURROGATE(buffer[length - 1])) buffer[length - 1] = L'\0';
}

// The host executable's path and the sensor paths beside it,
// for the log only. False when the path cannot be had.
bool LogHostPaths() {
    wchar_t module[kCommandUnits] = {};
    if (::GetModuleFileNameW(::GetModuleHandleW(nullptr), module, kCommandUnits) == 0) return false;
    LOG_INFO_AS("NotifyClientAgentContextChange", "[vornExt_OnNotify][GetModuleFileNameW][%ws]",
                module);
    ::PathRemoveFileSpecW(module);
    AppendBounded(module, L"\\..\\iService\\iKX\\KXE");
    LOG_INFO_AS("NotifyClientAgentContextChange", "[vornExt_OnNotify][Path][iKX folder][%ws]",
                module);
    wchar_t exe[kCommandUnits] = {};
    AppendBounded(exe, module);
    AppendBounded(exe, L"\\KXClient.exe");
    LOG_INFO_AS("NotifyClientAgentContextChange", "[vornExt_OnNotify][Path][iKX EXE][%ws]", exe);
    return true;
}

const NotifyTypeRow kContextRows[] = {
    {L"VORN_TYPE_AGENT_CONTEXT",
     "[NotifyClientContextChange][Enter NotifyClientAgentContextChange]",
     NotifyClientAgentContextChange},
    {L"VORN_TYPE_AGGRESSIVE_DETECTION",
     "[NotifyClientContextChange][Enter NotifyAggressiveDetectionChange]",
     NotifyAggressiveDetectionChange},
};

}  // namespace

bool NotifyClientContextChange(const Json::Value& request, Json::Value&) {
    const std::wstring type = ReadWide(request["notify_data"], "notify_type");
    LOG_INFO("[NotifyClientContextChange][Start]");
    LOG_INFO("[NotifyClientContextChange][JsonIn][NotifyData_NotifyType][%ws]", type.c_str());
    RunNotifyTypeRow(kContextRows, type, request, __func__);
    LOG_INFO("[NotifyClientContextChange][End]");
    return true;
}

bool NotifyClientAgentContextChange(const Json::Value& request) {
    LOG_INFO("[NotifyClientAgentContextChange][Start]");
    EchoEnvelopeFramed(__func__, request);
    if (!LogHostPaths()) return false;

    const Json::Value& content = NotifyContent(request);
    const std::wstring dataVer = ReadWide(content, "data_ver");
    const unsigned long dataTime = content["data_time"].asUInt();
    const std::wstring agentGuid = ReadWide(content, "agent_guid");
    const std::wstring domain = ReadWide(content, "domain");
    const std::wstring domainGuid = ReadWide(content, "domain_guid");
    const std::wstring location = ReadWide(content, "location");
    const std::wstring agentContext = ReadWide(content, "agent_context");
    const std::wstring coexist = ReadWide(content, "coexist");
    LOG_INFO("[vornExt_OnNotify][JsonIn][data_ver][%ws]", dataVer.c_str());
    LOG_INFO("[vornExt_OnNotify][JsonIn][data_time][%lu]", dataTime);
    LOG_INFO("[vornExt_OnNotify][JsonIn][agent_guid][%ws]", agentGuid.c_str());
    LOG_INFO("[vornExt_OnNotify][JsonIn][domain][%ws]", domain.c_str());
    LOG_INFO("[vornExt_OnNotify][JsonIn][domain_guid][%ws]", domainGuid.c_str());
    LOG_INFO("[vornExt_OnNotify][JsonIn][location][%ws]", location.c_str());
    LOG_INFO("[vornExt_OnNotify][JsonIn][agent_context][%ws]", agentContext.c_str());
    LOG_INFO("[vornExt_OnNotify][JsonIn][coexist][%ws]", coexist.c_str());

    wchar_t command[kCommandUnits] = L"-IsCoexist=";
    AppendBounded(command, coexist.c_str());
    RelayToSensor(kNipcTypeNoReply, kKxCmdAgentContext, command);

    LogJsonDataEnd(__func__);
    LOG_INFO("[NotifyClientAgentContextChange][End]");
    return true;
}

bool NotifyAggressiveDetectionChange(const Json::Value& request) {
    LOG_INFO("[NotifyAggressiveDetectionChange][Start]");
    EchoEnvelopeFramed(__func__, request);
    const Json::Value& content = NotifyContent(request);
    LOG_INFO("[vornExt_OnNotify][JsonIn][data_ver][%s]", ReadText(content, "data_ver").c_str());
    LOG_INFO("[vornExt_OnNotify][JsonIn][data_time][%lu]",
             static_cast<unsigned long>(content["data_time"].asUInt()));
    LOG_INFO("[vornExt_OnNotify][JsonIn][iproduct_aggre_detect_flag][%lu]",
             static_cast<unsigned long>(content["iproduct_aggre_detect_flag"].asUInt()));
    RelayToSensor(kNipcTypeNoReply, kKxCmdAggressiveDetection,
                  MultiByteToWide(CompactJson(content), kCodePageUtf8));
    LOG_INFO("[NotifyAggressiveDetectionChange][End]");
    return true;
}

}  // namespace ikx
