// Our JTAG engine: JTAG scans and pins as MPSSE commands over the active
// backend's USB driver.
#pragma once

#include "adapter/jtag_engine.h"

namespace cm3probe::adapter {
const JtagEngine& MpsseJtagEngine();
}
