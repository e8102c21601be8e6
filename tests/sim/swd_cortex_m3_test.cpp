// The wire side against the real Cortex-M3 target: a hand-built SWD session
// that powers the debug domain up, identifies the AHB-AP and moves a word.
#include <gtest/gtest.h>

#include "dp/dp_registers.h"
#include "fault_injection.h"
#include "swd_bench.h"
#include "target/cortex_m3_target.h"

namespace cm3sim::wire_testing {
namespace {

// AHB-AP registers (APBANKSEL << 4 | A[3:2] << 2) and values, per ADIv5.
constexpr uint8_t kCsw = 0x00;
constexpr uint8_t kTar = 0x04;
constexpr uint8_t kDrw = 0x0C;
constexpr uint8_t kIdrBank = 0xF0;
constexpr uint8_t kIdr = 0x0C;
constexpr uint32_t kCswWord = 0x00000002;
constexpr uint32_t kSram = 0x20000000;

class RealTargetSession {
public:
    RealTargetSession() : probe(SimConfig{}) {
        probe.channel(VirtualProbe::kTargetChannel).setBitMode(bit_mode::kMpsse);
    }
    Bytes run(const Bytes& bytes) {
        MpsseEngine& engine = probe.channel(VirtualProbe::kTargetChannel).engine();
        engine.write(bytes);
        Bytes reply(engine.replyBytesQueued());
        engine.read(reply);
        return reply;
    }
    SwdRead read(bool ap, uint8_t address) {
        return Bench::ParseRead(run(Bench::ReadStream(Request(ap, true, address))));
    }
    uint8_t write(bool ap, uint8_t address, uint32_t value) {
        const Bytes reply = run(Bench::WriteStream(Request(ap, false, address), value, EvenParityBit(value)));
        return reply.size() == 1 ? static_cast<uint8_t>((reply[0] >> 3) & 7) : 0xFF;
    }
    CortexM3Target& target() { return static_cast<CortexM3Target&>(probe.target()); }

    VirtualProbe probe;
};

TEST(SwdRealTarget, PowersUpAndIdentifiesTheAhbAp) {
    RealTargetSession s;
    EXPECT_TRUE(s.run(kBringUp).empty());
    EXPECT_EQ(s.read(false, dp_address::kIdcodeAbort).data, 0x2BA01477u);
    const uint32_t powerUp = ctrl_stat::kCDbgPwrUpReq | ctrl_stat::kCSysPwrUpReq;
    ASSERT_EQ(s.write(false, dp_address::kCtrlStat, powerUp), swd_ack::kOk);
    EXPECT_EQ(s.read(false, dp_address::kCtrlStat).data & ctrl_stat::kCDbgPwrUpAck, ctrl_stat::kCDbgPwrUpAck);
    ASSERT_EQ(s.write(false, dp_address::kSelectResend, kIdrBank), swd_ack::kOk);
    s.read(true, kIdr);
    EXPECT_EQ(s.read(false, dp_address::kRdbuff).data, 0x24770011u);
    EXPECT_EQ(s.probe.contentionCount(), 0u);
}

TEST(SwdRealTarget, MovesAWordThroughSram) {
    RealTargetSession s;
    s.run(kBringUp);
    s.read(false, dp_address::kIdcodeAbort);
    s.write(false, dp_address::kCtrlStat, ctrl_stat::kCDbgPwrUpReq | ctrl_stat::kCSysPwrUpReq);
    s.write(false, dp_address::kSelectResend, 0);
    EXPECT_EQ(s.write(true, kCsw, kCswWord), swd_ack::kOk);
    EXPECT_EQ(s.write(true, kTar, kSram), swd_ack::kOk);
    EXPECT_EQ(s.write(true, kDrw, 0xDEADBEEF), swd_ack::kOk);
    EXPECT_EQ(s.target().peek32(kSram), 0xDEADBEEFu);
    s.read(true, kDrw);
    const SwdRead back = s.read(false, dp_address::kRdbuff);
    EXPECT_EQ(back.data, 0xDEADBEEFu);
    EXPECT_EQ(s.read(false, dp_address::kCtrlStat).data & ctrl_stat::kStickyFlags, 0u);
    EXPECT_GT(s.target().nowNs(), 0u);  // the wire cycles reached the target's clock
}

// Faults armed while the probe runs: an AP error response drops the access and
// makes the next AP request answer FAULT; a bus error hits the transfer chosen
// from now; each counts as pending until it fires.
TEST(SwdRealTarget, FaultsArmedAtRunTime) {
    RealTargetSession s;
    s.run(kBringUp);
    s.read(false, dp_address::kIdcodeAbort);
    s.write(false, dp_address::kCtrlStat, ctrl_stat::kCDbgPwrUpReq | ctrl_stat::kCSysPwrUpReq);
    s.write(false, dp_address::kSelectResend, 0);
    s.write(true, kCsw, kCswWord);
    s.write(true, kTar, kSram);
    s.target().poke32(kSram, 0x11111111);

    ArmFault(s.probe, s.target(), {InjectedFault::ApFault, DriverOp::Write, 0, 1});
    EXPECT_EQ(FaultsPending(s.probe, s.target()), 1u);
    EXPECT_EQ(s.write(true, kDrw, 0xDEADBEEF), swd_ack::kOk);  // accepted, then the AP answers an error
    EXPECT_EQ(FaultsPending(s.probe, s.target()), 0u);
    EXPECT_EQ(s.target().peek32(kSram), 0x11111111u);
    EXPECT_EQ(s.read(false, dp_address::kCtrlStat).data & ctrl_stat::kStickyErr, ctrl_stat::kStickyErr);
    EXPECT_EQ(s.write(true, kDrw, 0xDEADBEEF), swd_ack::kFault);
    // The data phase the host sent after the FAULT reads as a bad request: line reset.
    s.run(kBringUp);
    s.read(false, dp_address::kIdcodeAbort);
    s.write(false, dp_address::kIdcodeAbort, abort_reg::kStkErrClr);

    ArmFault(s.probe, s.target(), {InjectedFault::BusError, DriverOp::Write, 1, 1});
    EXPECT_EQ(s.write(true, kDrw, 0x22222222), swd_ack::kOk);
    EXPECT_EQ(s.target().peek32(kSram), 0x22222222u);
    EXPECT_EQ(FaultsPending(s.probe, s.target()), 1u);
    EXPECT_EQ(s.write(true, kDrw, 0x33333333), swd_ack::kOk);
    EXPECT_EQ(s.target().peek32(kSram), 0x22222222u);
    EXPECT_EQ(FaultsPending(s.probe, s.target()), 0u);
    EXPECT_EQ(s.read(false, dp_address::kCtrlStat).data & ctrl_stat::kStickyErr, ctrl_stat::kStickyErr);
}

TEST(SwdRealTarget, Gpiol1IsTheResetLine) {
    RealTargetSession s;
    // ADBUS5 an output driven low holds the target in reset; as an input it is released.
    s.run({0x80, 0x08, 0xEB});
    EXPECT_TRUE(s.probe.board().resetAsserted());
    EXPECT_TRUE(s.target().inReset());
    s.run({0x80, 0x08, 0xCB});
    EXPECT_FALSE(s.probe.board().resetAsserted());
}

}  // namespace
}  // namespace cm3sim::wire_testing
