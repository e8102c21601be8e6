#include "transport/swd_link.h"

#include <unistd.h>

#include <algorithm>

#include "adapter/backend.h"
#include "adapter/mpsse.h"
#include "dap/dp_registers.h"
#include "frame/link_state.h"
#include "transport/swd_batch.h"
#include "transport/swd_protocol.h"
#include "transport/swd_streams.h"
#include "transport/timing.h"

namespace cm3probe {

namespace {

using swd::Stream;

const adapter::UsbDriver& Usb() { return *adapter::ActiveBackend().usb; }

// One stream in one driver write; a short write is a failure.
adapter::UsbStatus WriteWhole(adapter::UsbHandle handle, const uint8_t* bytes, uint32_t count) {
    uint32_t written = 0;
    const adapter::UsbStatus status = Usb().write(handle, bytes, count, &written);
    if (status != adapter::kUsbOk) return status;
    return written == count ? adapter::kUsbOk : adapter::kUsbFailed;
}

// Link traffic: nothing goes out while the link is down, and a write that
// failed or came short takes it down.
// Inlined: every transaction goes through here.
[[gnu::always_inline]] inline WireStatus Send(adapter::UsbHandle handle, const uint8_t* bytes, uint32_t count) {
    if (link_state::Down()) return WireStatus::UsbFailure;
    if (WriteWhole(handle, bytes, count) == adapter::kUsbOk) return WireStatus::Ok;
    link_state::MarkDown();
    return WireStatus::UsbFailure;
}

WireStatus Send(adapter::UsbHandle handle, const Stream& stream) {
    return Send(handle, stream.Bytes(), stream.Size());
}

WireStatus SendFill(adapter::UsbHandle handle, uint8_t level, uint32_t count) {
    return Send(handle, Stream().Fill(level, count));
}

WireStatus SendSelectSequence(adapter::UsbHandle handle, uint16_t sequence) {
    return Send(handle, Stream().SelectSequence(sequence));
}

WireStatus SendIdle(adapter::UsbHandle handle) { return Send(handle, Stream().Idle()); }

WireStatus SendDivisor(adapter::UsbHandle handle, uint32_t divisor) {
    return Send(handle, Stream().Divisor(divisor));
}

// 40 cycles with SWDIO released: a read cut short finishes its data phase
// (34 cycles at most) before the line reset, and a write cut short takes the
// pulled-up line as data whose parity fails, so it is never performed.
inline constexpr uint32_t kReleasedFlushBytes = 5;

// Clock, the cut transaction finished, drive setting (which also keeps the
// line-mode pin low: SWD wiring), and a bad opcode pushed back at once: only
// an engine parsing from a command boundary answers it with exactly
// kBadCommand and the opcode.
adapter::UsbStatus SendSetupAndProveSync(adapter::UsbHandle handle, uint32_t divisor) {
    Stream stream;
    stream.Divisor(divisor)
        .Pins(swd::pins::kReleaseValue, swd::pins::kReleaseDirection)
        .Fill(swd::kLineHigh, kReleasedFlushBytes)
        .Pins(swd::pins::kDriveValue, swd::pins::kDriveDirection)
        .Byte(mpsse::kSyncProbe)
        .Byte(mpsse::kSendImmediate);
    adapter::UsbStatus status = WriteWhole(handle, stream.Bytes(), stream.Size());
    if (status != adapter::kUsbOk) return status;
    uint8_t echo[sizeof mpsse::kSyncEcho] = {};
    uint32_t got = 0;
    status = Usb().read(handle, echo, sizeof echo, &got);
    if (status != adapter::kUsbOk) return status;
    return got == sizeof echo && std::equal(echo, echo + sizeof echo, mpsse::kSyncEcho) ? adapter::kUsbOk
                                                                                         : adapter::kUsbFailed;
}

WireStatus SendDrive(adapter::UsbHandle handle) {
    return Send(handle, Stream().Pins(swd::pins::kDriveValue, swd::pins::kDriveDirection));
}

// 72 low cycles flush whatever the port was in the middle of.
inline constexpr uint32_t kFlushBytes = 9;

}  // namespace

uint32_t SwdClockDivisor(uint32_t clockHz) {
    if (clockHz == 0) return mpsse::kMaxDivisor;
    clockHz = std::min(clockHz, mpsse::kBaseClockHz);
    return std::min(mpsse::kBaseClockHz / clockHz - 1, mpsse::kMaxDivisor);
}

adapter::UsbStatus SwdLinkOpen(const char* description, uint32_t clockHz, adapter::UsbHandle* outHandle) {
    if (!BatchAllocate()) return adapter::kUsbFailed;
    link_state::MarkUp();
    const adapter::UsbDriver& usb = Usb();
    adapter::UsbHandle handle = nullptr;
    adapter::UsbStatus status = usb.openByDescription(description, &handle);
    if (status != adapter::kUsbOk) {
        BatchRelease();
        return status;
    }
    status = usb.setBitMode(handle, swd::pins::kDriveDirection, adapter::bitmode::kMpsse);
    if (status != adapter::kUsbOk) {
        // The handle is gone: never leave it where a later close would use it.
        (void)adapter::CloseWithRetry(usb, handle);
        BatchRelease();
        return status;
    }
    *outHandle = handle;
    // A failure here takes the link down; the first export recovers it.
    NotExamined(SendDivisor(handle, SwdClockDivisor(clockHz)));
    NotExamined(SendDrive(handle));
    NotExamined(SendFill(handle, swd::kLineLow, kFlushBytes));
    NotExamined(SendFill(handle, swd::kLineHigh, swd::kLineResetBytes));
    NotExamined(SendSelectSequence(handle, swd::kJtagToSwd));
    NotExamined(SendFill(handle, swd::kLineHigh, swd::kLineResetBytes));
    NotExamined(SendIdle(handle));
    (void)usb.purge(handle, adapter::purge::kBoth);  // stale bytes only; the link works without it
    return adapter::kUsbOk;
}

adapter::UsbStatus SwdLinkClose(adapter::UsbHandle handle) {
    const adapter::UsbStatus status = Usb().close(handle);
    // A failed close leaves the link open and its buffers in use; the retry
    // that follows frees them exactly once.
    if (status == adapter::kUsbOk) BatchRelease();
    return status;
}

WireStatus SwdPulseReset(adapter::UsbHandle handle) {
    if (link_state::Down()) return WireStatus::UsbFailure;
    // A failed assert takes the link down, and the release below then reports it.
    NotExamined(Send(handle, Stream().Pins(swd::pins::kDriveValue, swd::pins::kResetAssertDirection)));
    timing::SleepMilliseconds(timing::kResetPulseMs);
    return SendDrive(handle);
}

WireStatus SwdWriteTransfer(adapter::UsbHandle handle, uint8_t registerAddress, uint8_t apSelect, uint32_t value) {
    uint8_t stream[swd::kWriteStreamSize];
    size_t length = swd::BuildWriteStream(stream, registerAddress, apSelect, value);
    return Send(handle, stream, static_cast<uint32_t>(length));
}

WireStatus SwdReadTransfer(adapter::UsbHandle handle, uint8_t registerAddress, uint8_t apSelect,
                           uint32_t* outValue) {
    uint8_t stream[swd::kReadStreamSize];
    size_t length = swd::BuildReadStream(stream, registerAddress, apSelect);
    const WireStatus sent = Send(handle, stream, static_cast<uint32_t>(length));
    if (!IsOk(sent)) return sent;
    uint8_t response[swd::kResponseSize] = {};
    uint32_t got = 0;
    const adapter::UsbStatus status = Usb().read(handle, response, swd::kResponseSize, &got);
    if (status != adapter::kUsbOk || got != swd::kResponseSize) {
        link_state::MarkDown();
        // What this answer left in the chip would be taken for the next one's.
        (void)Usb().purge(handle, adapter::purge::kReceive);  // the link is down whatever it answers
        if (status != adapter::kUsbOk) return WireStatus::UsbFailure;
    }
    *outValue = 0;
    if (got != swd::kResponseSize) return WireStatus::UsbFailure;
    const WireStatus answered = swd::AckStatus(swd::DecodeResponse(response, outValue));
    if (answered == WireStatus::Wait) link_state::MarkApStalled();
    return answered;
}

WireStatus SwdLineResetAndIdentify(adapter::UsbHandle handle) {
    // A failed send takes the link down, and the read then reports it.
    NotExamined(SendFill(handle, swd::kLineHigh, swd::kLineResetBytes));
    NotExamined(SendIdle(handle));
    uint32_t idcode = 0;
    return SwdReadTransfer(handle, dp::kIdcode, swd::kDebugPort, &idcode);
}

WireStatus SwdResynchronise(adapter::UsbHandle handle, uint32_t clockDivisor) {
    const adapter::UsbDriver& usb = Usb();
    const uint8_t mask = swd::pins::kDriveDirection;
    adapter::UsbStatus status = usb.purge(handle, adapter::purge::kBoth);
    // A purge may leave a half-received command in the engine; leaving MPSSE
    // mode drops it.
    if (status == adapter::kUsbOk) status = usb.setBitMode(handle, mask, adapter::bitmode::kReset);
    if (status == adapter::kUsbOk) status = usb.setBitMode(handle, mask, adapter::bitmode::kMpsse);
    // Replies made before the reset must not be taken for the echo.
    if (status == adapter::kUsbOk) status = usb.purge(handle, adapter::purge::kBoth);
    if (status == adapter::kUsbOk) status = SendSetupAndProveSync(handle, clockDivisor);
    if (status != adapter::kUsbOk) {
        link_state::MarkDown();
        return WireStatus::UsbFailure;
    }
    link_state::MarkUp();
    // The port may have lost framing with the engine: whatever it answers,
    // the engine is in step, and a driver failure here takes the link down again.
    NotExamined(SwdLineResetAndIdentify(handle));
    return link_state::Down() ? WireStatus::UsbFailure : WireStatus::Ok;
}

}  // namespace cm3probe
