// The SWD link's command streams outside a transaction, each piece composed
// in one spot: clock, pins, a run of one level on SWDIO, a select sequence,
// idle cycles. The link's bring-up, recovery and reset pulse, and the
// line-mode switch before open, are built from these.
#pragma once

#include <cstdint>

#include "adapter/mpsse.h"
#include "transport/swd_protocol.h"

namespace cm3probe::swd {

class Stream {
public:
    Stream& Divisor(uint32_t divisor) {
        return Byte(mpsse::kSetDivisor)
            .Byte(static_cast<uint8_t>(divisor & 0xFF))
            .Byte(static_cast<uint8_t>((divisor >> 8) & 0xFF));
    }
    Stream& Pins(uint8_t value, uint8_t direction) { return Byte(mpsse::kSetLowBits).Byte(value).Byte(direction); }
    // Clocks `count` bytes of one value out on SWDIO.
    Stream& Fill(uint8_t level, uint32_t count) {
        Byte(mpsse::kBytesOutNeg).Byte(mpsse::LengthLow(count)).Byte(mpsse::LengthHigh(count));
        for (uint32_t i = 0; i < count; ++i) Byte(level);
        return *this;
    }
    // A JTAG-to-SWD or SWD-to-JTAG select sequence, 16 bits.
    Stream& SelectSequence(uint16_t sequence) {
        return Byte(mpsse::kBytesOutNeg)
            .Byte(mpsse::LengthLow(2))
            .Byte(mpsse::LengthHigh(2))
            .Byte(static_cast<uint8_t>(sequence & 0xFF))
            .Byte(static_cast<uint8_t>(sequence >> 8));
    }
    // Eight cycles with SWDIO low.
    Stream& Idle() { return Byte(mpsse::kBitsOutNeg).Byte(mpsse::LengthLow(8)).Byte(kLineLow); }
    Stream& Byte(uint8_t byte) {
        if (size_ < kCapacity) bytes_[size_++] = byte;
        return *this;
    }
    const uint8_t* Bytes() const { return bytes_; }
    uint32_t Size() const { return size_; }

private:
    // Room for the longest stream, the recovery's set-up with its sync probe (19 bytes).
    static constexpr uint32_t kCapacity = 32;
    uint8_t bytes_[kCapacity] = {};
    uint32_t size_ = 0;
};

}  // namespace cm3probe::swd
