// The general-purpose pins in JTAG wiring: low group pin 1 (ADBUS4) input,
// pin 2 (ADBUS5) the target's active-low reset, pin 3 (ADBUS6) low, pin 4
// (ADBUS7) high to select the board's JTAG wiring. The high group is left alone.
#pragma once

#include "adapter/jtag_engine.h"

namespace cm3probe::adapter::jtag_pins {

inline constexpr PinRecord kResetReleased{{{0, 0}, {1, 1}, {1, 0}, {1, 1}}};
inline constexpr PinRecord kResetAsserted{{{0, 0}, {1, 0}, {1, 0}, {1, 1}}};
inline constexpr PinRecord kHighGroupInputs{{{0, 0}, {0, 0}, {0, 0}, {0, 0}}};
inline constexpr uint32_t kSetLowGroup = 1;
inline constexpr uint32_t kLeaveHighGroup = 0;

}  // namespace cm3probe::adapter::jtag_pins
