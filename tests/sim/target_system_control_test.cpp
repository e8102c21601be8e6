// The system-control block at 0x400FE000 through the AHB-AP: reset values,
// capability words that follow the configured memories, what writes may
// change, and the non-volatile registers across resets and commits.
#include <gtest/gtest.h>

#include "target_test_support.h"

namespace cm3sim::testing {
namespace {

constexpr uint32_t kDid0 = 0x400FE000;
constexpr uint32_t kDc0 = 0x400FE008;
constexpr uint32_t kDc1 = 0x400FE010;
constexpr uint32_t kRcc = 0x400FE060;
constexpr uint32_t kPllCfg = 0x400FE064;
constexpr uint32_t kRcc2 = 0x400FE070;
constexpr uint32_t kRcgc2 = 0x400FE108;
constexpr uint32_t kFmpre = 0x400FE130;
constexpr uint32_t kFmppe = 0x400FE134;
constexpr uint32_t kUsecrl = 0x400FE140;
constexpr uint32_t kUserDbg = 0x400FE1D0;
constexpr uint32_t kUserReg0 = 0x400FE1E0;
constexpr uint32_t kUserReg1 = 0x400FE1E4;
constexpr uint32_t kFmpre0 = 0x400FE200;
constexpr uint32_t kFmppe0 = 0x400FE400;
constexpr uint32_t kFma = 0x400FD000;
constexpr uint32_t kFmc = 0x400FD008;
constexpr uint32_t kCommit = 0xA4420008;
constexpr uint32_t kAll = 0xFFFFFFFF;

class SystemControlTest : public TargetFixture {
protected:
    void SetUp() override { build(false); }
    void commit(uint32_t selector) {
        ap->poke(kFma, selector);
        ap->poke(kFmc, kCommit);
        target->advance(config.flashProgramNs);
    }
};

TEST_F(SystemControlTest, ResetValuesAndUnmodeledAddresses) {
    struct Case {
        uint32_t address;
        uint32_t value;
    };
    // 256 KB of flash in 2 KB units, 64 KB of SRAM in 256-byte units, each less one.
    const Case cases[] = {
        {kDid0, config.deviceId0},
        {kDid0 + 4, config.deviceId1},
        {kDc0, 0x00FF007F},
        {kDc1, config.deviceCapabilities[0]},
        {kDc1 + 12, config.deviceCapabilities[3]},
        {kRcc, 0x078E3AD1},
        {kPllCfg, config.pllCfg},
        {kRcc2, 0x07802810},
        {0x400FE100, 0x40},  // RCGC0
        {kRcgc2, 0},
        {0x400FE120, 0x40},  // DCGC0
        {kFmpre, kAll},
        {kFmppe, kAll},
        {kUsecrl, 0x31},
        {0x400FE144, 0x07800000},  // DSLPCLKCFG
        {kUserDbg, 0xFFFFFFFE},
        {kUserReg0, kAll},
        {kUserReg1, kAll},
        {kFmpre0 + 12, kAll},
        {kFmppe0 + 12, kAll},
    };
    for (const Case& c : cases) EXPECT_EQ(ap->peek(c.address), c.value) << std::hex << c.address;
    for (uint32_t address : {0x400FE00Cu, 0x400FE020u, 0x400FE068u, 0x400FE1D4u, 0x400FE210u, 0x400FEFFCu,
                             0x400FD018u}) {
        EXPECT_TRUE(ap->readWord(address).error) << std::hex << address;
        EXPECT_TRUE(ap->writeWord(address, 0).error) << std::hex << address;
    }
}

TEST_F(SystemControlTest, CapabilitiesFollowTheConfiguredMemories) {
    config.flash.size = 64 * 1024;
    config.sram.size = 8 * 1024;
    build(false);
    EXPECT_EQ(ap->peek(kDc0), 0x001F001Fu);
    EXPECT_EQ(ap->peek(kFmppe0), kAll) << "64 KB of flash: one protection register";
    EXPECT_TRUE(ap->readWord(kFmppe0 + 4).error);
}

TEST_F(SystemControlTest, WritesChangeOnlyWhatTheRegisterAllows) {
    for (uint32_t address : {kDid0, kDc0, kDc1, kPllCfg}) {
        const uint32_t before = ap->peek(address);
        ap->poke(address, ~before);
        EXPECT_EQ(ap->peek(address), before) << "read-only " << std::hex << address;
    }
    ap->poke(kRcc, 0);
    EXPECT_EQ(ap->peek(kRcc), 0x078E3AD1u & ~0x0FDE3FF3u) << "reserved bits keep their value";
    ap->poke(kUsecrl, 0x18);
    ap->poke(kRcgc2, 0x7F);
    EXPECT_EQ(ap->peek(kUsecrl), 0x18u);
    EXPECT_EQ(ap->peek(kRcgc2), 0x7Fu);
    ap->poke(kFmppe, 0xFFFF0F0F);
    ap->poke(kFmppe, 0xF0F0FFFF);
    EXPECT_EQ(ap->peek(kFmppe0), 0xF0F00F0Fu) << "non-volatile bits only clear; FMPPE is FMPPE0";

    target->setResetPin(true);
    target->setResetPin(false);
    settle();
    EXPECT_EQ(ap->peek(kRcc), 0x078E3AD1u);
    EXPECT_EQ(ap->peek(kUsecrl), 0x31u);
    EXPECT_EQ(ap->peek(kFmppe), kAll) << "uncommitted protection is lost at reset";
}

TEST_F(SystemControlTest, CommittedRegistersSurviveReset) {
    ap->poke(kFmpre0 + 4, 0x0000FFFF);  // FMPRE1: selector 2
    ap->poke(kFmppe0 + 8, 0xFFFF0000);  // FMPPE2: selector 5
    ap->poke(kUserReg1, 0x12345678);
    ap->poke(kUserDbg, 0xFFFFFFFE);
    commit(2);
    commit(5);
    commit(0x80000001);
    commit(0x75100000);
    EXPECT_EQ(ap->peek(0x400FD00C) & 1u, 0u) << "no access error";
    ap->poke(kUserReg0, 0);  // not committed
    target->powerOnReset();
    settle();
    EXPECT_EQ(ap->peek(kFmpre0 + 4), 0x0000FFFFu);
    EXPECT_EQ(ap->peek(kFmppe0 + 8), 0xFFFF0000u);
    EXPECT_EQ(ap->peek(kUserReg1), 0x12345678u) << "NW (bit 31) clears when committed";
    EXPECT_EQ(ap->peek(kUserDbg), 0x7FFFFFFEu);
    EXPECT_EQ(ap->peek(kUserReg0), kAll);
    commit(0x40);
    EXPECT_EQ(ap->peek(0x400FD00C) & 1u, 1u) << "a selector with no register is an access error";
}

}  // namespace
}  // namespace cm3sim::testing
