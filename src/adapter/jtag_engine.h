// The JTAG engine seam: the fourteen operations the library hands JTAG work to.
// Our own engine (MPSSE over a UsbDriver) implements it; tests install scripted
// fakes to pin down exact scan sequences.
#pragma once

#include <cstdint>

namespace cm3probe::adapter {

using JtagHandle = void*;
using JtagStatus = uint32_t;

inline constexpr JtagStatus kJtagOk = 0;
inline constexpr JtagStatus kJtagFailed = 1;

namespace jtag {
// Which register a scan goes through.
inline constexpr uint32_t kDataRegister = 0;
inline constexpr uint32_t kInstructionRegister = 1;
// Final TAP state code after a scan.
inline constexpr uint32_t kRunTestIdle = 2;
inline constexpr uint32_t kNameSize = 64;
inline constexpr uint32_t kDividerMax = 0xFFFF;
// Room the execute call may fill with captures, 5 bytes per queued read.
inline constexpr uint32_t kReadBackSize = 0x1FFFF;
inline constexpr uint32_t kPinsPerGroup = 4;
}  // namespace jtag

struct PinSetting {
    uint32_t output;  // non-zero: the pin is an output
    uint32_t high;    // non-zero: driven high
};

// Four general-purpose pins: low group ADBUS4-7 (GPIOL0-3), high group ACBUS0-3.
struct PinRecord {
    PinSetting pin[jtag::kPinsPerGroup];
};

struct JtagEngine {
    const char* name;
    JtagStatus (*deviceCount)(uint32_t* count);
    JtagStatus (*deviceName)(uint32_t index, char* name, uint32_t nameSize, uint32_t* location);
    JtagStatus (*open)(const char* name, uint32_t location, JtagHandle* handle);
    JtagStatus (*close)(JtagHandle handle);
    JtagStatus (*initialise)(JtagHandle handle, uint32_t divisor);
    JtagStatus (*setPins)(JtagHandle handle, uint32_t controlLow, const PinRecord* low,
                          uint32_t controlHigh, const PinRecord* high);
    JtagStatus (*scanWrite)(JtagHandle handle, uint32_t reg, uint32_t bitCount, const uint8_t* data,
                            uint32_t byteCount, uint32_t finalState);
    JtagStatus (*scanRead)(JtagHandle handle, uint32_t reg, uint32_t bitCount, uint8_t* capture,
                           uint32_t* captureCount, uint32_t finalState);
    JtagStatus (*scanWriteRead)(JtagHandle handle, uint32_t reg, uint32_t bitCount, const uint8_t* data,
                                uint32_t byteCount, uint8_t* capture, uint32_t* captureCount,
                                uint32_t finalState);
    JtagStatus (*clearSequence)(JtagHandle handle);
    JtagStatus (*queueWrite)(JtagHandle handle, uint32_t reg, uint32_t bitCount, const uint8_t* data,
                             uint32_t byteCount, uint32_t finalState);
    JtagStatus (*queueRead)(JtagHandle handle, uint32_t reg, uint32_t bitCount, uint32_t finalState);
    JtagStatus (*queueWriteRead)(JtagHandle handle, uint32_t reg, uint32_t bitCount, const uint8_t* data,
                                 uint32_t byteCount, uint32_t finalState);
    // Sends the whole queue; captures come back 5 bytes each in queue order.
    JtagStatus (*executeSequence)(JtagHandle handle, uint8_t* readBack, uint32_t capacity,
                                  uint32_t* byteCount);
};

}  // namespace cm3probe::adapter
