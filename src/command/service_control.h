#pragma once
// Switching the whole sensor on and off; shared by the service, MDR and
// agent-policy commands.
#include "hostagent/ipc.h"
#include "hostagent/nipc_channel.h"

namespace ikx {

// The pause after telling the sensor it is being disabled, before the stop.
constexpr DWORD kDisableNoticeGraceMs = 10000;

// True when the client service runs, is starting, or was started.
bool StartIKXService();
// True when the sensor is not installed, was already stopping or stopped, or
// both services stopped. `ipc` must be bound; `stopDrivers` also stops the
// three drivers and leaves them at demand start.
bool StopIKXService(NipcObject* ipc, bool stopDrivers);

}  // namespace ikx
