#include "adapter/mpsse_follower.h"

#include <algorithm>

#include "adapter/mpsse.h"

namespace cm3probe::adapter {
namespace {

inline constexpr uint32_t kOpcodeOnly = 1;
inline constexpr uint32_t kOneArgument = 2;
inline constexpr uint32_t kTwoArguments = 3;
inline constexpr uint32_t kNotYet = 0;
inline constexpr uint32_t kUndecodable = UINT32_MAX;
inline constexpr uint8_t kFirstShift = 0x10;
inline constexpr uint8_t kLastShift = 0x3F;
inline constexpr uint8_t kTmsBase = 0x4A;
inline constexpr uint8_t kTmsVariableBits = mpsse::kWriteNegEdge | mpsse::kReadNegEdge | mpsse::kDoRead;
inline constexpr uint8_t kWaitOnGpiol1High = 0x88;
inline constexpr uint8_t kWaitOnGpiol1Low = 0x89;
inline constexpr unsigned kHighByteShift = 8;

bool IsShift(uint8_t op) { return op >= kFirstShift && op <= kLastShift; }
bool IsTms(uint8_t op) { return (op & ~kTmsVariableBits) == kTmsBase; }

// Bytes of the command whose first `count` bytes are `head`; kNotYet while its
// length field is still to come.
uint32_t CommandLength(const uint8_t* head, uint32_t count) {
    const uint8_t op = head[0];
    if (IsShift(op)) {
        const bool writes = (op & mpsse::kDoWrite) != 0;
        if ((op & mpsse::kBitMode) != 0) return kOneArgument + (writes ? 1 : 0);
        if (!writes) return kTwoArguments;
        if (count < kTwoArguments) return kNotYet;
        return kTwoArguments + ((static_cast<uint32_t>(head[1]) | (static_cast<uint32_t>(head[2]) << kHighByteShift)) + 1);
    }
    if (IsTms(op)) return kTwoArguments;
    switch (op) {
    case mpsse::kSetLowBits:
    case mpsse::kSetHighBits:
    case mpsse::kSetDivisor:
        return kTwoArguments;
    case mpsse::kReadLowBits:
    case mpsse::kReadHighBits:
    case mpsse::kLoopbackOn:
    case mpsse::kLoopbackOff:
    case mpsse::kSendImmediate:
    case kWaitOnGpiol1High:
    case kWaitOnGpiol1Low:
    case mpsse::kSyncProbe:
        return kOpcodeOnly;
    default:
        return kUndecodable;
    }
}

bool Answers(uint8_t op) {
    return ((IsShift(op) || IsTms(op)) && (op & mpsse::kDoRead) != 0) || op == mpsse::kReadLowBits ||
           op == mpsse::kReadHighBits || op == mpsse::kSyncProbe;  // a bad command is answered too
}

}  // namespace

void Follow(MpsseFollower& f, std::span<const uint8_t> bytes) {
    size_t at = 0;
    while (at < bytes.size() && !f.lost) {
        if (f.operandsLeft != 0) {
            const uint32_t skip = static_cast<uint32_t>(std::min<size_t>(f.operandsLeft, bytes.size() - at));
            f.operandsLeft -= skip;
            at += skip;
            continue;
        }
        f.head[f.headBytes++] = bytes[at++];
        const uint32_t length = CommandLength(f.head, f.headBytes);
        if (length == kUndecodable) {
            f.lost = true;
        } else if (length != kNotYet && f.headBytes >= std::min(length, MpsseFollower::kHeadBytes)) {
            const uint8_t op = f.head[0];
            if (op == mpsse::kSendImmediate) f.repliesWaiting = false;
            if (Answers(op)) f.repliesWaiting = true;
            f.operandsLeft = length - f.headBytes;
            f.headBytes = 0;
        }
    }
}

bool NeedsSendImmediate(const MpsseFollower& f) {
    return !f.lost && f.repliesWaiting && f.operandsLeft == 0 && f.headBytes == 0;
}

void Restart(MpsseFollower& f) { f = MpsseFollower{}; }

void RepliesPurged(MpsseFollower& f) { f.repliesWaiting = false; }

}  // namespace cm3probe::adapter
