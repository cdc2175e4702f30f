// Administrator configuration: trusted programs, census feedback and proxy,
// each selected by the notify type.
#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "hostagent/ipc.h"
#include "platform/text.h"
#include "log/log.h"
#include "notify/notify_handlers.h"
#include "notify/notify_json.h"
#include "notify/relays.h"

namespace ikx {

namespace {

const NotifyTypeRow kConfigRows[] = {
    {L"VORN_TYPE_TRUSTED_PROGRAM", "[NotifyClientConfigChange][Enter NotifyTrustedProgramList]",
     NotifyTrustedProgramList},
    {L"VORN_TYPE_SARN_CENSUS", "[NotifyClientConfigChange][Enter NotifyClientSarnCensusInfo]",
     NotifyClientSarnCensusInfo},
    {L"VORN_TYPE_PROXY", "[NotifyClientConfigChange][Enter NotifyClientProxyChange]",
     NotifyClientProxyChange},
};

}  // namespace

bool NotifyClientConfigChange(const Json::Value& request, Json::Value&) {
    const std::wstring type = ReadWide(request["notify_data"], "notify_type");
    LOG_INFO("[NotifyClientConfigChange][Start]");
    LOG_INFO("[NotifyClientConfigChange][JsonIn][NotifyData_NotifyType][%ws]", type.c_str());
    RunNotifyTypeRow(kConfigRows, type, request, __func__);
    LOG_INFO("[NotifyClientConfigChange][End]");
    return true;
}

bool NotifyTrustedProgramList(const Json::Value& request) {
    LOG_INFO("[NotifyTrustedProgramList][Start]");
    std::wstring whitelist;
    const Json::Value& content = NotifyContent(request);
    const int count = content["count"].asInt();
    const Json::Value& list = content["list"];
    // Positions past the end of the list read as empty entries and add
    // nothing, so the walk stops there; a list that is not an array still
    // has its first position read, which raises its type error.
    const int64_t positions = std::max<int64_t>(list.size(), 1);
    for (int i = 0; i < count && i < positions; ++i) {
        const std::string entry = list[static_cast<Json::ArrayIndex>(i)].asString();
        if (entry.empty()) continue;
        // The separator follows the position, not what the list holds so far.
        if (i != 0) whitelist += L'|';
        whitelist += MultiByteToWide(entry, kCodePageUtf8);
    }
    if (whitelist.empty()) {
        LOG_INFO("[NotifyTrustedProgramList][wstrLocalWhitelist][LOCAL WHITELIST IS EMPTY]");
    } else {
        LOG_INFO("[NotifyTrustedProgramList][wstrLocalWhitelist][%ws]", whitelist.c_str());
    }
    RelayToSensor(kNipcTypeReply, kKxCmdTrustedPrograms, whitelist);
    LOG_INFO("[NotifyTrustedProgramList][End]");
    return true;
}

bool NotifyClientSarnCensusInfo(const Json::Value& request) {
    LOG_INFO("[NotifyClientSarnCensusInfo][Start]");
    EchoEnvelopeFramed(__func__, request);
    const Json::Value& content = NotifyContent(request);
    const Json::Value& feedback = content["feedback"];
    const Json::Value& census = content["census"];
    const std::wstring dataVer = ReadWide(content, "data_ver");
    const unsigned long dataTime = content["data_time"].asUInt();
    const int feedbackEnable = feedback["enable"].asInt();
    const int fileEnable = feedback["file"]["enable"].asInt();
    const int industryId = feedback["industry_id"].asInt();
    const int port = census["port"].asInt();
    const std::wstring server = ReadWide(census, "server");
    const int sslPort = census["ssl_port"].asInt();
    LOG_INFO("[vornExt_OnNotify][JsonIn][data_ver][%ws]", dataVer.c_str());
    LOG_INFO("[vornExt_OnNotify][JsonIn][data_time][%lu]", dataTime);
    LOG_INFO("[vornExt_OnNotify][JsonIn][feedback][enable][%d]", feedbackEnable);
    LOG_INFO("[vornExt_OnNotify][JsonIn][feedback][file][enable][%d]", fileEnable);
    LOG_INFO("[vornExt_OnNotify][JsonIn][feedback][industry_id][%d]", industryId);
    LOG_INFO("[vornExt_OnNotify][JsonIn][census][port][%d]", port);
    LOG_INFO("[vornExt_OnNotify][JsonIn][census][server][%ws]", server.c_str());
    LOG_INFO("[vornExt_OnNotify][JsonIn][census][ssl_port][%d]", sslPort);

    wchar_t command[kCommandUnits] = {};
    _snwprintf_s(command, kCommandUnits, _TRUNCATE, L"-SarnFeedbackEnabled=%d", feedbackEnable);
    RelayToSensor(kNipcTypeNoReply, kKxCmdSarnCensus, command);

    LogJsonDataEnd(__func__);
    LOG_INFO("[NotifyClientSarnCensusInfo][End]");
    return true;
}

bool NotifyClientProxyChange(const Json::Value& request) {
    LOG_INFO("[NotifyClientProxyChange][Start]");
    EchoEnvelopeFramed(__func__, request);
    const Json::Value& content = NotifyContent(request);
    LOG_INFO("[vornExt_OnNotify][JsonIn][use_proxy][%s]",
             ReadText(content["ie_proxy"], "use_proxy").c_str());
    RelayToSensor(kNipcTypeNoReply, kKxCmdProxy,
                  ProxyEnabled(content) ? L"-UseProxy=1" : L"-UseProxy=0");
    LogJsonDataEnd(__func__);
    LOG_INFO("[NotifyClientProxyChange][End]");
    return true;
}

}  // namespace ikx
