#pragma once
// The policy values under the client key.
#include <cstdint>

namespace ikx {

bool SetPolicyIdRegKey(int64_t policyId);
bool SetPolicySettingRegKey(uint32_t setting);
bool GetPolicySetting(uint32_t& setting);

}  // namespace ikx
