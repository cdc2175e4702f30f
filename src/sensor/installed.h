#pragma once
// Whether the sensor is installed: the rules that combine which of its
// services exist with the version values.
namespace ikx {

// Which pair of sensor service names is in force, chosen afresh on each call.
enum class KxServiceGeneration { kCurrent, kOld, kNone };
KxServiceGeneration GetKxServiceGeneration();

bool IsIKxInstalled();

}  // namespace ikx
