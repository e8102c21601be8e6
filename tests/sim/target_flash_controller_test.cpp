// The flash controller programmed through the AHB-AP: FMA, FMD, FMC.
#include <gtest/gtest.h>

#include "target_test_support.h"

namespace cm3sim::testing {
namespace {

constexpr uint32_t kFma = 0x400FD000;
constexpr uint32_t kFmd = 0x400FD004;
constexpr uint32_t kFmc = 0x400FD008;
constexpr uint32_t kKey = 0xA4420000;
constexpr uint32_t kWrite = 0x1;
constexpr uint32_t kErase = 0x2;
constexpr uint32_t kMassErase = 0x4;
constexpr uint32_t kPage = 1024;
constexpr uint32_t kTarget = 0x00000C40;  // inside page 3
constexpr uint64_t kProgramNs = 1'000;
constexpr uint64_t kEraseNs = 5'000;
constexpr uint64_t kMassEraseNs = 9'000;

class FlashControllerTest : public TargetFixture {
protected:
    void SetUp() override {
        config.flashProgramNs = kProgramNs;
        config.flashEraseNs = kEraseNs;
        config.flashMassEraseNs = kMassEraseNs;
        build(false);
    }

    void command(uint32_t address, uint32_t data, uint32_t fmc) {
        ap->poke(kFma, address);
        ap->poke(kFmd, data);
        ap->poke(kFmc, fmc);
    }

    // The busy bit reads 1 for exactly `duration` of virtual time.
    void expectBusyFor(uint32_t bit, uint64_t duration) {
        EXPECT_EQ(ap->peek(kFmc), bit);
        target->advance(duration - 1);
        EXPECT_EQ(ap->peek(kFmc), bit) << "finished early";
        target->advance(1);
        EXPECT_EQ(ap->peek(kFmc), 0u) << "still busy";
    }
};

TEST_F(FlashControllerTest, ProgramsAWordAfterTheModeledTime) {
    command(kTarget, 0x12345678, kKey | kWrite);
    EXPECT_EQ(target->peek32(kTarget), 0xFFFFFFFFu) << "takes effect when the operation completes";
    expectBusyFor(kWrite, kProgramNs);
    EXPECT_EQ(target->peek32(kTarget), 0x12345678u);
    EXPECT_EQ(ap->peek(kTarget), 0x12345678u) << "visible on the bus";
    EXPECT_EQ(target->flashCounters().programs, 1u);
}

TEST_F(FlashControllerTest, ProgrammingOnlyClearsBits) {
    target->poke32(kTarget, 0x0F0F0F0F);
    command(kTarget, 0xFF00FF00, kKey | kWrite);
    target->advance(kProgramNs);
    EXPECT_EQ(target->peek32(kTarget), 0x0F000F00u);
}

TEST_F(FlashControllerTest, CommandsWithoutTheKeyDoNothing) {
    const uint32_t wrongKeys[] = {0, 0xA4430000, 0x442A0000, 0xFFFF0000};
    for (uint32_t key : wrongKeys) {
        command(kTarget, 0, key | kWrite);
        EXPECT_EQ(ap->peek(kFmc), 0u);
        command(kTarget, 0, key | kMassErase);
    }
    target->poke32(0, 0);
    target->advance(kMassEraseNs);
    EXPECT_EQ(target->peek32(kTarget), 0xFFFFFFFFu);
    EXPECT_EQ(target->peek32(0), 0u);
    EXPECT_EQ(target->flashCounters().rejectedCommands, 2 * std::size(wrongKeys));
}

TEST_F(FlashControllerTest, PageEraseClearsOnlyThePageHoldingFma) {
    for (uint32_t address = 2 * kPage; address < 5 * kPage; address += 4) target->poke32(address, 0);
    command(kTarget, 0, kKey | kErase);
    expectBusyFor(kErase, kEraseNs);
    EXPECT_EQ(target->peek32(3 * kPage - 4), 0u) << "page 2 touched";
    EXPECT_EQ(target->peek32(4 * kPage), 0u) << "page 4 touched";
    for (uint32_t address = 3 * kPage; address < 4 * kPage; address += 4) {
        ASSERT_EQ(target->peek32(address), 0xFFFFFFFFu) << std::hex << address;
    }
}

TEST_F(FlashControllerTest, MassEraseClearsAllFlash) {
    const uint32_t last = config.flash.size - 4;
    target->poke32(0, 0);
    target->poke32(last, 0);
    command(0, 0, kKey | kMassErase);
    expectBusyFor(kMassErase, kMassEraseNs);
    EXPECT_EQ(target->peek32(0), 0xFFFFFFFFu);
    EXPECT_EQ(target->peek32(last), 0xFFFFFFFFu);
}

TEST_F(FlashControllerTest, BusyControllerRejectsAnotherCommand) {
    command(kTarget, 0x0, kKey | kWrite);
    command(kTarget + kPage, 0x0, kKey | kWrite);
    target->advance(kProgramNs);
    EXPECT_EQ(target->peek32(kTarget), 0u);
    EXPECT_EQ(target->peek32(kTarget + kPage), 0xFFFFFFFFu);
}

TEST_F(FlashControllerTest, AddressOutsideFlashIsRejected) {
    command(config.flash.size, 0x0, kKey | kWrite);
    EXPECT_EQ(ap->peek(kFmc), 0u);
    EXPECT_EQ(target->flashCounters().rejectedCommands, 1u);
}

TEST_F(FlashControllerTest, RegistersReadBackAndAreWordOnly) {
    ap->poke(kFma, kTarget);
    ap->poke(kFmd, 0xCAFEF00D);
    EXPECT_EQ(ap->peek(kFma), kTarget);
    EXPECT_EQ(ap->peek(kFmd), 0xCAFEF00Du);
    ap->setCsw(csw::kSize8);
    ap->setTar(kFmc);
    EXPECT_TRUE(ap->write(ap_reg::kDrw, kWrite).error) << "byte write to FMC";
}

TEST_F(FlashControllerTest, DirectBusWritesToFlashFail) {
    EXPECT_TRUE(ap->writeWord(kTarget, 0).error);
    EXPECT_EQ(target->peek32(kTarget), 0xFFFFFFFFu);
}

}  // namespace
}  // namespace cm3sim::testing
