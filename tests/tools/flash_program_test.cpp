// Flash programming through the flash controller, in process on the
// simulator, with the target's flash inspected directly.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "cli_support.h"
#include "cm3probe.h"
#include "common/flash.h"
#include "target/cortex_m3_target.h"
#include "virtual_probe.h"

namespace cm3test {
namespace {

using cm3tools::flash::kPageSize;
using cm3tools::flash::Piece;
using cm3tools::flash::Status;

constexpr uint32_t kClockHz = 1000000;
constexpr const char* kAdapter = "USB Debug Bridge A";
constexpr uint8_t kErased = 0xFF;

struct Connection {
    bool swd;
    bool batched;
};

// Erases shortened from tens of milliseconds of target time: every poll
// costs wire traffic, and the command line's tests flash at full length.
cm3sim::SimConfig QuickFlash() {
    cm3sim::SimConfig config;
    config.flashEraseNs = 1'000'000;
    config.flashMassEraseNs = 4'000'000;
    return config;
}

class FlashTest : public ::testing::TestWithParam<Connection> {
protected:
    void SetUp() override { Boot(QuickFlash()); }
    void TearDown() override { (void)DebugClose(); }

    void Boot(const cm3sim::SimConfig& config) {
        (void)DebugClose();
        ::setenv("CM3PROBE_DRIVER", "sim", 1);
        cm3sim::ResetGlobalProbe(config);
        ASSERT_EQ(DebugOpen(kClockHz, kAdapter, GetParam().swd ? 1 : 0), DBG_OK);
        ASSERT_EQ(DebugInit(GetParam().batched ? 1 : 0), DBG_OK);
        uint32_t state = 0;
        ASSERT_EQ(DebugGetCoreState(&state), DBG_OK);
        ASSERT_EQ(DebugHaltCore(), DBG_OK);
    }

