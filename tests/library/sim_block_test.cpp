// Block write and block read end to end on the simulator over every path:
// every alignment and short length, page crossings, faults and refusals.
#include <random>
#include <vector>

#include "sim_fixture.h"

namespace cm3test {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Random(size_t count, uint32_t seed) {
    std::mt19937 random(seed);
    Bytes out(count);
    for (uint8_t& b : out) b = static_cast<uint8_t>(random());
    return out;
}

class BlockTest : public PathTest {
protected:
    // Fills SRAM with a pattern where each byte is its address plus one, so a
    // stray or shifted access shows at once.
    void Pattern(uint32_t address, uint32_t count) {
        Bytes bytes(count);
        for (uint32_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(address + i + 1);
        Target().pokeBytes(address, bytes);
    }
    void RoundTrip(uint32_t address, uint32_t count, uint32_t seed) {
        Bytes data = Random(count, seed);
        ASSERT_EQ(DebugWriteBlock(address, data.data(), count), DBG_OK) << std::hex << address << " " << std::dec << count;
        ASSERT_EQ(Target().peekBytes(address, count), data) << std::hex << address << " " << std::dec << count;
        Bytes back(count + 1, 0xEE);
        ASSERT_EQ(DebugReadBlock(address, back.data(), count), DBG_OK) << std::hex << address << " " << std::dec << count;
        EXPECT_EQ(back[count], 0xEE) << "read past the count";
        back.resize(count);
        ASSERT_EQ(back, data) << std::hex << address << " " << std::dec << count;
    }
};

TEST_P(BlockTest, EveryAlignmentAndShortLength) {
    const uint32_t base = kSram + 0x800;
    for (uint32_t offset = 0; offset < 4; ++offset) {
        for (uint32_t count = 0; count <= 40; ++count) {
            Pattern(base - 8, 64);
            RoundTrip(base + offset, count, offset * 100 + count);
            // Nothing around the block moved.
            for (uint32_t i = 0; i < offset + 8; ++i) {
                ASSERT_EQ(Target().peek8(base - 8 + i), static_cast<uint8_t>(base - 8 + i + 1));
            }
            ASSERT_EQ(Target().peek8(base + offset + count), static_cast<uint8_t>(base + offset + count + 1));
        }
    }
}

TEST_P(BlockTest, LargestBlocks) {
    RoundTrip(kSram + 0x1000, 4096, 1);
    RoundTrip(kSram + 0x3001, 4095, 2);
    RoundTrip(kSram + 0x5002, 4096, 3);
    // Word-aligned starts inside a page: the pass changes page near its end.
    RoundTrip(kSram + 0x6004, 4096, 4);
    RoundTrip(kSram + 0x8800, 4096, 5);
    uint8_t buffer[8] = {};
    EXPECT_EQ(DebugWriteBlock(kSram, buffer, 4097), DBG_BAD_PARAMETER);
    EXPECT_EQ(DebugReadBlock(kSram, buffer, 4097), DBG_BAD_PARAMETER);
    EXPECT_EQ(DebugReadBlock(kSram, nullptr, 4), DBG_BAD_PARAMETER);
}

TEST_P(BlockTest, PageCrossingAtEveryWordOffset) {
    // TAR's increment wraps within 4 KB: a missing rewrite would land the
    // words after the page start at its beginning.
    for (uint32_t words = 0; words < 12; ++words) {
        const uint32_t start = kSram + 0x2000 - 4 * words;
        Pattern(kSram + 0x1000, 0x2000);
        RoundTrip(start, 64, words);
        RoundTrip(start + 1, 61, words + 50);
        EXPECT_EQ(Target().peek8(kSram + 0x1000), static_cast<uint8_t>(kSram + 0x1000 + 1)) << words;
    }
}

TEST_P(BlockTest, BusFaultInsideABlockIsStickyAndBounded) {
    Config().ahbErrorRegions.push_back({kSram + 0x4010, 4});
    Pattern(kSram + 0x3F00, 0x200);
    Bytes data = Random(64, 9);
    EXPECT_EQ(DebugWriteBlock(kSram + 0x4000, data.data(), 64), DBG_STICKY_ERROR);
    EXPECT_EQ(Probe().dpState().ctrlStat() & 0xA2, 0u);
    // Nothing outside the block was touched.
    for (uint32_t a = kSram + 0x3F00; a < kSram + 0x4000; ++a) ASSERT_EQ(Target().peek8(a), static_cast<uint8_t>(a + 1));
    for (uint32_t a = kSram + 0x4040; a < kSram + 0x4100; ++a) ASSERT_EQ(Target().peek8(a), static_cast<uint8_t>(a + 1));
    // The words before the fault arrived.
    EXPECT_EQ(Target().peekBytes(kSram + 0x4000, 16), Bytes(data.begin(), data.begin() + 16));

    Bytes back(64);
    EXPECT_EQ(DebugReadBlock(kSram + 0x4000, back.data(), 64), DBG_STICKY_ERROR);
    EXPECT_EQ(Probe().dpState().ctrlStat() & 0xA2, 0u);
    // And the next call works.
    RoundTrip(kSram + 0x4100, 64, 10);
}

TEST_P(BlockTest, StreamFaultIsReportedEvenWithFinalBytes) {
    Config().ahbErrorRegions.push_back({kSram + 0x4008, 4});
    Bytes data = Random(23, 11);
    EXPECT_EQ(DebugWriteBlock(kSram + 0x4000, data.data(), 23), DBG_STICKY_ERROR);
    Bytes back(23);
    EXPECT_EQ(DebugReadBlock(kSram + 0x4000, back.data(), 23), DBG_STICKY_ERROR);
}

TEST_P(BlockTest, RefusedReadsAreReadAgainOrReported) {
    Bytes data = Random(256, 12);
    Target().pokeBytes(kSram + 0x6000, data);
    for (uint32_t waits : {1u, 2u, 5u}) {
        for (uint32_t delay = 0; delay < 12; delay += 3) {
            Bytes back(256, 0xEE);
            // The first `waits` AP transactions of the call are refused.
            Config().waitNextApTransactions = waits;
            DebugResult result = DebugReadBlock(kSram + 0x6000 + 4 * delay, back.data(), 128);
            Config().waitNextApTransactions = 0;
            if (GetParam().swd) {
                // Overrun detection makes a WAIT sticky: an error, never bad data.
                EXPECT_NE(result, DBG_OK) << waits << " " << delay;
            } else {
                ASSERT_EQ(result, DBG_OK) << waits << " " << delay;
                EXPECT_EQ(Bytes(back.begin(), back.begin() + 128),
                          Bytes(data.begin() + 4 * delay, data.begin() + 4 * delay + 128))
                    << waits << " " << delay;
            }
            // The next call works either way.
            Bytes again(128);
            ASSERT_EQ(DebugReadBlock(kSram + 0x6000, again.data(), 128), DBG_OK);
            ASSERT_EQ(again, Bytes(data.begin(), data.begin() + 128));
        }
    }
}

TEST_P(BlockTest, RefusedWritesAreNeverReportedAsDone) {
    Bytes data = Random(128, 13);
    Config().waitNextApTransactions = 2;
    DebugResult result = DebugWriteBlock(kSram + 0x7000, data.data(), 128);
    Config().waitNextApTransactions = 0;
    if (result == DBG_OK) {
        EXPECT_EQ(Target().peekBytes(kSram + 0x7000, 128), data);
    }
    RoundTrip(kSram + 0x7000, 128, 14);
}

TEST_P(BlockTest, ZeroBytes) {
    EXPECT_EQ(DebugWriteBlock(kSram, nullptr, 0), DBG_OK);
    EXPECT_EQ(DebugReadBlock(kSram, nullptr, 0), DBG_OK);
}

INSTANTIATE_TEST_SUITE_P(AllPaths, BlockTest, ::testing::ValuesIn(kAllPaths), PathName);

}  // namespace
}  // namespace cm3test
