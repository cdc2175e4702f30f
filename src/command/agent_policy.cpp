// The agent policy command: recorded in the registry, forwarded to the
// sibling iBorda, applied to the sensor, taken back at iBorda when the
// sensor part fails, and acknowledged to the management server.
#include "command/agent_policy.h"

#include <string>

#include "command/command_handlers.h"
#include "command/service_control.h"
#include "sensor/policy_values.h"
#include "platform/text.h"
#include "request/json_members.h"
#include "log/log.h"
#include "platform/clock.h"

namespace ikx {
namespace {

constexpr char kHandler[] = "OnCommandAgentPolicy";

constexpr int64_t kInvalidPolicyId = -1;

enum PolicyResult : int { kNoResult = -1, kApplied = 0, kFailed = 1, kInvalidPolicy = 2 };

// The sensor error reported to the server.
enum SensorError : int32_t {
    kNoError = 0,
    kIpcInitFailed = -2601,
    kStartFailed = -2603,
    kStopFailed = -2604,
    kNewTaskFailed = -2605,
    kBordaLoadFailed = -2606,
    kBordaFailed = -2607,
    kEnableNotAcknowledged = -2608,
};

constexpr int kEnableTries = 30;
constexpr DWORD kEnableTryPauseMs = 10000;

// One policy on its way through the handler.
struct Policy {
    int32_t cfgFlag = 0;
    std::string data;  // cfg_data as it came, UTF-8
    int64_t id = kInvalidPolicyId;
    int mdrMode = kMdrModeOff;
    int32_t iKxErr = kNoError;
    int32_t bordaResult = 0;  // of the first forwarding
    bool bordaChanged = false;
};

bool Reportable(const Policy& p) {
    return (p.cfgFlag & (kCfgEnable | kCfgDisable)) != 0;
}
bool Enables(const Policy& p) {
    return (p.cfgFlag & kCfgEnable) != 0;
}
uint32_t PolicySettingOf(const Policy& p) {
    if (!Enables(p)) return 0;
    return p.mdrMode == kMdrModeOn ? 1 : 2;
}
int32_t CfgSettingOf(const Policy& p) {
    return p.mdrMode == kMdrModeOn && Enables(p) ? 1 : 2;
}
int32_t OldSettingOf(const Policy& p) {
    return Enables(p) ? 2 : 1;
}

// A copy of the whole request, addressed to iBorda with the given setting.
Json::Value BordaRequest(const Json::Value& request, int32_t cfgFlag, int32_t cfgSetting) {
    Json::Value forwarded = request;
    forwarded["product_id"] = "VORN_IPRODUCT_IBORDA";
    Json::Value& data = forwarded["command_data"];
    data["command_type"] = "VORN_IAGENT_ISSUE_POLICY_FROM_IKX";
    data["cfg_setting"] = cfgSetting;
    data["cfg_flag"] = cfgFlag;
    return forwarded;
}

// False when the sensor part must be skipped.
bool ApplyToBorda(const Json::Value& request, Policy& p, Json::Value& response) {
    if (p.id == kInvalidPolicyId) {
        LOG_WARN_AS(kHandler, "Invalid policy data(%s), drop it", p.data.c_str());
        response["result_code"] = kInvalidPolicy;
        p.cfgFlag &= ~(kCfgEnable | kCfgDisable);  // only a new task may remain
        return true;
    }
    LOG_WARN_AS(kHandler, "Policy config: %d, policy id: %lld, is MDR mode: %d", p.cfgFlag,
                static_cast<long long>(p.id), p.mdrMode);
    SetPolicySettingRegKey(PolicySettingOf(p));
    if (p.id != 0) SetPolicyIdRegKey(p.id);
    const Json::Value forwarded = BordaRequest(request, CfgSettingOf(p), CfgSettingOf(p));
    LOG_TRACE_AS(kHandler, "Policy Request for iBorda: %s", forwarded.toStyledString().c_str());
    bool forwardedOk = OnCommandBordaVornExtDll(forwarded, p.bordaResult);
    if (!forwardedOk) {
        LOG_WARN_AS(kHandler, "Load iBorda ext dll failed.");
        p.iKxErr = kBordaLoadFailed;
    } else if (p.bordaResult != 0) {
        LOG_WARN_AS(kHandler, "OnCommand to iBorda Vorn Extenstion Dll failed (error: %d),",
                    p.bordaResult);
        p.iKxErr = kBordaFailed;
        forwardedOk = false;
    }
    // In MDR mode iBorda carries the policy: without it the sensor stays as it is.
    if (p.mdrMode == kMdrModeOn && !forwardedOk) {
        LOG_WARN_AS(kHandler, "Skip KX part since OnCommand to iBorda failed");
        return false;
    }
    p.bordaChanged = true;
    return true;
}

int EnableSensor(NipcObject* ipc, Policy& p) {
    if (!StartIKXService()) {
        p.iKxErr = kStartFailed;
        return kFailed;
    }
    const int64_t id = p.id;  // sent as 8 little-endian bytes
    uint32_t reply = 0;
    for (int attempt = 0; attempt < kEnableTries; ++attempt) {
        SleepMs(kEnableTryPauseMs);  // the started sensor needs time to listen
        if (SendNIPCCmdToKxAgent(ipc, kNipcTypeReply, kKxCmdEnablePolicy, &id, sizeof id, &reply) &&
            reply == 0) {
            LOG_INFO_AS(kHandler, "Notify KXC enable policy successful.");
            return kApplied;
        }
    }
    LOG_WARN_AS(kHandler, "Notify KXC enable policy failed, iKX reply error: %d.",
                static_cast<int>(reply));
    p.iKxErr = kEnableNotAcknowledged;
    return kFailed;
}

int DisableSensor(NipcObject* ipc, Policy& p) {
    if (SendNIPCCmdToKxAgent(ipc, kNipcTypeNoReply, kKxCmdDisable, nullptr, 0, nullptr)) {
        SleepMs(kDisableNoticeGraceMs);
    }
    if (StopIKXService(ipc, true)) return kApplied;
    p.iKxErr = kStopFailed;
    return kFailed;
}

int NotifyNewTask(NipcObject* ipc, Policy& p) {
    const int64_t id = p.id;
    uint32_t reply = 0;
    if (!SendNIPCCmdToKxAgent(ipc, kNipcTypeReply, kKxCmdEnableOrNewTask, &id, sizeof id, &reply)) {
        LOG_WARN_AS(kHandler, "Notify KXC new task failed");
        p.iKxErr = kNewTaskFailed;
        return kFailed;
    }
    if (reply != 0) {
        LOG_WARN_AS(kHandler, "iKX reply error: %d.", static_cast<int>(reply));
        p.iKxErr = kNewTaskFailed;
        return kNoResult;
    }
    return kApplied;
}

// The first bit set decides: enable, then disable, then new task.
bool ApplyToSensor(NipcObject* ipc, Policy& p, Json::Value& response) {
    LOG_INFO_AS(kHandler, "Notify dwPolicyCfg = %d.", p.cfgFlag);
    int result = kApplied;
    if (p.cfgFlag & kCfgEnable) {
        result = EnableSensor(ipc, p);
    } else if (p.cfgFlag & kCfgDisable) {
        result = DisableSensor(ipc, p);
    } else if (p.cfgFlag & kCfgNewTask) {
        result = NotifyNewTask(ipc, p);
    }
    if (result != kNoResult) response["result_code"] = result;
    return result == kApplied;
}

// An unacknowledged enable is left to the sensor to pick up; iBorda keeps it.
void TakeBackBorda(const Json::Value& request, const Policy& p) {
    if (!p.bordaChanged || p.mdrMode != kMdrModeOn || p.iKxErr == kEnableNotAcknowledged) return;
    const int32_t oldSetting = OldSettingOf(p);
    LOG_WARN_AS(kHandler, "revert iBorda's policy setting, old policy config: %d", oldSetting);
    int32_t result = 0;
    if (!OnCommandBordaVornExtDll(BordaRequest(request, oldSetting, CfgSettingOf(p)), result) ||
        result != 0) {
        LOG_WARN_AS(kHandler, "OnCommand to iBorda Vorn Extenstion Dll failed (error: %d),",
                    result);
    }
}

// Everything between binding the IPC channel and releasing it.
bool ApplyPolicy(const Json::Value& request, NipcObject* ipc, Policy& p, Json::Value& response) {
    if (Reportable(p) && !ApplyToBorda(request, p, response)) return false;
    const bool applied = ApplyToSensor(ipc, p, response);
    if (!applied) TakeBackBorda(request, p);
    return applied;
}

}  // namespace

bool OnCommandAgentPolicy(const Json::Value& request, Json::Value& response) {
    Policy p;
    // A flag that is no whole number is no policy: nothing is applied or reported.
    if (!NestedMemberInt(request, "command_data", "cfg_flag", p.cfgFlag)) {
        response["result_code"] = kInvalidPolicy;
        return false;
    }
    bool applied = false;
    {
        NipcChannel ipc;
        p.data = NestedMemberText(request, "command_data", "cfg_data");
        DecodePolicyData(MultiByteToWide(p.data, kCodePageUtf8).c_str(), p.id, p.mdrMode);
        if (NIPC_BOUND_OR_LOGGED(ipc.Bound())) {
            applied = ApplyPolicy(request, ipc.get(), p, response);
        } else {
            p.iKxErr = kIpcInitFailed;
            response["result_code"] = kFailed;
        }
    }
    if (Reportable(p) && (!applied || (p.cfgFlag & kCfgDisable))) {
        ReportPolicyStatusToServer(p.cfgFlag, p.iKxErr, p.id, p.bordaResult);
    }
    return applied;
}

}  // namespace ikx
