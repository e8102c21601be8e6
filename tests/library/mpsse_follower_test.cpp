// The follower against streams whose command ends and answers are known by
// construction, cut into writes at random points (inside operands, inside a
// length field, between commands).
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "adapter/mpsse_follower.h"

namespace cm3probe::adapter {
namespace {

using Bytes = std::vector<uint8_t>;

struct Command {
    Bytes bytes;
    bool answers;
};

// Shapes the library composes; byte data is random, so 0x87 turns up as data.
Command RandomCommand(std::mt19937& random) {
    auto byte = [&] { return static_cast<uint8_t>(random()); };
    switch (random() % 9) {
    case 0: {
        const uint32_t n = 1 + random() % 300;
        Bytes b{0x19, static_cast<uint8_t>((n - 1) & 0xFF), static_cast<uint8_t>((n - 1) >> 8)};
        for (uint32_t i = 0; i < n; ++i) b.push_back(random() % 4 == 0 ? 0x87 : byte());
        return {b, false};
    }
    case 1: return {{0x2C, byte(), byte()}, true};            // bytes in
    case 2: return {{0x2E, static_cast<uint8_t>(random() % 8)}, true};  // bits in
    case 3: return {{0x1B, static_cast<uint8_t>(random() % 8), byte()}, false};
    case 4: return {{0x3B, static_cast<uint8_t>(random() % 8), byte()}, true};
    case 5: return {{0x4B, byte(), byte()}, false};
    case 6: return {{0x6B, byte(), byte()}, true};
    case 7: return {{0x81}, true};
    default: return {{0x87}, false};
    }
}

TEST(MpsseFollower, KnowsWhenRepliesWaitAcrossRandomCuts) {
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        Bytes stream;
        std::vector<size_t> ends;       // offset after each command
        std::vector<bool> waitingAfter; // replies unflushed after it
        bool waiting = false;
        for (int i = 0; i < 12; ++i) {
            const Command c = RandomCommand(random);
            stream.insert(stream.end(), c.bytes.begin(), c.bytes.end());
            if (c.bytes == Bytes{0x87}) waiting = false;
            if (c.answers) waiting = true;
            ends.push_back(stream.size());
            waitingAfter.push_back(waiting);
        }
        MpsseFollower follower;
        size_t at = 0;
        while (at < stream.size()) {
            const size_t cut = std::min(stream.size(), at + 1 + random() % 40);
            Follow(follower, std::span<const uint8_t>(stream.data() + at, cut - at));
            at = cut;
            bool expected = false;
            for (size_t k = 0; k < ends.size(); ++k) {
                if (ends[k] == at) expected = waitingAfter[k];
            }
            ASSERT_EQ(NeedsSendImmediate(follower), expected) << "round " << round << " at " << at;
        }
    }
}

TEST(MpsseFollower, AnOpcodeItCannotDecodeStopsItUntilARestart) {
    MpsseFollower follower;
    const uint8_t unknown[] = {0x81, 0x8F, 0x00, 0x00};  // clock bytes: length depends on the chip
    Follow(follower, unknown);
    EXPECT_FALSE(NeedsSendImmediate(follower));
    const uint8_t read[] = {0x81};
    Follow(follower, read);
    EXPECT_FALSE(NeedsSendImmediate(follower));
    Restart(follower);
    Follow(follower, read);
    EXPECT_TRUE(NeedsSendImmediate(follower));
    RepliesPurged(follower);
    EXPECT_FALSE(NeedsSendImmediate(follower));
}

}  // namespace
}  // namespace cm3probe::adapter
