#include "adapter/jtag_mpsse_scan.h"

#include <cstring>

namespace cm3probe::adapter::jtag_mpsse {
namespace {

inline constexpr uint8_t kAllOnes = 0xFF;
inline constexpr uint8_t kReadRequest = 0x01;  // RnW, the first bit of a DAP scan

// Write-only and write-read variants of the data-shifting commands. Reads
// always shift a pattern in as well, so the TAP never sees a floating TDI.
uint8_t ByteOpcode(bool read) { return read ? mpsse::kBytesOutInNeg : mpsse::kBytesOutNeg; }
uint8_t BitOpcode(bool read) { return read ? mpsse::kBitsOutInNeg : mpsse::kBitsOutNeg; }
uint8_t TmsOpcode(bool read) { return read ? mpsse::kTmsOutInNeg : mpsse::kTmsOutNeg; }

uint8_t LowBits(uint8_t value, uint32_t count) { return static_cast<uint8_t>(value & ((1u << count) - 1)); }

bool Bit(const uint8_t* bytes, uint32_t index) {
    return ((bytes[index / mpsse::kBitsPerByte] >> (index % mpsse::kBitsPerByte)) & 1u) != 0;
}

uint8_t TmsByte(uint8_t path, bool tdi) {
    return static_cast<uint8_t>(path | (tdi ? 1u << mpsse::tms::kHeldTdiShift : 0u));
}

}  // namespace

uint32_t BuildScan(uint8_t* out, Register reg, uint32_t bits, const uint8_t* tdi, bool read) {
    uint32_t n = 0;
    const bool instruction = reg == Register::Instruction;
    // TDI is not sampled on the way in; hold it where the first bit wants it.
    const bool firstTdi = Bit(tdi, 0);
    out[n++] = mpsse::kTmsOutNeg;
    out[n++] = mpsse::LengthLow(instruction ? tap::kIdleToShiftIrClocks : tap::kIdleToShiftDrClocks);
    out[n++] = TmsByte(instruction ? tap::kIdleToShiftIr : tap::kIdleToShiftDr, firstTdi);

    const uint32_t wholeBytes = BodyBytes(bits);
    if (wholeBytes != 0) {
        out[n++] = ByteOpcode(read);
        out[n++] = mpsse::LengthLow(wholeBytes);
        out[n++] = mpsse::LengthHigh(wholeBytes);
        std::memcpy(out + n, tdi, wholeBytes);
        n += wholeBytes;
    }
    const uint32_t oddBits = BodyBits(bits);
    if (oddBits != 0) {
        out[n++] = BitOpcode(read);
        out[n++] = mpsse::LengthLow(oddBits);
        out[n++] = LowBits(tdi[wholeBytes], oddBits);
    }
    out[n++] = TmsOpcode(read);
    out[n++] = mpsse::LengthLow(tap::kLastBitToIdleClocks);
    out[n++] = TmsByte(tap::kLastBitToIdle, LastTdiBit(bits, tdi));
    return n;
}

bool LastTdiBit(uint32_t bits, const uint8_t* tdi) { return Bit(tdi, bits - 1); }

void UnpackCapture(const uint8_t* reply, uint32_t bits, uint8_t* capture) {
    const uint32_t wholeBytes = BodyBytes(bits);
    const uint32_t oddBits = BodyBits(bits);
    std::memcpy(capture, reply, wholeBytes);
    uint8_t last = 0;
    uint32_t next = wholeBytes;
    if (oddBits != 0) last = static_cast<uint8_t>(reply[next++] >> mpsse::BitReadShift(oddBits));
    // Only the first of the TMS command's clocks samples the scan's last bit.
    const uint8_t lastBit = (reply[next] >> mpsse::BitReadShift(tap::kLastBitToIdleClocks)) & 1u;
    capture[wholeBytes] = static_cast<uint8_t>(last | (lastBit << oddBits));
}

void ReadOnlyPattern(Register reg, uint32_t bits, uint8_t* out) {
    const uint32_t count = ByteCount(bits);
    if (reg == Register::Instruction) {
        std::memset(out, kAllOnes, count);
        return;
    }
    std::memset(out, 0, count);
    out[0] = kReadRequest;
}

}  // namespace cm3probe::adapter::jtag_mpsse
