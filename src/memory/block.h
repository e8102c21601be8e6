// Shared by the block transfers: CSW for a word stream with auto-increment,
// the 4 KB page that TAR's increment wraps within, and the writes that start
// a stream.
#pragma once

#include <cstdint>

#include "dap/ap_registers.h"
#include "dap/dp_registers.h"
#include "dap/port.h"

namespace cm3probe::block {

inline constexpr uint32_t kMaxBytes = 4096;
inline constexpr uint32_t kCswWordStream = ap::csw::kBase | ap::csw::kAddrIncSingle | 0x2;  // word size
inline constexpr uint32_t kPageMask = 0xFFF;
inline constexpr uint32_t kWordBytes = 4;
static_assert(kCswWordStream == 0x23000012);

constexpr bool StartsPage(uint32_t address) { return (address & kPageMask) == 0; }

inline uint32_t LoadWord(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

inline void StoreWord(uint8_t* bytes, uint32_t word) {
    for (uint32_t i = 0; i < kWordBytes; ++i) bytes[i] = static_cast<uint8_t>(word >> (8 * i));
}

// SELECT, then TAR and CSW each with the bank selected before it, as the
// port's call-by-call writes send them; false when any did not take. Batched
// on a port whose writes answer, they go as one exchange: a refusal still
// shows in its answer, and nothing of the stream goes out before all are seen
// to have taken.
inline bool StartStream(const dap::Port& port, bool batched, uint32_t address) {
    if (!batched || !port.writesAnswer) {
        return IsOk(port.write(dap::Dp(dp::kSelect), 0)) && IsOk(port.write(dap::Ap(ap::kTar), address)) &&
               IsOk(port.write(dap::Ap(ap::kCsw), kCswWordStream));
    }
    port.queueReset();
    const bool queued = port.queueWrite(dap::Dp(dp::kSelect), 0) && port.queueSelectAp(0) &&
                        port.queueWrite(dap::Ap(ap::kTar), address) && port.queueSelectAp(0) &&
                        port.queueWrite(dap::Ap(ap::kCsw), kCswWordStream);
    if (!queued) {
        port.queueReset();
        return false;
    }
    return IsOk(port.flushExpectingOk());
}

}  // namespace cm3probe::block
