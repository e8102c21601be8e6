// The JTAG port's checked request scan, for its tests.
#pragma once

#include <cstdint>

#include "transport/wire_status.h"

namespace cm3probe::dap {

// One DPACC/APACC request scan (a write, or a read request) with the
// instruction already loaded. It captures its own acknowledge: a JTAG-DP that
// answers WAIT ignores the request, and a request lost that way must not pass
// for done.
[[nodiscard]] WireStatus JtagRequestChecked(uint32_t value, uint8_t reg, uint8_t rnw);
// The acknowledge of a request's capture.
[[nodiscard]] WireStatus JtagCaptureStatus(const uint8_t* capture5);

}  // namespace cm3probe::dap
