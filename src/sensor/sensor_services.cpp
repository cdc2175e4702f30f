#include "sensor/sensor_services.h"

#include "log/log.h"
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

}  // namespace ikx
