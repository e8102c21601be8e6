// The SWD port's read with recovery, for what reaches the link before a port
// is chosen (the open's IDCODE read) and for its tests.
#pragma once

#include <cstdint>

#include "transport/wire_status.h"

namespace cm3probe::dap {

// A read's status that left the port out of frame.
bool SwdLostFraming(WireStatus status);
// Line reset and IDCODE read: brings a port out of frame back.
void SwdRecoverFraming();
// One read on the connection's link, recovering it when nobody answered.
[[nodiscard]] WireStatus SwdReadWithRecovery(uint8_t reg, uint8_t apSelect, uint32_t* outValue);

}  // namespace cm3probe::dap
