#include "sensor/installed.h"

#include "sensor/sensor_services.h"
#include "sensor/versions.h"
#include "win32/services.h"

namespace ikx {
namespace {

bool ServiceInstalled(const wchar_t* name) {
    return scIsServiceInstalled(name) == kScInstalled;
}

bool IsCurrent(bool read, uint32_t major) {
    return read && major >= kCurrentMajorVersion;
}

bool IsOld(bool read, uint32_t major) {
    return read && major < kCurrentMajorVersion;
}

bool CurrentClientVersion(const SensorSnapshot& sensor) {
    return IsCurrent(sensor.clientVersionRead, sensor.clientMajor);
}

}  // namespace

SensorSnapshot ReadSensorSnapshot() {
    SensorSnapshot sensor;
    sensor.client = ServiceInstalled(kClientService);
    sensor.oldClient = ServiceInstalled(kOldClientService);
    sensor.engine = ServiceInstalled(kEngineService);
    sensor.oldEngine = ServiceInstalled(kOldEngineService);
    sensor.clientVersionRead = ClientMajorVersion(sensor.clientMajor);
    sensor.engineVersionRead = EngineMajorVersion(sensor.engineMajor);
    return sensor;
}

KxServiceGeneration ServiceGenerationOf(const SensorSnapshot& sensor) {
    if (sensor.client && CurrentClientVersion(sensor)) return KxServiceGeneration::kCurrent;
    if (sensor.oldClient && CurrentClientVersion(sensor)) return KxServiceGeneration::kOld;
    return KxServiceGeneration::kNone;
}

KxServiceGeneration GetKxServiceGeneration() {
    return ServiceGenerationOf(ReadSensorSnapshot());
}

bool HasCurrentInstallation(const SensorSnapshot& sensor) {
    if ((sensor.client || sensor.oldClient) && CurrentClientVersion(sensor)) return true;
    return (sensor.engine || sensor.oldEngine) &&
           IsCurrent(sensor.engineVersionRead, sensor.engineMajor);
}

bool IsIKxInstalled() {
    return HasCurrentInstallation(ReadSensorSnapshot());
}

bool HasCurrentClient(const SensorSnapshot& sensor) {
    return (sensor.client || sensor.oldClient) && CurrentClientVersion(sensor);
}

bool HasCurrentQvkxcClient(const SensorSnapshot& sensor) {
    return sensor.client && CurrentClientVersion(sensor);
}

bool IsOldInstallation(const SensorSnapshot& sensor) {
    if (sensor.client || sensor.oldClient) {
        return IsOld(sensor.clientVersionRead, sensor.clientMajor);
    }
    if (sensor.engine || sensor.oldEngine) {
        return IsOld(sensor.engineVersionRead, sensor.engineMajor);
    }
    return false;
}

bool HasSensorToRemove(const SensorSnapshot& sensor) {
    return (sensor.client && CurrentClientVersion(sensor)) || sensor.engine ||
           (sensor.oldClient && CurrentClientVersion(sensor)) || sensor.oldEngine;
}

}  // namespace ikx
