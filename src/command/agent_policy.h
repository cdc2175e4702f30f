#pragma once
// The agent policy: its data text, the sibling iBorda extension it is
// forwarded to, and the acknowledgement to the management server.
#include <json/json.h>

#include <cstdint>

#include "command/policy_data.h"

namespace ikx {

// The policy configuration bits of "cfg_flag".
constexpr int32_t kCfgEnable = 1;
constexpr int32_t kCfgDisable = 2;
constexpr int32_t kCfgNewTask = 4;

// DecodePolicyText with its records; a null text reads as empty.
bool DecodePolicyData(const wchar_t* policyData, int64_t& policyId, int& mdrMode);

// Hands one command to the sibling's extension library; false when that
// library cannot be found or bound. `iBordaResult` is what it answered.
bool OnCommandBordaVornExtDll(const Json::Value& request, int32_t& iBordaResult);

// True when the server answered the acknowledgement with HTTP status 200.
bool ReportPolicyStatusToServer(int32_t cfgFlag, int32_t iKxErr, int64_t policyId,
                                int32_t iBordaErr);

}  // namespace ikx
