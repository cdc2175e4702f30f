#pragma once
// The sensor status code that the status queries report.
#include <windows.h>

#include <cstdint>

#include "sensor/installed.h"

namespace ikx {

enum SensorStatus : int32_t {
    kSensorUnknown = 0,
    kSensorRunning = 1,
    kSensorStopped = 2,
    kSensorPending = 3,
    kSensorNotInstalled = 4,
};

// Judged on the client service alone.
int32_t GetKXAgentServiceStatus();
// Client and engine states of the generation in force (0 when unreadable).
void ReadBothServiceStates(KxServiceGeneration generation, DWORD& client, DWORD& engine);

}  // namespace ikx
