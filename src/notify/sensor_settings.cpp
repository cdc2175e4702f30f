// Self-protection, data-lake logging and lightweight mode: one switch or one
// block of settings each, carried to the sensor client.
#include <string>

#include "hostagent/ipc.h"
#include "hostagent/nipc_channel.h"
#include "platform/text.h"
#include "sensor/stop_pending.h"
#include "log/log.h"
#include "notify/notify_handlers.h"
#include "notify/notify_json.h"
#include "notify/relays.h"

namespace ikx {
namespace {

// A stop of the sensor services sets the flag from another framework thread;
// the exchange of 0 with 0 reads it with full ordering.
bool StopPending() {
    int32_t expected = 0;
    return !ServiceStopPending.compare_exchange_strong(expected, 0);
}

// Sends the word and judges the reply; false (after its record) on failure.
bool DeliverSelfProtection(NipcChannel& channel, const Json::Value& request) {
    const uint32_t word = SelfProtectionWord(NotifyContent(request));
    uint32_t reply = 0;
    if (!SendNIPCCmdToKxAgent(channel.get(), kNipcTypeReply, kKxCmdSelfProtection, &word,
                              sizeof word, &reply)) {
        LOG_INFO_AS("NotifyClientSelfProtectionSettings", "Notify iKX failed");
        return false;
    }
    if (reply != 0) {
        LOG_WARN_AS("NotifyClientSelfProtectionSettings", "iKX reply error: %d.",
                    static_cast<int>(reply));
        return false;
    }
    return true;
}

}  // namespace

bool NotifyClientSelfProtectionSettings(const Json::Value& request, Json::Value& response) {
    LOG_INFO("[NotifyClientSelfProtectionSettings][Start]");
    if (StopPending()) {
        LOG_TRACE("Stopping iKX service now, ignore this Self-Protection settings");
        return true;
    }
    NipcChannel channel;
    if (!NIPC_BOUND_OR_LOGGED(channel.Bound())) {
        response["result_code"] = 1;
        return false;
    }
    // A stop may have begun while the IPC library was loading: it has sent
    // "protection off", which this setting must not overtake.
    if (StopPending()) {
        LOG_TRACE("Stopping iKX service now, ignore this Self-Protection settings");
        return true;
    }
    const bool delivered = DeliverSelfProtection(channel, request);
    if (!delivered) response["result_code"] = 1;
    channel.Release();
    LOG_INFO("[NotifyClientSelfProtectionSettings][End]");
    return delivered;
}

bool NotifyXdrDataLakeLogginInfoChange(const Json::Value& request, Json::Value&) {
    LOG_INFO("[NotifyXdrDataLakeLogginInfoChange][Start]");
    // Passed on whole as it came, not interpreted.
    const std::string text = CompactJson(NotifyContent(request));
    RelayToSensor(kNipcTypeNoReply, kKxCmdDataLakeLogging, MultiByteToWide(text, kCodePageUtf8));
    LOG_INFO("[NotifyXdrDataLakeLogginInfoChange][End]");
    return true;
}

bool NotifyClientLightWeightModeChange(const Json::Value& request, Json::Value&) {
    LOG_INFO("[NotifyClientLightWeightModeChange][Start]");
    EchoEnvelope(__func__, request);
    const Json::Value& content = NotifyContent(request);
    uint32_t state = 0;
    std::string dataVer = "1";
    if (content.isMember("state")) state = content["state"].asUInt();
    if (content.isMember("data_ver")) dataVer = ReadText(content, "data_ver");
    LOG_INFO("[vornExt_OnNotify][JsonIn][data_ver][%s]", dataVer.c_str());
    LOG_INFO("[vornExt_OnNotify][JsonIn][state][%d]", static_cast<int>(state));
    const std::wstring command = std::wstring(L"KXClient.exe -c=SetConfig") + L" -Section=" +
                                 L"KXE" + L" -Key=" + L"LightWeightMode" + L" -Value=" +
                                 std::to_wstring(state);
    RelayToSensor(kNipcTypeNoReply, kKxCmdLightWeightMode, command);
    LOG_INFO("[NotifyClientLightWeightModeChange][End]");
    return true;
}

}  // namespace ikx
