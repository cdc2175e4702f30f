// The policy values under the client key, written by the agent policy and
// read by the queries. Failures log the thread's last error.
#include "win32/registry.h"
#include "sensor/policy_values.h"
#include "sensor/sensor_registry.h"
#include "log/log.h"

namespace ikx {
namespace {

bool OpenPolicyKey(const char* op, UniqueHkey& key) {
    if (OpenKeyLegacy(kKxcKey, key) == ERROR_SUCCESS) return true;
    LOG_WARN_AS(op, "Failed to open registry key. error code: %d",
                static_cast<int>(::GetLastError()));
    return false;
}

// Writes one value of the client key, closing the key before returning;
// failures are logged in the name of the operation that asked.
bool WritePolicyValue(const char* op, const wchar_t* name, DWORD type, const void* data,
                      DWORD size) {
    UniqueHkey key;
    if (!OpenPolicyKey(op, key)) return false;
    if (::RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), size) ==
        ERROR_SUCCESS) {
        return true;
    }
    LOG_WARN_AS(op, "Failed to set registry key. error code: %d",
                static_cast<int>(::GetLastError()));
    return false;
}

}  // namespace

bool SetPolicyIdRegKey(int64_t policyId) {
    LOG_TRACE(">> Policy id: %lld", static_cast<long long>(policyId));
    const bool ok = WritePolicyValue(__func__, L"PolicyId", REG_QWORD, &policyId, sizeof policyId);
    LOG_TRACE("<< Ret: %d", ok ? 1 : 0);
    return ok;
}

bool SetPolicySettingRegKey(uint32_t setting) {
    LOG_TRACE(">> Policy Setting: %d", static_cast<int>(setting));
    const DWORD value = setting;
    const bool ok = WritePolicyValue(__func__, L"PolicySetting", REG_DWORD, &value, sizeof value);
    LOG_TRACE("<< Ret: %d", ok ? 1 : 0);
    return ok;
}

bool GetPolicySetting(uint32_t& setting) {
    LOG_TRACE(">>");
    bool ok = false;
    UniqueHkey key;
    if (OpenPolicyKey(__func__, key)) {
        DWORD value = 0;
        DWORD size = sizeof value;
        // The stored type is not checked: four bytes are what is read.
        ok = ::RegQueryValueExW(key.get(), L"PolicySetting", nullptr, nullptr,
                                reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS;
        if (ok) {
            setting = value;
        } else {
            LOG_WARN("Failed to get registry value. error code: %d",
                     static_cast<int>(::GetLastError()));
        }
    }
    key.reset();
    LOG_TRACE("<< Ret: %d, policy setting: %d", ok ? 1 : 0, static_cast<int>(setting));
    return ok;
}

}  // namespace ikx
