#pragma once
// Every wait and sleep of the product goes through here. Test builds shrink
// them by a divisor read once from IKX_TIME_DIVISOR; the shipping build has no
// divisor at all.
#include <windows.h>

namespace ikx {

// The wait to use for a nominal wait of `ms` (INFINITE stays INFINITE).
DWORD ScaledMs(DWORD ms);
void SleepMs(DWORD ms);

}  // namespace ikx
