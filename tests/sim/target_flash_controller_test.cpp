// The flash controller programmed through the AHB-AP (FMA, FMD, FMC and the
// FCRIS / FCIM / FCMISC status), and by code on the CPU polling it.
#include <gtest/gtest.h>

#include "cpu/unicorn_core.h"
#include "cpu_test_support.h"
#include "target_test_support.h"

namespace cm3sim::testing {
namespace {

constexpr uint32_t kFma = 0x400FD000;
constexpr uint32_t kFmd = 0x400FD004;
constexpr uint32_t kFmc = 0x400FD008;
constexpr uint32_t kFcris = 0x400FD00C;
constexpr uint32_t kFcim = 0x400FD010;
constexpr uint32_t kFcmisc = 0x400FD014;
constexpr uint32_t kFmppe0 = 0x400FE400;
constexpr uint32_t kAccessError = 0x1;
constexpr uint32_t kDone = 0x2;
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

// Each refused command sets ARIS, starts nothing and changes no flash.
TEST_F(FlashControllerTest, AccessErrorsSetTheRawStatus) {
    struct Case {
        const char* name;
        uint32_t fmppe0;  // program enables of the first 64 KB
        uint32_t address;
        uint32_t command;
    };
    const Case cases[] = {
        {"ProgramPastFlash", 0xFFFFFFFF, 256 * 1024, kWrite},
        {"ErasePastFlash", 0xFFFFFFFF, 0xFFFFFC00, kErase},
        {"ProgramProtectedBlock", ~(1u << 1), 2048 + 8, kWrite},  // block 1: 2 KB..4 KB
        {"EraseProtectedBlock", ~(1u << 1), 3 * kPage, kErase},
        {"MassEraseWithAProtectedBlock", ~(1u << 31), 0, kMassErase},
        {"CommitOfNoRegister", 0xFFFFFFFF, 0x100, 0x8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        build(false);
        target->poke32(3 * kPage, 0);
        ap->poke(kFmppe0, c.fmppe0);
        command(c.address, 0, kKey | c.command);
        target->advance(kMassEraseNs);
        EXPECT_EQ(ap->peek(kFcris), kAccessError);
        EXPECT_EQ(ap->peek(kFmc), 0u);
        EXPECT_EQ(target->peek32(3 * kPage), 0u);
        EXPECT_EQ(target->flashCounters().programs + target->flashCounters().pageErases, 0u);
        EXPECT_EQ(target->flashCounters().accessErrors, 1u);
    }
    // The block next to a protected one can still be programmed.
    command(4096, 0, kKey | kWrite);
    target->advance(kProgramNs);
    EXPECT_EQ(target->peek32(4096), 0u);
}

TEST_F(FlashControllerTest, CompletionSetsTheStatusTheMaskGatesAndOneClears) {
    command(kTarget, 0, kKey | kWrite);
    target->advance(kProgramNs - 1);
    EXPECT_EQ(ap->peek(kFcris), 0u);
    target->advance(1);
    EXPECT_EQ(ap->peek(kFcris), kDone);
    EXPECT_EQ(ap->peek(kFcmisc), 0u) << "masked";
    ap->poke(kFcim, 0xFFFFFFFF);
    EXPECT_EQ(ap->peek(kFcim), kAccessError | kDone);
    EXPECT_EQ(ap->peek(kFcmisc), kDone);
    ap->poke(kFcris, 0);
    EXPECT_EQ(ap->peek(kFcris), kDone) << "FCRIS is read-only";
    ap->poke(kFcmisc, kAccessError);
    EXPECT_EQ(ap->peek(kFcris), kDone) << "only ones clear";
    ap->poke(kFcmisc, kDone);
    EXPECT_EQ(ap->peek(kFcris), 0u);
    EXPECT_EQ(ap->peek(kFcmisc), 0u);
}

// Code in SRAM programs kWords words, polling FMC after each. However the
// time is sliced, the controller completes each word flash_program_ns after
// its FMC write, so the same number of words is done at every moment.
TEST(FlashControllerTiming, CpuProgrammingDependsOnVirtualTimeNotOnSlices) {
    namespace op = cpu_testing::op;
    constexpr uint32_t kWords = 64;
    constexpr uint32_t kCode = 0x20000100;
    constexpr uint64_t kTotalNs = 40 * kProgramNs;
    // r0 flash controller, r1 flash address, r2 data, r3 FMC command, r4 words left.
    const auto str = [](uint32_t rt, uint32_t rn, uint32_t offset) {
        return uint16_t(0x6000 | (offset / 4) << 6 | rn << 3 | rt);
    };
    const auto ldr = [](uint32_t rt, uint32_t rn, uint32_t offset) {
        return uint16_t(0x6800 | (offset / 4) << 6 | rn << 3 | rt);
    };
    const auto bne = [](uint32_t from, uint32_t to) { return uint16_t(0xD100 | ((to - (from + 4)) >> 1 & 0xFF)); };
    const uint32_t loop = kCode;
    const uint32_t poll = kCode + 6;
    const std::vector<uint16_t> program = {
        str(1, 0, 0), str(2, 0, 4), str(3, 0, 8),  // FMA, FMD, FMC
        ldr(5, 0, 8), op::Cmp(5, 0), bne(poll + 4, poll),
        op::Adds(1, 4), uint16_t(0x3800 | 4 << 8 | 1),  // subs r4, #1
        bne(poll + 10, loop), op::kBranchToSelf,
    };
    struct Run {
        uint64_t programs;
        std::vector<uint8_t> flash;
    };
    const auto run = [&](uint64_t sliceNs, bool debuggerPolls) {
        SimConfig config;
        config.flashProgramNs = kProgramNs;
        config.instructionsPerMicrosecond = 50;  // 20 ns an instruction: slices below are whole instructions
        CortexM3Target target(config, MakeUnicornCore);
        target.poke32(0, 0x20010000);
        target.poke32(4, kCode | 1);
        for (size_t i = 0; i < program.size(); ++i) {
            target.poke8(kCode + uint32_t(2 * i), uint8_t(program[i]));
            target.poke8(kCode + uint32_t(2 * i + 1), uint8_t(program[i] >> 8));
        }
        target.powerOnReset();
        target.setDebugPower(true, true);
        ApDriver ap(target);
        target.advance(config.resetDurationNs);
        ap.poke(dhcsr::kAddress, dhcsr::Write(dhcsr::kCDebugEn | dhcsr::kCHalt));
        const uint32_t registers[] = {kFma, 0x400, 0x5A5AA5A5, kKey | kWrite, kWords};
        for (uint8_t r = 0; r < std::size(registers); ++r) {
            ap.poke(dcrdr::kAddress, registers[r]);
            ap.poke(dcrsr::kAddress, dcrsr::kRegWnR | r);
        }
        ap.poke(dhcsr::kAddress, dhcsr::Write(dhcsr::kCDebugEn));
        for (uint64_t done = 0; done < kTotalNs; done += sliceNs) {
            target.advance(std::min(sliceNs, kTotalNs - done));
            if (debuggerPolls) static_cast<void>(ap.peek(kFcris));
        }
        return Run{target.flashCounters().programs, target.peekBytes(0x400, kWords * 4)};
    };
    const Run whole = run(kTotalNs, false);
    EXPECT_GE(whole.programs, 30u) << "about one word per flash_program_ns, not one per slice";
    EXPECT_LT(whole.programs, 40u);
    const std::pair<uint64_t, bool> slicings[] = {{20, false}, {60, true}, {980, false}, {3000, true}};
    for (const auto& [slice, polls] : slicings) {
        const Run sliced = run(slice, polls);
        EXPECT_EQ(sliced.programs, whole.programs) << slice << " ns slices";
        EXPECT_EQ(sliced.flash, whole.flash) << slice << " ns slices";
    }
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
