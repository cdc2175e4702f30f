#pragma once
// Whether the sensor is installed. Each caller asks its own question of the
// same facts, so the facts are read once into a snapshot and each rule is a
// plain function of it.
#include <cstdint>

namespace ikx {

// Which of the four sensor services exist, and the major number of each
// version value (valid only when it could be read).
struct SensorSnapshot {
    bool client = false;
    bool oldClient = false;
    bool engine = false;
    bool oldEngine = false;
    bool clientVersionRead = false;
    uint32_t clientMajor = 0;
    bool engineVersionRead = false;
    uint32_t engineMajor = 0;
};
SensorSnapshot ReadSensorSnapshot();

// Which pair of sensor service names is in force: a client service of that
// name with a current client version.
enum class KxServiceGeneration { kCurrent, kOld, kNone };
KxServiceGeneration ServiceGenerationOf(const SensorSnapshot& sensor);
// Chosen afresh on each call.
KxServiceGeneration GetKxServiceGeneration();

// A client service of either name with a current client version, or an
// engine service of either name with a current engine version.
bool HasCurrentInstallation(const SensorSnapshot& sensor);
bool IsIKxInstalled();

// Self-protection settings apply: a client service of either name and a
// current client version; the engine is not looked at.
bool HasCurrentClient(const SensorSnapshot& sensor);

// Notifications are relayed only to the current client service (QVKXC) with a
// current client version.
bool HasCurrentQvkxcClient(const SensorSnapshot& sensor);

// An install upgrades an old installation: when a client service exists its
// version decides alone; only without one is the engine's version asked.
bool IsOldInstallation(const SensorSnapshot& sensor);

// There is something to uninstall: an engine service counts whatever its
// version; a client service only with a current client version.
bool HasSensorToRemove(const SensorSnapshot& sensor);

}  // namespace ikx
