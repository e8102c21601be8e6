#include "transport/swd_protocol.h"

namespace cm3probe::swd {

namespace {
inline constexpr uint8_t kDataBitsLength = mpsse::LengthLow(8);
inline constexpr uint8_t kAckLength = mpsse::LengthLow(kAckBits);
inline constexpr uint8_t kParityLength = mpsse::LengthLow(kParityAndIdleBits);

size_t PutPins(uint8_t* out, uint8_t value, uint8_t direction) {
    out[0] = mpsse::kSetLowBits;
    out[1] = value;
    out[2] = direction;
    return 3;
}

size_t PutRequest(uint8_t* out, uint8_t registerAddress, uint8_t apSelect, bool read) {
    out[0] = mpsse::kBitsOutNeg;
    out[1] = kDataBitsLength;
    out[2] = RequestByte(registerAddress, apSelect, read);
    return 3;
}
}  // namespace

size_t BuildWriteStream(uint8_t* out, uint8_t registerAddress, uint8_t apSelect, uint32_t value) {
    size_t n = PutRequest(out, registerAddress, apSelect, false);
    n += PutPins(out + n, pins::kReleaseValue, pins::kReleaseDirection);
    // Turnaround, acknowledge, turnaround: clocked with TMS and DO low, not sampled.
    out[n++] = mpsse::kTmsOutNeg;
    out[n++] = mpsse::LengthLow(kWriteAckCycles);
    out[n++] = 0x00;
    n += PutPins(out + n, pins::kDriveValue, pins::kDriveDirection);
    out[n++] = mpsse::kBytesOutNeg;
    out[n++] = mpsse::LengthLow(kDataBytes);
    out[n++] = mpsse::LengthHigh(kDataBytes);
    for (uint32_t i = 0; i < kDataBytes; ++i) out[n++] = static_cast<uint8_t>(value >> (8 * i));
    out[n++] = mpsse::kBitsOutNeg;
    out[n++] = kParityLength;
    out[n++] = Parity(value);
    return n;
}

size_t BuildReadStream(uint8_t* out, uint8_t registerAddress, uint8_t apSelect) {
    size_t n = PutRequest(out, registerAddress, apSelect, true);
    n += PutPins(out + n, pins::kReleaseValue, pins::kReleaseDirection);
    out[n++] = mpsse::kBitsInNeg;
    out[n++] = kAckLength;
    out[n++] = mpsse::kBytesInNeg;
    out[n++] = mpsse::LengthLow(kDataBytes);
    out[n++] = mpsse::LengthHigh(kDataBytes);
    // Parity, then two cycles with the line still released.
    out[n++] = mpsse::kBitsInNeg;
    out[n++] = kParityLength;
    n += PutPins(out + n, pins::kDriveValue, pins::kDriveDirection);
    return n;
}

uint32_t DecodeResponse(const uint8_t* response, uint32_t* value) {
    uint32_t acknowledge = response[0] >> kAckShift;
    if (acknowledge == ack::kOk) {
        *value = static_cast<uint32_t>(response[1]) | static_cast<uint32_t>(response[2]) << 8 |
                 static_cast<uint32_t>(response[3]) << 16 | static_cast<uint32_t>(response[4]) << 24;
    }
    return acknowledge;
}

WireStatus AckStatus(uint32_t acknowledge) {
    switch (acknowledge) {
        case ack::kOk: return WireStatus::Ok;
        case ack::kWait: return WireStatus::Wait;
        case ack::kFault: return WireStatus::Fault;
        case ack::kNoAnswer: return WireStatus::NoAnswer;
        default: return WireStatus::ProtocolError;
    }
}

}  // namespace cm3probe::swd
