// Follows the MPSSE commands a driver hands the chip, across writes, to tell
// when replies sit in the chip: it sends them up only when a packet fills,
// its latency timer runs out (2 ms or more) or a send-immediate arrives.
#pragma once

#include <cstdint>
#include <span>

namespace cm3probe::adapter {

struct MpsseFollower {
    // Longest command head that still has to be seen whole: opcode and a
    // two-byte length.
    static constexpr uint32_t kHeadBytes = 3;
    uint8_t head[kHeadBytes] = {};
    uint32_t headBytes = 0;
    uint32_t operandsLeft = 0;  // bytes of the current command still to come
    bool repliesWaiting = false;
    // An opcode this follower does not decode, or bytes the chip may not all
    // have taken: from here on it cannot tell where commands end.
    bool lost = false;
};

void Follow(MpsseFollower& follower, std::span<const uint8_t> bytes);
// The chip is between commands and holds replies no send-immediate pushed out.
[[nodiscard]] bool NeedsSendImmediate(const MpsseFollower& follower);
// The chip's MPSSE parser starts afresh (bit mode set), or its replies are gone (purge).
void Restart(MpsseFollower& follower);
void RepliesPurged(MpsseFollower& follower);

}  // namespace cm3probe::adapter
