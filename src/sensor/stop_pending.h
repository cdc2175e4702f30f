#pragma once
// Set while a stop of the sensor's services runs: self-protection settings
// that arrive meanwhile are dropped. Cleared again on a failed binding.
#include <atomic>
#include <cstdint>

namespace ikx {

inline std::atomic<int32_t> ServiceStopPending{0};

}  // namespace ikx
