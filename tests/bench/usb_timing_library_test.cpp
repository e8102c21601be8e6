// The model on the library's real traffic: whatever the path, chip and clock,
// an operation can never beat the time its bytes alone need on the bus, nor,
// once it has waited for an answer, the time its wire cycles need.
#include <gtest/gtest.h>

#include <string>

#include "support/sim_session.h"

namespace cm3bench {
namespace {

using cm3sim::ChipType;
using cm3sim::UsbCounters;

// Big enough for several batches' worth of packets, small enough to be quick.
inline constexpr uint32_t kTestBlock = 1024;

struct Setup {
    Path path;
    ChipType chip;
    uint32_t clockHz;
};

std::string Name(const ::testing::TestParamInfo<Setup>& info) {
    std::string name = PathId(info.param.path) + "_" + ChipName(info.param.chip) + "_" +
                       std::to_string(info.param.clockHz / kSlowClockHz) + "MHz";
    return name;
}

std::vector<Setup> AllSetups() {
    std::vector<Setup> setups;
    for (const Path& path : kPaths) {
        for (ChipType chip : {ChipType::Ft2232D, ChipType::Ft2232H}) {
            for (uint32_t clock : {kFastClockHz, kSlowClockHz}) setups.push_back({path, chip, clock});
        }
    }
    return setups;
}

class ModelOnLibrary : public ::testing::TestWithParam<Setup> {
protected:
    void SetUp() override { ASSERT_EQ(Connect(GetParam().path, GetParam().chip, GetParam().clockHz), DBG_OK); }
    void TearDown() override { Disconnect(); }

    // Every operation ends with a read of the target's answer.
    void ExpectWithinBounds(const UsbCounters& c, const char* what) {
        const cm3sim::UsbBus& bus = cm3sim::BusOf(GetParam().chip);
        EXPECT_GE(c.modeledSeconds(), cm3sim::UsbByteBoundSeconds(bus, c)) << what;
        EXPECT_GE(c.modeledPs, c.wirePs) << what;
        EXPECT_GT(c.roundTrips, 0u) << what;
        EXPECT_EQ(c.shortReads, 0u) << what;
    }
};

INSTANTIATE_TEST_SUITE_P(Everywhere, ModelOnLibrary, ::testing::ValuesIn(AllSetups()), Name);

TEST_P(ModelOnLibrary, NoOperationBeatsItsBounds) {
    DebugResult result = DBG_ERROR;
    ExpectWithinBounds(Measure([] { return DebugHaltCore(); }, &result), "halt");
    EXPECT_EQ(result, DBG_OK);
    ExpectWithinBounds(Measure([] { return DebugStepCore(); }, &result), "step");
    EXPECT_EQ(result, DBG_OK);
    // A halted core keeps the simulator from running the firmware's loop meanwhile.
    ExpectWithinBounds(Measure([] { return Block(true, kTestBlock); }, &result), "block read");
    EXPECT_EQ(result, DBG_OK);
    ExpectWithinBounds(Measure([] { return Block(false, kTestBlock); }, &result), "block write");
    EXPECT_EQ(result, DBG_OK);
    uint32_t value = 0;
    ExpectWithinBounds(Measure([&] { return DebugReadMem(kSram, &value, 2); }, &result), "word read");
    EXPECT_EQ(result, DBG_OK);
}

TEST(ModelOnPaths, TheSameTrafficCountsTheSame) {
    // The same block twice: the same traffic, cycle for cycle.
    for (const Path& path : kPaths) {
        ASSERT_EQ(Connect(path, ChipType::Ft2232D, kFastClockHz), DBG_OK);
        ASSERT_EQ(DebugHaltCore(), DBG_OK);
        const UsbCounters first = Measure([] { return Block(true, kTestBlock); });
        const UsbCounters second = Measure([] { return Block(true, kTestBlock); });
        EXPECT_EQ(first.wireCycles, second.wireCycles) << path.name;
        EXPECT_EQ(first.bytesOut, second.bytesOut) << path.name;
        EXPECT_EQ(first.bytesIn, second.bytesIn) << path.name;
        EXPECT_EQ(first.writes, second.writes) << path.name;
        EXPECT_EQ(cm3sim::GlobalProbe().contentionCount(), 0u) << path.name;
    }
    Disconnect();
}

TEST(ModelAcrossChips, TheHighSpeedChipIsNeverSlower) {
    // Same traffic, faster bus and bigger buffers.
    for (const Path& path : kPaths) {
        for (bool read : {true, false}) {
            ASSERT_EQ(Connect(path, ChipType::Ft2232D, kFastClockHz), DBG_OK);
            ASSERT_EQ(DebugHaltCore(), DBG_OK);
            const UsbCounters d = Measure([read] { return Block(read, kTestBlock); });
            ASSERT_EQ(Connect(path, ChipType::Ft2232H, kFastClockHz), DBG_OK);
            ASSERT_EQ(DebugHaltCore(), DBG_OK);
            const UsbCounters h = Measure([read] { return Block(read, kTestBlock); });
            EXPECT_EQ(d.bytesOut, h.bytesOut) << path.name;
            EXPECT_LE(h.modeledPs, d.modeledPs) << path.name << (read ? " read" : " write");
        }
    }
    Disconnect();
}

// The flash controller's registers, and a page away from the firmware.
namespace flash {
inline constexpr uint32_t kFma = 0x400FD000;
inline constexpr uint32_t kFmc = 0x400FD008;
inline constexpr uint32_t kWriteKey = 0xA442u << 16;
inline constexpr uint32_t kErase = 1u << 1;
inline constexpr uint32_t kPage = 0x10000;
inline constexpr uint64_t kEraseMs = 20;  // the simulator's default page erase
}  // namespace flash

inline constexpr uint32_t kWord = 2;
inline constexpr uint32_t kPollLimit = 100'000;

struct ErasePolls {
    uint32_t polls = 0;
    double seconds = 0;
};

ErasePolls PollAnErase(bool targetFollowsHost) {
    ErasePolls result;
    if (Connect(kPaths[0], ChipType::Ft2232D, kFastClockHz, targetFollowsHost) != DBG_OK ||
        DebugHaltCore() != DBG_OK) {
        return result;
    }
    const UsbCounters before = Counters();
    if (DebugWriteMem(flash::kFma, flash::kPage, kWord) != DBG_OK ||
        DebugWriteMem(flash::kFmc, flash::kWriteKey | flash::kErase, kWord) != DBG_OK) {
        return result;
    }
    uint32_t fmc = flash::kErase;
    while ((fmc & flash::kErase) != 0 && result.polls < kPollLimit) {
        if (DebugReadMem(flash::kFmc, &fmc, kWord) != DBG_OK) break;
        ++result.polls;
    }
    result.seconds = (Counters() - before).modeledSeconds();
    Disconnect();
    return result;
}

TEST(TargetFollowingTheHost, AFlashEraseEndsAfterAsManyPollsAsOnABench) {
    // Every poll is at least a transfer, a frame each: the erase is over
    // within that many polls when the target lives through USB time too.
    const ErasePolls following = PollAnErase(true);
    ASSERT_GT(following.polls, 0u);
    EXPECT_LE(following.polls, flash::kEraseMs + 2);
    EXPECT_GE(following.seconds, flash::kEraseMs / 1000.0);
    // On wire time alone it takes the erase's length in wire cycles of polls.
    const ErasePolls wireOnly = PollAnErase(false);
    EXPECT_GT(wireOnly.polls, 10 * following.polls);
    EXPECT_LT(wireOnly.polls, kPollLimit);
}

}  // namespace
}  // namespace cm3bench
