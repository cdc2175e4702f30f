#pragma once
// Process-wide state of the extension and the gate every request passes.
#include <atomic>
#include <cstdint>

namespace ikx {

extern std::atomic<int32_t> InitCount;

// Bound, and the loading process signed by the maker; logs the refusal in
// the name of the calling export.
bool PassesCommonGate(const char* caller);

// Runs an export's body so that no exception leaves it.
template <typename Body>
int32_t Guarded(int32_t neutral, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return neutral;
    }
}

}  // namespace ikx
