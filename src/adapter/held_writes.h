// The real backends' held writes. Every driver write is a USB transfer of its
// own, and a transfer starts on a (micro)frame: a call that makes five writes
// and one read waits five frames. The libftdi1 backend and the simulator's
// driver therefore hold write-only transfers and send them as one with the
// next operation, and at the latest when the export that issued them ends or
// pauses; a failure of that transfer fails the operation that sent it.
#pragma once

#include "adapter/usb_driver.h"

namespace cm3probe::adapter {

// A driver record that holds `inner`'s writes. One connection per process:
// the record and what it holds are process-wide, and the last call wins.
const UsbDriver* WithHeldWrites(const UsbDriver* inner);

// Sends what the writes hold now. Fails when that transfer failed, or when one
// sent with another operation failed since the last call (its caller may not
// have looked); the bytes are dropped: the link is out of step either way.
[[nodiscard]] UsbStatus SendHeldWrites();

}  // namespace cm3probe::adapter
