#pragma once

#include <cstdint>

namespace cm3probe::connection {

// Switches the target's SWJ debug port to SWD (or back to JTAG) through the
// adapter named by `description`, opened and closed for the purpose.
// 0 on success, 1 on failure.
uint32_t SendLineModeSequence(const char* description, bool toSwd);

}  // namespace cm3probe::connection
