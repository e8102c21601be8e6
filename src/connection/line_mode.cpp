#include "connection/line_mode.h"

#include "adapter/backend.h"
#include "transport/swd_protocol.h"
#include "transport/swd_streams.h"

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
    // Each piece in its own driver write, none of them examined: a lost one
    // leaves the port in the other mode, which the bring-up after open finds.
    const swd::Stream pieces[] = {
        swd::Stream().Divisor(kLineModeDivisor),
        swd::Stream().Pins(swd::pins::kLineModeValue, swd::pins::kLineModeDirection),
        swd::Stream().Fill(swd::kLineHigh, swd::kLineResetBytes),
        swd::Stream().SelectSequence(select),
        swd::Stream().Fill(swd::kLineHigh, swd::kLineResetBytes),
    };
    for (const swd::Stream& piece : pieces) {
        uint32_t written = 0;
        (void)usb.write(handle, piece.Bytes(), piece.Size(), &written);
    }
    // The link opens the same channel next, which fails while this handle holds it.
    return adapter::CloseWithRetry(usb, handle) == adapter::kUsbOk ? 0 : 1;
}

}  // namespace cm3probe::connection
