#pragma once
// Whether the sensor is installed. Each caller asks its own question of the
// same facts, so the facts are read once into a snapshot and each rule is a
// plain function of it.
#include <cstdint>
#include <optional>

namespace ikx {

// Which of the four sensor services exist, and the major number of each
// version value. Each fact is read when a rule first asks for it and kept for
// the snapshot's life: a notification's check reads one service and one
// value, not all six.
class SensorSnapshot {
  public:
    bool Client() const;
    bool OldClient() const;
    bool Engine() const;
    bool OldEngine() const;
    // False when the value cannot be read; `major` is then not set.
    bool ClientMajor(uint32_t& major) const;
    bool EngineMajor(uint32_t& major) const;

  private:
    struct Version {
        bool read = false;
        uint32_t major = 0;
    };
    mutable std::optional<bool> client_, oldClient_, engine_, oldEngine_;
    mutable std::optional<Version> clientVersion_, engineVersion_;
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
