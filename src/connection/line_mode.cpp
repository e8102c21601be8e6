#include "connection/line_mode.h"

#include "adapter/backend.h"
#include "adapter/mpsse.h"
#include "transport/swd_protocol.h"

namespace cm3probe::connection {
namespace {

// The switch always runs at 1 MHz, whatever the connection's clock.
inline constexpr uint8_t kLineModeDivisor = 5;

}  // namespace

uint32_t SendLineModeSequence(const char* description, bool toSwd) {
    const adapter::UsbDriver& usb = *adapter::ActiveBackend().usb;
    adapter::UsbHandle handle = nullptr;
    if (usb.openByDescription(description, &handle) != adapter::kUsbOk) return 1;
    if (usb.setBitMode(handle, swd::pins::kLineModeDirection, adapter::bitmode::kMpsse) != adapter::kUsbOk) {
        (void)adapter::CloseWithRetry(usb, handle);
        return 1;
    }
    const uint16_t select = toSwd ? swd::kJtagToSwd : swd::kSwdToJtag;
    const uint8_t divisor[] = {mpsse::kSetDivisor, kLineModeDivisor, 0x00};
    const uint8_t pins[] = {mpsse::kSetLowBits, swd::pins::kLineModeValue, swd::pins::kLineModeDirection};
    const uint8_t lineHigh[] = {mpsse::kBytesOutNeg, mpsse::LengthLow(swd::kLineResetBytes), 0x00,
                                swd::kLineHigh, swd::kLineHigh, swd::kLineHigh, swd::kLineHigh,
                                swd::kLineHigh, swd::kLineHigh, swd::kLineHigh};
    const uint8_t sequence[] = {mpsse::kBytesOutNeg, mpsse::LengthLow(2), mpsse::LengthHigh(2),
                                static_cast<uint8_t>(select & 0xFF), static_cast<uint8_t>(select >> 8)};
    uint32_t written = 0;
    (void)usb.write(handle, divisor, sizeof divisor, &written);
    (void)usb.write(handle, pins, sizeof pins, &written);
    (void)usb.write(handle, lineHigh, sizeof lineHigh, &written);
    (void)usb.write(handle, sequence, sizeof sequence, &written);
    (void)usb.write(handle, lineHigh, sizeof lineHigh, &written);
    // The link opens the same channel next, which fails while this handle holds it.
    return adapter::CloseWithRetry(usb, handle) == adapter::kUsbOk ? 0 : 1;
}

}  // namespace cm3probe::connection
