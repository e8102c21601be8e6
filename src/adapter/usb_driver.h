// The USB serial-engine driver seam: the eight operations the library needs of
// a driver that reaches channel A of the adapter in MPSSE mode. One constant
// record per backend (libftdi1, simulator, scripted test fake).
#pragma once

#include <cstddef>
#include <cstdint>

namespace cm3probe::adapter {

using UsbHandle = void*;
// 0 is success; any other value is the backend's own failure code.
using UsbStatus = uint32_t;

inline constexpr UsbStatus kUsbOk = 0;
// Generic failure code for backends that have no finer one.
inline constexpr UsbStatus kUsbFailed = 1;

// Every description, as listed and as opened, fits 63 characters and a NUL.
inline constexpr size_t kDescriptionSize = 64;
using Description = char[kDescriptionSize];

namespace bitmode {
inline constexpr uint8_t kReset = 0x00;
inline constexpr uint8_t kMpsse = 0x02;
}  // namespace bitmode

namespace purge {
inline constexpr uint32_t kReceive = 0x01;
inline constexpr uint32_t kTransmit = 0x02;
inline constexpr uint32_t kBoth = kReceive | kTransmit;
}  // namespace purge

struct UsbDriver {
    const char* name;
    // Lists every attached device channel by description. Fills at most
    // `capacity` entries of `descriptions` and stores the number of channels
    // found in `count` (which may exceed `capacity`: call again with more room).
    UsbStatus (*listByDescription)(Description* descriptions, uint32_t capacity, uint32_t* count);
    UsbStatus (*openByDescription)(const char* description, UsbHandle* handle);
    UsbStatus (*setBitMode)(UsbHandle handle, uint8_t outputMask, uint8_t mode);
    UsbStatus (*write)(UsbHandle handle, const uint8_t* data, uint32_t count, uint32_t* written);
    // Waits until `count` bytes arrived or the driver's timeout passed; `got`
    // says how many did.
    UsbStatus (*read)(UsbHandle handle, uint8_t* buffer, uint32_t count, uint32_t* got);
    UsbStatus (*purge)(UsbHandle handle, uint32_t mask);
    UsbStatus (*setLatencyTimer)(UsbHandle handle, uint8_t milliseconds);
    // A refused close (a transfer still in flight) keeps the handle valid:
    // the channel stays claimed until a repeated close succeeds.
    UsbStatus (*close)(UsbHandle handle);
};

// Closes for good where nobody would repeat it later: a handle that outlives
// its last user keeps the channel claimed for the whole process.
inline constexpr uint32_t kCloseAttempts = 3;
inline UsbStatus CloseWithRetry(const UsbDriver& usb, UsbHandle handle) {
    UsbStatus status = kUsbFailed;
    for (uint32_t attempt = 0; attempt < kCloseAttempts && status != kUsbOk; ++attempt) status = usb.close(handle);
    return status;
}

}  // namespace cm3probe::adapter
