// The policy values under the client key, written by the agent policy and
// read by the queries. Failures log the thread's last error.
#include "common/registry.h"
#include "common/sensor_registry.h"
#include "log/log.h"

namespace ikx {
namespace {

bool OpenPolicyKey(const char* op, UniqueHkey& key) {
    if (OpenKeyLegacy(kKxcKey, key) == ERROR_SUCCESS) return true;
    LOG_WARN_AS(op, "Failed to open registry key. error code: %d",
                static_cast<int>(::GetLastError()));
    return false;
}

}  // namespace

bool SetPolicyIdRegKey(int64_t policyId) {
    LOG_TRACE(">> Policy id: %lld", static_cast<long long>(policyId));
    bool ok = false;
    UniqueHkey key;
    if (OpenPolicyKey(__func__, key)) {
        ok = ::RegSetValueExW(key.get(), L"PolicyId", 0, REG_QWORD,
                              reinterpret_cast<const BYTE*>(&policyId),
                              sizeof policyId) == ERROR_SUCCESS;
        if (!ok) {
            LOG_WARN("Failed to set registry key. error code: %d",
                     static_cast<int>(::GetLastError()));
        }
    }
    key.reset();
    LOG_TRACE("<< Ret: %d", ok ? 1 : 0);
    return ok;
}

bool SetPolicySettingRegKey(uint32_t setting) {
    LOG_TRACE(">> Policy Setting: %d", static_cast<int>(setting));
    bool ok = false;
    UniqueHkey key;
    if (OpenPolicyKey(__func__, key)) {
        const DWORD value = setting;
        ok = ::RegSetValueExW(key.get(), L"PolicySetting", 0, REG_DWORD,
                              reinterpret_cast<const BYTE*>(&value), sizeof value) == ERROR_SUCCESS;
        if (!ok) {
            LOG_WARN("Failed to set registry key. error code: %d",
                     static_cast<int>(::GetLastError()));
        }
    }
    key.reset();
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
