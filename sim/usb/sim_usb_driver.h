// The simulator as a USB driver backend: the process's one virtual FT2232.
#pragma once

#include "adapter/usb_driver.h"

namespace cm3sim {
const cm3probe::adapter::UsbDriver& SimUsbDriver();
}
