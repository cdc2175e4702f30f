#include "sensor/sensor_services.h"

#include "log/log.h"
#include "sensor/versions.h"
#include "win32/services.h"

namespace ikx {
namespace {

// 0 on success; the state is 0 unless it was read.
int QueryState(const wchar_t* name, DWORD& state) {
    state = 0;
    return static_cast<int>(scQueryServiceStatus(name, state));
}

}  // namespace

int32_t scStartKxcService() {
    return scStartService(kClientService);
}

KxServiceGeneration GetKxServiceGeneration() {
    if (scIsServiceInstalled(kClientService) == kScInstalled && IsCurrentClientVersion()) {
        return KxServiceGeneration::kCurrent;
    }
    if (scIsServiceInstalled(kOldClientService) == kScInstalled && IsCurrentClientVersion()) {
        return KxServiceGeneration::kOld;
    }
    return KxServiceGeneration::kNone;
}

void QueryIKxclientServiceStatus(DWORD& state) {
    if (const int result = QueryState(kClientService, state))
        LOG_WARN("Query iKX service status failed, error: %d", result);
}

void QueryOldKxclientServiceStatus(DWORD& state) {
    if (const int result = QueryState(kOldClientService, state))
        LOG_WARN("Query old iKX service status failed, error: %d", result);
}

void QueryKxeServiceStatus(DWORD& state) {
    if (const int result = QueryState(kEngineService, state))
        LOG_WARN("Query KXE service status failed, error: %d", result);
}

void QueryOldKxeServiceStatus(DWORD& state) {
    if (const int result = QueryState(kOldEngineService, state))
        LOG_WARN("Query old KXE service status failed, error: %d", result);
}

bool IsIKxInstalled() {
    if ((scIsServiceInstalled(kClientService) == 1 ||
         scIsServiceInstalled(kOldClientService) == 1) &&
        IsCurrentClientVersion()) {
        return true;
    }
    return (scIsServiceInstalled(kEngineService) == 1 ||
            scIsServiceInstalled(kOldEngineService) == 1) &&
           IsCurrentEngineVersion();
}

}  // namespace ikx
