// The SWD link: bring-up and take-down, single transactions, the reset pulse.
// Callers hold AdapterLock.
#pragma once

#include <cstdint>

#include "adapter/usb_driver.h"

namespace cm3probe {

// Statuses of a single read beyond the acknowledge values 0..7.
namespace swd_status {
inline constexpr uint32_t kOk = 0;
// Acknowledge 000: nobody drove the line low-high; never taken as OK.
inline constexpr uint32_t kAckLineLow = 8;
// The driver delivered fewer than the 6 response bytes.
inline constexpr uint32_t kShortResponse = 9;
// Nothing was sent: the link is down until recovered (transport/link_state.h).
inline constexpr uint32_t kLinkDown = 10;
}  // namespace swd_status

// SWD wire clock divisor: 6 MHz / (1 + divisor), clamped to the 16-bit field.
uint32_t SwdClockDivisor(uint32_t clockHz);

uint32_t SwdLinkOpen(const char* description, uint32_t clockHz, adapter::UsbHandle* outHandle);
uint32_t SwdLinkClose(adapter::UsbHandle handle);
uint32_t SwdPulseReset(adapter::UsbHandle handle);
uint32_t SwdWriteTransfer(adapter::UsbHandle handle, uint8_t registerAddress, uint8_t apSelect, uint32_t value);
uint32_t SwdReadTransfer(adapter::UsbHandle handle, uint8_t registerAddress, uint8_t apSelect, uint32_t* outValue);

// Line reset, idle cycles and the IDCODE read the port then requires: brings a
// port that lost framing (or locked out after a protocol error) back.
uint32_t SwdLineResetAndIdentify(adapter::UsbHandle handle);
// Brings the link back after a failed or short transfer, or a lock holder that
// died mid-command: purge, engine reset (the only thing that drops a
// half-received command), MPSSE mode, clock and pins, a bad opcode that must
// come back as its echo, then line reset and IDCODE. 0 once the engine is
// proven in step; the target's answer to IDCODE is not part of that.
uint32_t SwdResynchronise(adapter::UsbHandle handle, uint32_t clockDivisor);

}  // namespace cm3probe
