#include "sensor/installed.h"

#include "sensor/sensor_services.h"
#include "sensor/versions.h"
#include "win32/services.h"

namespace ikx {
namespace {

bool ServiceInstalled(std::optional<bool>& known, const wchar_t* name) {
    if (!known) known = scIsServiceInstalled(name) == kScInstalled;
    return *known;
}

template <typename Version, typename Reader>
bool ReadMajor(std::optional<Version>& known, Reader read, uint32_t& major) {
    if (!known) {
        // Assigned, not emplaced: clang cannot default-construct a nested
        // record with member initializers inside its enclosing class.
        known = Version{};
        known->read = read(known->major);
    }
    if (known->read) major = known->major;
    return known->read;
}

// The version value reads, with a major number from 3 on (current) or below it (old).
using MajorReader = bool (SensorSnapshot::*)(uint32_t&) const;
bool IsCurrent(const SensorSnapshot& sensor, MajorReader readMajor) {
    uint32_t major = 0;
    return (sensor.*readMajor)(major) && major >= kCurrentMajorVersion;
}
bool IsOld(const SensorSnapshot& sensor, MajorReader readMajor) {
    uint32_t major = 0;
    return (sensor.*readMajor)(major) && major < kCurrentMajorVersion;
}

bool CurrentClientVersion(const SensorSnapshot& sensor) {
    return IsCurrent(sensor, &SensorSnapshot::ClientMajor);
}

bool CurrentEngineVersion(const SensorSnapshot& sensor) {
    return IsCurrent(sensor, &SensorSnapshot::EngineMajor);
}

}  // namespace

bool SensorSnapshot::Client() const {
    return ServiceInstalled(client_, kClientService);
}
bool SensorSnapshot::OldClient() const {
    return ServiceInstalled(oldClient_, kOldClientService);
}
bool SensorSnapshot::Engine() const {
    return ServiceInstalled(engine_, kEngineService);
}
bool SensorSnapshot::OldEngine() const {
    return ServiceInstalled(oldEngine_, kOldEngineService);
}

bool SensorSnapshot::ClientMajor(uint32_t& major) const {
    return ReadMajor(clientVersion_, ClientMajorVersion, major);
}

bool SensorSnapshot::EngineMajor(uint32_t& major) const {
    return ReadMajor(engineVersion_, EngineMajorVersion, major);
}

SensorSnapshot ReadSensorSnapshot() {
    return SensorSnapshot();
}

KxServiceGeneration ServiceGenerationOf(const SensorSnapshot& sensor) {
    if (sensor.Client() && CurrentClientVersion(sensor)) return KxServiceGeneration::kCurrent;
    if (sensor.OldClient() && CurrentClientVersion(sensor)) return KxServiceGeneration::kOld;
    return KxServiceGeneration::kNone;
}

KxServiceGeneration GetKxServiceGeneration() {
    return ServiceGenerationOf(ReadSensorSnapshot());
}

bool HasCurrentInstallation(const SensorSnapshot& sensor) {
    if ((sensor.Client() || sensor.OldClient()) && CurrentClientVersion(sensor)) return true;
    return (sensor.Engine() || sensor.OldEngine()) && CurrentEngineVersion(sensor);
}

bool IsIKxInstalled() {
    return HasCurrentInstallation(ReadSensorSnapshot());
}

bool HasCurrentClient(const SensorSnapshot& sensor) {
    return (sensor.Client() || sensor.OldClient()) && CurrentClientVersion(sensor);
}

bool HasCurrentQvkxcClient(const SensorSnapshot& sensor) {
    return sensor.Client() && CurrentClientVersion(sensor);
}

bool IsOldInstallation(const SensorSnapshot& sensor) {
    if (sensor.Client() || sensor.OldClient()) return IsOld(sensor, &SensorSnapshot::ClientMajor);
    if (sensor.Engine() || sensor.OldEngine()) return IsOld(sensor, &SensorSnapshot::EngineMajor);
    return false;
}

bool HasSensorToRemove(const SensorSnapshot& sensor) {
    return (sensor.Client() && CurrentClientVersion(sensor)) || sensor.Engine() ||
           (sensor.OldClient() && CurrentClientVersion(sensor)) || sensor.OldEngine();
}

}  // namespace ikx
