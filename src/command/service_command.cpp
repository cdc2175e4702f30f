// The start, stop and MDR commands: the sensor as a whole, on or off.
#include "command/command_handlers.h"
#include "command/service_control.h"
#include "sensor/installed.h"
#include "request/json_members.h"
#include "log/log.h"
#include "platform/clock.h"

namespace ikx {
namespace {

enum CommandResult : int { kDone = 0, kFailed = 1, kUnknownValue = 2 };

bool Answer(Json::Value& response, int resultCode) {
    response["result_code"] = resultCode;
    return resultCode == kDone;
}

int SwitchSensorOff(NipcObject* ipc) {
    // The sensor is told first so that it lets go of its drivers.
    SendNIPCCmdToKxAgent(ipc, kNipcTypeNoReply, kKxCmdDisable, nullptr, 0, nullptr);
    SleepMs(kDisableNoticeGraceMs);
    return StopIKXService(ipc, true) ? kDone : kFailed;
}

int SwitchSensorOn(NipcObject* ipc) {
    if (!StartIKXService()) return kFailed;
    uint32_t reply = 0;
    if (!SendNIPCCmdToKxAgent(ipc, kNipcTypeReply, kKxCmdEnableOrNewTask, nullptr, 0, &reply)) {
        LOG_WARN_AS("OnCommandMDRSettings", "Notify KXC enable policy failed");
    }
    return kDone;
}

}  // namespace

bool OnCommandStartService(const Json::Value&, Json::Value& response) {
    return Answer(response, StartIKXService() ? kDone : kFailed);
}

bool OnCommandStopService(const Json::Value&, Json::Value& response) {
    NipcChannel ipc;
    if (!NIPC_BOUND_OR_LOGGED(ipc.Bound())) {
        return Answer(response, kFailed);
    }
    return Answer(response, StopIKXService(ipc.get(), false) ? kDone : kFailed);
}

bool OnCommandMDRSettings(const Json::Value& request, Json::Value& response) {
    if (GetKxServiceGeneration() == KxServiceGeneration::kNone) {
        LOG_INFO("[iKX] KXC has not been installed.");
        return Answer(response, kFailed);
    }
    NipcChannel ipc;
    if (!NIPC_BOUND_OR_LOGGED(ipc.Bound())) {
        return Answer(response, kFailed);
    }
    // Absent reads as 0 and booleans as 0 or 1; text, fractions and the like
    // are no switch position at all.
    int32_t enable = 0;
    const bool readable = NestedMemberInt(request, "command_data", "enable", enable);
    if (readable && enable == 0) return Answer(response, SwitchSensorOff(ipc.get()));
    if (readable && enable == 1) return Answer(response, SwitchSensorOn(ipc.get()));
    LOG_WARN("Unknown command id");
    return Answer(response, kUnknownValue);
}

}  // namespace ikx
