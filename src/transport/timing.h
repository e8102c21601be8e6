// The library's only pauses. Tests replace the sleep to count pauses instead of
// waiting through them.
#pragma once

#include <cstdint>

namespace cm3probe::timing {

inline constexpr uint32_t kResetPulseMs = 10;
inline constexpr uint32_t kJtagInitRetryMs = 50;
inline constexpr uint32_t kResumeSettleMs = 100;

void SleepMilliseconds(uint32_t milliseconds);

using SleepFunction = void (*)(uint32_t milliseconds);
// Null restores the real sleep.
void SetSleepForTesting(SleepFunction sleep);

}  // namespace cm3probe::timing
