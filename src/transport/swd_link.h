// The SWD link: bring-up and take-down, single transactions, the reset pulse.
// Callers hold AdapterLock.
#pragma once

#include <cstdint>

#include "adapter/usb_driver.h"
#include "transport/wire_status.h"

namespace cm3probe {

// SWD wire clock divisor: 6 MHz / (1 + divisor), clamped to the 16-bit field.
uint32_t SwdClockDivisor(uint32_t clockHz);

// Open and close answer with the driver's own status.
[[nodiscard]] adapter::UsbStatus SwdLinkOpen(const char* description, uint32_t clockHz, adapter::UsbHandle* outHandle);
[[nodiscard]] adapter::UsbStatus SwdLinkClose(adapter::UsbHandle handle);
[[nodiscard]] WireStatus SwdPulseReset(adapter::UsbHandle handle);
[[nodiscard]] WireStatus SwdWriteTransfer(adapter::UsbHandle handle, uint8_t registerAddress, uint8_t apSelect,
                                          uint32_t value);
// The acknowledge as a status; the value is 0 unless the read was answered OK.
[[nodiscard]] WireStatus SwdReadTransfer(adapter::UsbHandle handle, uint8_t registerAddress, uint8_t apSelect,
                                         uint32_t* outValue);

// Line reset, idle cycles and the IDCODE read the port then requires: brings a
// port that lost framing (or locked out after a protocol error) back.
[[nodiscard]] WireStatus SwdLineResetAndIdentify(adapter::UsbHandle handle);
// Brings the link back after a failed or short transfer, or a lock holder that
// died mid-command: purge, engine reset (the only thing that drops a
// half-received command), MPSSE mode, clock and pins, a bad opcode that must
// come back as its echo, then line reset and IDCODE. Ok once the engine is
// proven in step; the target's answer to IDCODE is not part of that.
[[nodiscard]] WireStatus SwdResynchronise(adapter::UsbHandle handle, uint32_t clockDivisor);

}  // namespace cm3probe
