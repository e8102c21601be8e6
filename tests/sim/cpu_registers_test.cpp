// Core registers through DCRSR/DCRDR on the Unicorn core: every REGSEL round
// trips with its architectural masks, the stack pointers bank as CONTROL
// says, unprivileged code does not hide anything from the debugger, and
// written values are what the core then executes with.
#include <gtest/gtest.h>

#include "cpu_test_support.h"

namespace cm3sim::cpu_testing {
namespace {

constexpr uint32_t kCode = arch::kSram + 0x200;
constexpr uint32_t kMainStack = arch::kSram + 0x4000;
constexpr uint32_t kProcessStack = arch::kSram + 0x6000;

class CpuRegisterTest : public CpuTest {
protected:
    void SetUp() override {
        bootWithVectors(kCode);
        halt();
    }
};

struct RoundTrip {
    uint8_t regsel;
    uint32_t written;
    uint32_t read;
};

class CpuRegselTest : public CpuRegisterTest, public ::testing::WithParamInterface<RoundTrip> {};

TEST_P(CpuRegselTest, ReadsBackWhatWasWritten) {
    const RoundTrip& c = GetParam();
    setReg(c.regsel, c.written);
    EXPECT_EQ(reg(c.regsel), c.read);
    EXPECT_NE(reg(arch::kRegXpsr) & arch::kThumbState, 0u) << "Thumb state survives";
}

std::vector<RoundTrip> RoundTrips() {
    std::vector<RoundTrip> cases;
    for (uint8_t r = 0; r <= 12; ++r) cases.push_back({r, 0x01010101u * (r + 1), 0x01010101u * (r + 1)});
    cases.push_back({arch::kRegSp, 0x20001233, 0x20001230});         // bits 1:0 read 0
    cases.push_back({arch::kRegLr, 0x12345679, 0x12345679});
    cases.push_back({arch::kRegPc, kCode + 0x11, kCode + 0x10});     // bit 0 reads 0
    cases.push_back({arch::kRegXpsr, 0xF9000000, 0xF9000000});       // N Z C V Q, T
    cases.push_back({arch::kRegMsp, 0x20002007, 0x20002004});
    cases.push_back({arch::kRegPsp, 0x20003006, 0x20003004});
    cases.push_back({arch::kRegSpecial, 0xFFFFFFFF, 0x0301E001});    // three BASEPRI bits
    cases.push_back({arch::kRegSpecial, arch::kBasePriGroup2, arch::kBasePriGroup2});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(EveryRegsel, CpuRegselTest, ::testing::ValuesIn(RoundTrips()), [](const auto& info) {
    return "Regsel" + std::to_string(info.param.regsel) + "_" + std::to_string(info.index);
});

TEST_F(CpuRegisterTest, StackPointerIsTheOneControlSelects) {
    setReg(arch::kRegMsp, kMainStack);
    setReg(arch::kRegPsp, kProcessStack);
    EXPECT_EQ(reg(arch::kRegSp), kMainStack);
    setReg(arch::kRegSpecial, arch::kControlSpSel);
    EXPECT_EQ(reg(arch::kRegSp), kProcessStack);
    setReg(arch::kRegSp, kProcessStack - arch::kWordBytes);
    EXPECT_EQ(reg(arch::kRegPsp), kProcessStack - arch::kWordBytes);
    EXPECT_EQ(reg(arch::kRegMsp), kMainStack);
    setReg(arch::kRegSpecial, 0);
    EXPECT_EQ(reg(arch::kRegSp), kMainStack);
}

TEST_F(CpuRegisterTest, UnprivilegedThreadModeHidesNothingFromTheDebugger) {
    setReg(arch::kRegMsp, kMainStack);
    setReg(arch::kRegPsp, kProcessStack);
    const uint32_t special = arch::kControlNPriv | arch::kBasePriGroup2 | arch::kPriMask;
    setReg(arch::kRegSpecial, special);
    EXPECT_EQ(reg(arch::kRegSpecial), special);
    EXPECT_EQ(reg(arch::kRegMsp), kMainStack);
    EXPECT_EQ(reg(arch::kRegPsp), kProcessStack);
    setReg(arch::kRegMsp, kMainStack + arch::kWordBytes);
    EXPECT_EQ(reg(arch::kRegMsp), kMainStack + arch::kWordBytes);
    setReg(arch::kRegSpecial, arch::kControlNPriv | arch::kControlSpSel);
    EXPECT_EQ(reg(arch::kRegSpecial), arch::kControlNPriv | arch::kControlSpSel);
    EXPECT_EQ(reg(arch::kRegSp), kProcessStack);
    setReg(arch::kRegSpecial, 0);
    EXPECT_EQ(reg(arch::kRegSpecial), 0u);
    EXPECT_EQ(reg(arch::kRegSp), kMainStack + arch::kWordBytes);
}

TEST_F(CpuRegisterTest, WrittenRegistersAreWhatTheCoreExecutesWith) {
    constexpr uint32_t kZeroFlag = 1u << 30;
    constexpr uint32_t kMark = 7;
    writeCode(kCode, {op::Adds(0, 1), op::Push(1u << 0), op::ItEq(op::kItOne), op::Movs(1, kMark),
                      op::kBranchToSelf});
    setReg(0, 41);
    setReg(arch::kRegSp, kMainStack);
    setReg(arch::kRegPc, kCode);
    setReg(arch::kRegXpsr, arch::kThumbState | kZeroFlag);
    step();
    EXPECT_EQ(reg(0), 42u);
    EXPECT_EQ(pc(), kCode + arch::kHalfwordBytes);
    step();
    EXPECT_EQ(reg(arch::kRegSp), kMainStack - arch::kWordBytes);
    EXPECT_EQ(read(kMainStack - arch::kWordBytes), 42u);
    // ADDS cleared Z; set it again so the IT block executes.
    setReg(arch::kRegXpsr, arch::kThumbState | kZeroFlag);
    resume();
    runFor(1);
    halt();
    EXPECT_EQ(reg(1), kMark);
}

}  // namespace
}  // namespace cm3sim::cpu_testing
