#include "platform/clock.h"

#include <cstdlib>

namespace ikx {

#ifdef IKX_TEST_BUILD
static DWORD TimeDivisor() {
    static const DWORD divisor = [] {
        const char* text = std::getenv("IKX_TIME_DIVISOR");
        unsigned long value = text ? std::strtoul(text, nullptr, 10) : 1;
        return static_cast<DWORD>(value == 0 ? 1 : value);
    }();
    return divisor;
}

DWORD ScaledMs(DWORD ms) {
    if (ms == INFINITE) return ms;
    const DWORD divisor = TimeDivisor();
    return divisor == 1 ? ms : (ms / divisor == 0 && ms != 0 ? 1 : ms / divisor);
}
#else
DWORD ScaledMs(DWORD ms) {
    return ms;
}
#endif

void SleepMs(DWORD ms) {
    ::Sleep(ScaledMs(ms));
}

}  // namespace ikx