    cm3sim::CortexM3Target& Target() {
        return static_cast<cm3sim::CortexM3Target&>(cm3sim::GlobalProbe().target());
    }
    const cm3sim::FlashCounters& Counters() { return Target().flashCounters(); }
    std::vector<uint8_t> Flash(uint32_t address, uint32_t length) { return Target().peekBytes(address, length); }
};

TEST_P(FlashTest, ProgramsUnalignedBytesAndLeavesTheRestErased) {
    const auto bytes = Pattern(10, 1);
    ASSERT_TRUE(cm3tools::flash::Program(0x103, bytes).ok());
    std::vector<uint8_t> expected(20, kErased);
    std::copy(bytes.begin(), bytes.end(), expected.begin() + 3);
    EXPECT_EQ(Flash(0x100, 20), expected);
    // Words 0x100, 0x104, 0x108 and 0x10C each take one program command.
    EXPECT_EQ(Counters().programs, 4u);
    EXPECT_EQ(Counters().rejectedCommands, 0u);
}

TEST_P(FlashTest, SkipsWordsThatWouldStayErased) {
    std::vector<uint8_t> bytes(12, kErased);
    bytes[0] = 0x12;
    bytes[11] = 0x34;
    ASSERT_TRUE(cm3tools::flash::Program(0x400, bytes).ok());
    EXPECT_EQ(Counters().programs, 2u);
    EXPECT_EQ(Flash(0x400, 12), bytes);
}

TEST_P(FlashTest, PiecesOfOneWordCombine) {
    ASSERT_TRUE(cm3tools::flash::Program(0x200, std::vector<uint8_t>{0x01, 0x02}).ok());
    ASSERT_TRUE(cm3tools::flash::Program(0x202, std::vector<uint8_t>{0x03, 0x04}).ok());
    EXPECT_EQ(Target().peek32(0x200), 0x04030201u);
}

struct EraseCase {
    uint32_t address;
    uint32_t length;
    std::set<uint32_t> pages;
};

TEST_P(FlashTest, EraseTouchesExactlyThePagesInItsRange) {
    const std::vector<EraseCase> cases{
        {0x0, 1, {0x0}},
        {0x3FF, 2, {0x0, 0x400}},
        {0x400, kPageSize, {0x400}},
        {0x401, 2 * kPageSize, {0x400, 0x800, 0xC00}},
        {0x10, 0, {}},
    };
    constexpr uint32_t kPages = 5;
    for (const EraseCase& c : cases) {
        Target().pokeBytes(0, std::vector<uint8_t>(kPages * kPageSize, 0x00));
        const uint64_t before = Counters().pageErases;
        ASSERT_TRUE(cm3tools::flash::Erase(c.address, c.length).ok());
        EXPECT_EQ(Counters().pageErases - before, c.pages.size());
        for (uint32_t page = 0; page < kPages * kPageSize; page += kPageSize) {
            const uint8_t fill = c.pages.count(page) ? kErased : 0x00;
            EXPECT_EQ(Flash(page, kPageSize), std::vector<uint8_t>(kPageSize, fill))
                << "erase " << c.address << "+" << c.length << ", page " << page;
        }
    }
}

TEST_P(FlashTest, MassEraseClearsEverything) {
    Target().pokeBytes(0x3F000, Pattern(64, 2));
    Target().pokeBytes(0x0, Pattern(64, 3));
    ASSERT_TRUE(cm3tools::flash::MassErase().ok());
    EXPECT_EQ(Counters().massErases, 1u);
    EXPECT_EQ(Flash(0x3F000, 64), std::vector<uint8_t>(64, kErased));
    EXPECT_EQ(Flash(0x0, 64), std::vector<uint8_t>(64, kErased));
}

TEST_P(FlashTest, VerifyNamesTheFirstDifference) {
    const auto bytes = Pattern(300, 4);
    ASSERT_TRUE(cm3tools::flash::Program(0x1000, bytes).ok());
    EXPECT_TRUE(cm3tools::flash::Verify(0x1000, bytes).ok());
    Target().poke8(0x1105, static_cast<uint8_t>(bytes[0x105] ^ 0x10));
    Target().poke8(0x1106, static_cast<uint8_t>(bytes[0x106] ^ 0x10));
    const Status status = cm3tools::flash::Verify(0x1000, bytes);
    EXPECT_EQ(status.result, DBG_ERROR);
    EXPECT_EQ(status.address, 0x1105u);
    EXPECT_NE(status.message.find("0x00001105"), std::string::npos) << status.message;
}

TEST_P(FlashTest, WriteErasesSharedPagesOnceAndReportsProgressToTheEnd) {
    const auto a = Pattern(100, 5);
    const auto b = Pattern(200, 6);
    const auto c = Pattern(40, 7);
    Target().pokeBytes(0x0, std::vector<uint8_t>(3 * kPageSize, 0x00));
    const std::vector<Piece> pieces{{0x10, a}, {0x300, b}, {0x7F0, c}};
    std::vector<std::pair<uint64_t, uint64_t>> reports;
    const Status status =
        cm3tools::flash::Write(pieces, true, [&](uint64_t done, uint64_t total) { reports.emplace_back(done, total); });
    ASSERT_TRUE(status.ok()) << status.message;
    // Pages 0x0 (a and b), 0x400 and 0x800 (c straddles them).
    EXPECT_EQ(Counters().pageErases, 3u);
    EXPECT_EQ(Flash(0x10, 100), a);
    EXPECT_EQ(Flash(0x300, 200), b);
    EXPECT_EQ(Flash(0x7F0, 40), c);
    EXPECT_EQ(Flash(0x0, 0x10), std::vector<uint8_t>(0x10, kErased));
    const uint64_t total = 3 * kPageSize + 2 * (100 + 200 + 40);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back(), std::make_pair(total, total));
    for (size_t i = 1; i < reports.size(); ++i) {
        EXPECT_GE(reports[i].first, reports[i - 1].first);
        EXPECT_EQ(reports[i].second, total);
    }
}

TEST_P(FlashTest, VerificationCatchesAnAddressOutsideFlash) {
    // The controller ignores commands outside its array; only the read-back tells.
    const Status status = cm3tools::flash::Write(0x00100000, Pattern(8, 8), true);
    EXPECT_FALSE(status.ok());
    EXPECT_EQ(Counters().programs, 0u);
}

TEST_P(FlashTest, RefusesRangesPastTheAddressSpace) {
    const auto bytes = Pattern(32, 9);
    EXPECT_EQ(cm3tools::flash::Program(0xFFFFFFF0, bytes).result, DBG_BAD_PARAMETER);
    EXPECT_EQ(cm3tools::flash::Erase(0xFFFFFC00, 0x401).result, DBG_BAD_PARAMETER);
    EXPECT_EQ(cm3tools::flash::Verify(0xFFFFFFF0, bytes).result, DBG_BAD_PARAMETER);
}

TEST_P(FlashTest, ABusErrorStopsProgrammingWhereItHappened) {
    cm3sim::SimConfig config = QuickFlash();
    config.ahbErrorRegions.push_back({cm3tools::flash::fma::kAddress, 3 * cm3tools::flash::kWordSize});
    Boot(config);
    Status status = cm3tools::flash::Program(0x804, Pattern(8, 10));
    EXPECT_EQ(status.result, DBG_STICKY_ERROR);
    EXPECT_EQ(status.address, 0x804u);
    status = cm3tools::flash::Erase(0xC00, 1);
    EXPECT_EQ(status.result, DBG_STICKY_ERROR);
    EXPECT_EQ(status.address, 0xC00u);
}

// Polls its way through the whole limit: one connection is enough.
using FlashTimeoutTest = FlashTest;

TEST_P(FlashTimeoutTest, AControllerThatNeverFinishesTimesOut) {
    cm3sim::SimConfig config = QuickFlash();
    config.flashProgramNs = uint64_t{1} << 60;
    Boot(config);
    const Status status = cm3tools::flash::Program(0x40, Pattern(8, 11));
    EXPECT_EQ(status.result, DBG_TIMEOUT);
    EXPECT_EQ(status.address, 0x40u);
    EXPECT_NE(status.message.find("within"), std::string::npos) << status.message;
}

std::string ConnectionName(const ::testing::TestParamInfo<Connection>& info) {
    return std::string(info.param.swd ? "Swd" : "Jtag") + (info.param.batched ? "Batched" : "Direct");
}

INSTANTIATE_TEST_SUITE_P(Connections, FlashTest, ::testing::Values(Connection{true, false}, Connection{false, true}),
                         ConnectionName);

INSTANTIATE_TEST_SUITE_P(Connections, FlashTimeoutTest, ::testing::Values(Connection{true, false}), ConnectionName);

}  // namespace
}  // namespace cm3test
