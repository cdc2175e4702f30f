#include "command/service_control.h"

#include "sensor/installed.h"
#include "sensor/sensor_services.h"
#include "win32/services.h"
#include "sensor/stop_pending.h"
#include "log/log.h"
#include "platform/clock.h"

namespace ikx {
namespace {

struct DriverRow {
    const wchar_t* name;
    const char* startFailure;  // logged with the result and the last error
};

// The order in which the drivers are set to start.
constexpr DriverRow kDrivers[] = {
    {L"qvkxutil", "Change qvkxutil service to start failed. Error: %d [%d]"},
    {L"qvkxflt", "Change qvkxflt service to start failed. Error: %d [%d]"},
    {L"qvkxcore", "Change qvkxcore service to start failed. Error: %d [%d]"},
};
// Stopped from the top of the stack down, then set back to demand start.
constexpr const wchar_t* kDriverStopOrder[] = {L"qvkxcore", L"qvkxflt", L"qvkxutil"};

constexpr int kStopAttempts = 30;
constexpr DWORD kStopAttemptPauseMs = 10000;
constexpr DWORD kStopWaitPolls = 3;
constexpr DWORD kStopWaitIntervalMs = 10000;

bool StoppedOrGone(int32_t result) {
    return result == kScSuccess || result == ERROR_SERVICE_DOES_NOT_EXIST;
}

int LastError() {
    return static_cast<int>(::GetLastError());
}

void SetSensorServicesToDemandStart() {
    const int32_t client = scChangeServiceStartType(kClientService, SERVICE_DEMAND_START);
    const int32_t engine = scChangeServiceStartType(kEngineService, SERVICE_DEMAND_START);
    if (client != kScSuccess || engine != kScSuccess) {
        LOG_WARN_AS("StartIKXService", "Change iKX services to start failed, KXC: %d, KXE: %d [%d]",
                    client, engine, LastError());
    }
}

// A driver that is not installed is skipped without a word.
void SetDriversToSystemStart() {
    for (const DriverRow& driver : kDrivers) {
        if (scIsServiceInstalled(driver.name) != kScInstalled) continue;
        const int32_t result = scChangeServiceStartType(driver.name, SERVICE_SYSTEM_START);
        if (result != kScSuccess)
            LOG_WARN_AS("StartIKXService", driver.startFailure, result, LastError());
    }
}

// The engine gets a pause before every attempt, the client only between attempts.
bool StopEngine(const wchar_t* engine) {
    for (int attempt = 0; attempt < kStopAttempts; ++attempt) {
        SleepMs(kStopAttemptPauseMs);
        if (StoppedOrGone(scStopService(engine, kStopWaitPolls, kStopWaitIntervalMs))) {
            LOG_TRACE_AS("StopIKXService", "Stop KXE OK.");
            return true;
        }
    }
    return false;
}

bool StopClient(const wchar_t* client) {
    for (int attempt = 0; attempt < kStopAttempts; ++attempt) {
        if (attempt > 0) SleepMs(kStopAttemptPauseMs);
        if (StoppedOrGone(scStopService(client, kStopWaitPolls, kStopWaitIntervalMs))) {
            LOG_TRACE_AS("StopIKXService", "Stop KXClient OK.");
            return true;
        }
    }
    return false;
}

// One poll without a wait each: a driver stops at once or not at all.
void StopDriversToDemandStart() {
    for (const wchar_t* name : kDriverStopOrder) scStopService(name, 1, 0);
    for (const DriverRow& driver : kDrivers)
        scChangeServiceStartType(driver.name, SERVICE_DEMAND_START);
}

// Asks the sensor to let itself be stopped (self-protection off); only reply 0 agrees.
bool SensorAgreesToStop(NipcObject* ipc) {
    const uint32_t protectionOff = 0;
    uint32_t reply = 0;
    if (!SendNIPCCmdToKxAgent(ipc, kNipcTypeReply, kKxCmdSelfProtection, &protectionOff,
                              sizeof protectionOff, &reply)) {
        LOG_INFO_AS("StopIKXService", "Notify iKX failed");
        return false;
    }
    if (reply != 0) {
        LOG_WARN_AS("StopIKXService", "iKX reply error: %d.", static_cast<int>(reply));
        return false;
    }
    return true;
}

// Clears the stop flag on every way out of the stop proper.
struct StopPendingScope {
    StopPendingScope() { ServiceStopPending.exchange(1); }
    ~StopPendingScope() { ServiceStopPending.exchange(0); }
    StopPendingScope(const StopPendingScope&) = delete;
    StopPendingScope& operator=(const StopPendingScope&) = delete;
};

}  // namespace

bool StartIKXService() {
    if (GetKxServiceGeneration() != KxServiceGeneration::kCurrent) {
        LOG_INFO("[iKX] KXC has not been installed.");
        return false;
    }
    DWORD state = 0;
    QueryIKxclientServiceStatus(state);
    if (state == SERVICE_RUNNING || state == SERVICE_START_PENDING) {
        LOG_WARN("iKX service is already running.");
        return true;
    }
    SetSensorServicesToDemandStart();
    SetDriversToSystemStart();
    const int32_t result = scStartKxcService();
    if (result != kScSuccess) {
        LOG_WARN("Start iKX service failed, error: %d (%d)", result, LastError());
        return false;
    }
    LOG_INFO("Start iKX service success.");
    return true;
}

bool StopIKXService(NipcObject* ipc, bool stopDrivers) {
    const KxServiceGeneration generation = GetKxServiceGeneration();
    if (generation == KxServiceGeneration::kNone) {
        LOG_INFO("[iKX] KXC has not been installed.");
        return true;
    }
    const bool current = generation == KxServiceGeneration::kCurrent;
    const wchar_t* client = current ? kClientService : kOldClientService;
    const wchar_t* engine = current ? kEngineService : kOldEngineService;
    DWORD state = 0;
    if (current) {
        QueryIKxclientServiceStatus(state);
    } else {
        QueryOldKxclientServiceStatus(state);
    }
    if (state == SERVICE_STOPPED || state == SERVICE_STOP_PENDING) {
        LOG_WARN("iKX service is already stop.");
        return true;
    }
    StopPendingScope stopPending;
    if (!SensorAgreesToStop(ipc)) return false;
    const bool engineStopped = StopEngine(engine);
    const bool clientStopped = StopClient(client);
    if (stopDrivers) StopDriversToDemandStart();
    return engineStopped && clientStopped;
}

}  // namespace ikx
