#include "transport/timing.h"

#include <time.h>

#include "frame/link_state.h"

namespace cm3probe::timing {
namespace {

void RealSleep(uint32_t milliseconds) {
    timespec remaining{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1'000'000L};
    while (nanosleep(&remaining, &remaining) != 0) {
    }
}

SleepFunction g_sleep = RealSleep;

}  // namespace

void SleepMilliseconds(uint32_t milliseconds) {
    // A pause times what was written before it (a reset pulse, a resume's
    // settling): that must be on the wire first.
    link_state::SendHeldWrites();
    g_sleep(milliseconds);
}

void SetSleepForTesting(SleepFunction sleep) { g_sleep = sleep != nullptr ? sleep : RealSleep; }

}  // namespace cm3probe::timing
