#include "sensor/installed.h"

#include "sensor/sensor_services.h"
#include "sensor/versions.h"
#include "win32/services.h"

namespace ikx {

KxServiceGeneration GetKxServiceGeneration() {
    if (scIsServiceInstalled(kClientService) == kScInstalled && IsCurrentClientVersion()) {
        return KxServiceGeneration::kCurrent;
    }
    if (scIsServiceInstalled(kOldClientService) == kScInstalled && IsCurrentClientVersion()) {
        return KxServiceGeneration::kOld;
    }
    return KxServiceGeneration::kNone;
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
