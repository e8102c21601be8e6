// SW-DP traffic built by hand, byte by byte, through the MPSSE engine.
#include <gtest/gtest.h>

#include "dp/dp_registers.h"
#include "swd_bench.h"

namespace cm3sim::wire_testing {
namespace {

constexpr uint32_t kIdcode = 0x2BA01477;

TEST(SwdStreams, IdcodeReadOfTheSixteenByteStream) {
    Bench bench;
    bench.bringUpSwd();
    const Bytes reply = bench.run({0x1B, 0x07, 0xA5, 0x80, 0x00, 0xC9, 0x2E, 0x02, 0x2C, 0x03, 0x00, 0x2E, 0x02,
                                   0x80, 0x08, 0xCB});
    // ACK OK (1,0,0) in bits 5-7; the data LSB first; parity 0 then two released (high) cycles.
    EXPECT_EQ(reply, (Bytes{0x20, 0x77, 0x14, 0xA0, 0x2B, 0xC0}));
    EXPECT_EQ(bench.probe.contentionCount(), 0u);
}

TEST(SwdStreams, SelectWriteOfTheTwentyTwoByteStream) {
    Bench bench;
    bench.bringUpSwd();
    ASSERT_EQ(bench.read(false, dp_address::kIdcodeAbort).ack, swd_ack::kOk);
    bench.probe.dpState().writeSelect(0xFF0000F0);
    const Bytes reply = bench.run({0x1B, 0x07, 0xB1, 0x80, 0x00, 0xC9, 0x4B, 0x04, 0x00, 0x80, 0x08, 0xCB, 0x19,
                                   0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1B, 0x02, 0x00});
    EXPECT_TRUE(reply.empty());
    EXPECT_EQ(bench.probe.dpState().select(), 0u);
    EXPECT_EQ(bench.probe.contentionCount(), 0u);
    // And the port is in step for the next transaction.
    EXPECT_EQ(bench.read(false, dp_address::kIdcodeAbort).data, kIdcode);
}

TEST(SwdStreams, LinkBringUpWithDivisorCausesNoContention) {
    Bench bench;
    EXPECT_TRUE(bench.run(Concat({{0x86, 0x05, 0x00}, kBringUp})).empty());
    const SwdRead id = bench.read(false, dp_address::kIdcodeAbort);
    EXPECT_EQ(id.ack, swd_ack::kOk);
    EXPECT_EQ(id.data, kIdcode);
    EXPECT_TRUE(id.parityOk);
    EXPECT_EQ(bench.probe.contentionCount(), 0u);
}

TEST(SwdStreams, LineModeSwitchesBothWays) {
    Bench bench;
    const Bytes modePins = {0x86, 0x05, 0x00, 0x80, 0x68, 0xEB};
    bench.run(Concat({modePins, kLineReset, kJtagToSwd, kLineReset}));
    EXPECT_EQ(bench.probe.debugPort().protocol(), WireProtocol::Swd);
    bench.run(Concat({kSwdDrive, kIdle8}));
    EXPECT_EQ(bench.read(false, dp_address::kIdcodeAbort).data, kIdcode);

    bench.run(Concat({modePins, kLineReset, kSwdToJtag, kLineReset}));
    EXPECT_EQ(bench.probe.debugPort().protocol(), WireProtocol::Jtag);
    bench.run(Concat({kSwdDrive, kIdle8}));
    EXPECT_EQ(bench.read(false, dp_address::kIdcodeAbort).ack, kNotAnswered);

    bench.run(Concat({modePins, kLineReset, kJtagToSwd, kLineReset, kSwdDrive, kIdle8}));
    EXPECT_EQ(bench.read(false, dp_address::kIdcodeAbort).data, kIdcode);
    EXPECT_EQ(bench.probe.contentionCount(), 0u);
}

TEST(SwdStreams, ASequenceWithoutTheLeadingLineResetDoesNotSwitch) {
    Bench bench;
    bench.run(Concat({kSwdDrive, {0x19, 0x01, 0x00, 0xFF, 0xFF}, kJtagToSwd, kLineReset}));
    EXPECT_EQ(bench.probe.debugPort().protocol(), WireProtocol::Jtag);
}

TEST(SwdStreams, AReadMissingOneCycleFailsVisibly) {
    Bench bench;
    bench.bringUpSwd();
    // Two ACK bits sampled instead of three: every later bit lands one place early.
    const Bytes reply = bench.run({0x1B, 0x07, 0xA5, 0x80, 0x00, 0xC9, 0x2E, 0x01, 0x2C, 0x03, 0x00, 0x2E, 0x02,
                                   0x80, 0x08, 0xCB});
    ASSERT_EQ(reply.size(), 6u);
    const uint32_t data = static_cast<uint32_t>(reply[1] | (reply[2] << 8) | (reply[3] << 16) | (reply[4] << 24));
    EXPECT_NE(data, kIdcode);
    // The host is now a cycle ahead of the port, which reads the next request skewed.
    EXPECT_NE(bench.read(false, dp_address::kIdcodeAbort).ack, swd_ack::kOk);
}

TEST(SwdStreams, AWriteMissingOneTurnaroundCycleFailsVisibly) {
    Bench bench;
    bench.bringUpSwd();
    ASSERT_EQ(bench.read(false, dp_address::kIdcodeAbort).ack, swd_ack::kOk);
    // 4B 03 instead of 4B 04: the data goes out one cycle early.
    bench.run({0x1B, 0x07, 0xB1, 0x80, 0x00, 0xC9, 0x4B, 0x03, 0x00, 0x80, 0x08, 0xCB, 0x19, 0x03, 0x00, 0x01,
               0x00, 0x00, 0x00, 0x1B, 0x02, 0x01});
    const bool wrongValue = bench.probe.dpState().select() != 1u;
    const bool dataError = (bench.probe.dpState().stickyFlags() & ctrl_stat::kWDataErr) != 0;
    EXPECT_TRUE(wrongValue || dataError);
}

TEST(SwdStreams, HostDrivingThroughTheAckIsCountedAsContention) {
    Bench bench;
    bench.bringUpSwd();
    // No release before the ACK: the target wins the line and the board counts it.
    const Bytes reply = bench.run({0x1B, 0x07, 0xA5, 0x3E, 0x02, 0x00, 0x80, 0x00, 0xC9, 0x2C, 0x03, 0x00, 0x2E,
                                   0x02, 0x80, 0x08, 0xCB});
    ASSERT_EQ(reply.size(), 6u);
    EXPECT_EQ(reply[0] >> 5, swd_ack::kOk);
    EXPECT_GT(bench.probe.contentionCount(), 0u);
}

struct DpRegisterCase {
    const char* name;
    uint8_t address;
    uint32_t written;
    uint32_t readBack;  // through the same address, or via the DP state
};

TEST(SwdDpRegisters, ReadsOfEveryRegister) {
    Bench bench;
    bench.bringUpSwd();
    EXPECT_EQ(bench.read(false, dp_address::kIdcodeAbort).data, kIdcode);
    const uint32_t powerUp = ctrl_stat::kCDbgPwrUpReq | ctrl_stat::kCSysPwrUpReq;
    ASSERT_EQ(bench.write(false, dp_address::kCtrlStat, powerUp), swd_ack::kOk);
    EXPECT_EQ(bench.ctrlStat(), powerUp | ctrl_stat::kCDbgPwrUpAck | ctrl_stat::kCSysPwrUpAck);
    EXPECT_TRUE(bench.fake->debugPowered);
    EXPECT_TRUE(bench.fake->systemPowered);

    bench.fake->registers[0xC] = 0xCAFEF00D;
    bench.read(true, 0xC);  // posted: starts the AP read
    const SwdRead rdbuff = bench.read(false, dp_address::kRdbuff);
    EXPECT_EQ(rdbuff.ack, swd_ack::kOk);
    EXPECT_EQ(rdbuff.data, 0xCAFEF00Du);
    const SwdRead resend = bench.read(false, dp_address::kSelectResend);
    EXPECT_EQ(resend.data, 0xCAFEF00Du);
    EXPECT_TRUE(resend.parityOk);
}

TEST(SwdDpRegisters, WritesOfEveryRegister) {
    Bench bench;
    bench.bringUpSwd();
    bench.read(false, dp_address::kIdcodeAbort);
    const DpRegisterCase cases[] = {
        {"SELECT", dp_address::kSelectResend, 0x010000F1, 0x010000F1},
        {"CTRL/STAT", dp_address::kCtrlStat, ctrl_stat::kCDbgRstReq | (0x5u << ctrl_stat::kMaskLaneShift),
         ctrl_stat::kCDbgRstReq | ctrl_stat::kCDbgRstAck | (0x5u << ctrl_stat::kMaskLaneShift)},
        {"RDBUFF (ignored)", dp_address::kRdbuff, 0x12345678, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bench.probe.dpState().writeSelect(0);
        EXPECT_EQ(bench.write(false, c.address, c.written), swd_ack::kOk);
        uint32_t now = 0;
        if (c.address == dp_address::kSelectResend) now = bench.probe.dpState().select();
        if (c.address == dp_address::kCtrlStat) now = bench.ctrlStat();
        if (c.address == dp_address::kRdbuff) now = bench.probe.dpState().readBuffer();
        EXPECT_EQ(now, c.readBack);
    }
    // ABORT: its clear bits are covered below; DAPABORT ends a stalled AP access.
    bench.probe.config().waitNextApTransactions = 1000;
    EXPECT_EQ(bench.shortTransaction(Request(true, true, 0x0)), swd_ack::kWait);
    EXPECT_EQ(bench.write(false, dp_address::kIdcodeAbort, abort_reg::kDapAbort), swd_ack::kOk);
    EXPECT_EQ(bench.read(true, 0x0).ack, swd_ack::kOk);
}

TEST(SwdDpRegisters, DpBankOneIsTheWireControlRegister) {
    Bench bench;
    bench.bringUpSwd();
    bench.read(false, dp_address::kIdcodeAbort);
    ASSERT_EQ(bench.write(false, dp_address::kSelectResend, select_reg::kDpBankWcr), swd_ack::kOk);
    EXPECT_EQ(bench.read(false, dp_address::kCtrlStat).data, wcr::kResetValue);
    ASSERT_EQ(bench.write(false, dp_address::kSelectResend, 0), swd_ack::kOk);
    EXPECT_EQ(bench.read(false, dp_address::kCtrlStat).data, 0u);
}

TEST(SwdDpRegisters, PowerUpNeverAcknowledged) {
    SimConfig config;
    config.powerUpNeverAcknowledged = true;
    Bench bench(config);
    bench.bringUpSwd();
    bench.read(false, dp_address::kIdcodeAbort);
    const uint32_t powerUp = ctrl_stat::kCDbgPwrUpReq | ctrl_stat::kCSysPwrUpReq;
    bench.write(false, dp_address::kCtrlStat, powerUp);
    EXPECT_EQ(bench.ctrlStat(), powerUp);
    bench.probe.config().powerUpNeverAcknowledged = false;
    EXPECT_EQ(bench.ctrlStat(), powerUp | ctrl_stat::kCDbgPwrUpAck | ctrl_stat::kCSysPwrUpAck);
}

TEST(SwdLinkRules, BadRequestParityIsUnansweredAndLocksThePortOut) {
    Bench bench;
    bench.bringUpSwd();
    ASSERT_EQ(bench.read(false, dp_address::kIdcodeAbort).ack, swd_ack::kOk);
    const SwdRead bad = bench.ParseRead(bench.run(Bench::ReadStream(0xA5 ^ 0x20)));
    EXPECT_EQ(bad.ack, kNotAnswered);
    EXPECT_EQ(bench.read(false, dp_address::kIdcodeAbort).ack, kNotAnswered);
    bench.run(Concat({kLineReset, kIdle8}));
    EXPECT_EQ(bench.read(false, dp_address::kIdcodeAbort).ack, swd_ack::kOk);
}

TEST(SwdLinkRules, BadStopOrParkIsAProtocolError) {
    for (const uint8_t request : {static_cast<uint8_t>(0xA5 | 0x40), static_cast<uint8_t>(0xA5 & ~0x80)}) {
        Bench bench;
        bench.bringUpSwd();
        bench.read(false, dp_address::kIdcodeAbort);
        EXPECT_EQ(Bench::ParseRead(bench.run(Bench::ReadStream(request))).ack, kNotAnswered) << int(request);
    }
}

TEST(SwdLinkRules, NothingIsAnsweredBeforeALineReset) {
    Bench bench;
    // Switched to SWD but never line-reset afterwards.
    bench.run(Concat({kSwdDrive, kLineReset, kJtagToSwd, kIdle8}));
    EXPECT_EQ(bench.read(false, dp_address::kIdcodeAbort).ack, kNotAnswered);
}

TEST(SwdLinkRules, TheFirstTransactionAfterALineResetMustReadIdcode) {
    Bench bench;
    bench.bringUpSwd();
    EXPECT_EQ(bench.read(false, dp_address::kCtrlStat).ack, kNotAnswered);
    EXPECT_EQ(bench.read(false, dp_address::kIdcodeAbort).ack, kNotAnswered);  // still locked out
    bench.run(Concat({kLineReset, kIdle8}));
    EXPECT_EQ(bench.read(false, dp_address::kIdcodeAbort).ack, swd_ack::kOk);
    EXPECT_EQ(bench.read(false, dp_address::kCtrlStat).ack, swd_ack::kOk);
}

TEST(SwdLinkRules, NoTargetLeavesTheLineFloatingHigh) {
    SimConfig config;
    config.noTarget = true;
    Bench bench(config);
    bench.bringUpSwd();
    const Bytes reply = bench.run(Bench::ReadStream(0xA5));
    EXPECT_EQ(reply, (Bytes{0xE0, 0xFF, 0xFF, 0xFF, 0xFF, 0xE0}));
}

TEST(SwdWriteData, WrongParitySetsWdataerrAndDropsTheWrite) {
    Bench bench;
    bench.bringUpSwd();
    bench.read(false, dp_address::kIdcodeAbort);
    EXPECT_EQ(bench.writeWithParity(false, dp_address::kSelectResend, 0x000000F0, true), swd_ack::kOk);
    EXPECT_EQ(bench.probe.dpState().select(), 0u);
    EXPECT_NE(bench.ctrlStat() & ctrl_stat::kWDataErr, 0u);
    EXPECT_EQ(bench.shortTransaction(Request(true, true, 0x0)), swd_ack::kFault);
    EXPECT_EQ(bench.write(false, dp_address::kIdcodeAbort, abort_reg::kWdErrClr), swd_ack::kOk);
    EXPECT_EQ(bench.ctrlStat() & ctrl_stat::kWDataErr, 0u);
    EXPECT_EQ(bench.read(true, 0x0).ack, swd_ack::kOk);
}

TEST(SwdApAccess, ReadsArePostedThroughRdbuff) {
    Bench bench;
    bench.bringUpSwd();
    bench.read(false, dp_address::kIdcodeAbort);
    bench.fake->registers[0x4] = 0x11111111;
    bench.fake->registers[0x8] = 0x22222222;
    bench.fake->registers[0xC] = 0x33333333;
    EXPECT_EQ(bench.read(true, 0x4).data, 0u);  // nothing read before
    EXPECT_EQ(bench.read(true, 0x8).data, 0x11111111u);
    EXPECT_EQ(bench.read(true, 0xC).data, 0x22222222u);
    EXPECT_EQ(bench.read(false, dp_address::kRdbuff).data, 0x33333333u);
    EXPECT_EQ(bench.read(false, dp_address::kRdbuff).data, 0x33333333u);  // no new AP access
    EXPECT_EQ(bench.fake->accesses.size(), 3u);
    EXPECT_NE(bench.ctrlStat() & ctrl_stat::kReadOk, 0u);
}

TEST(SwdApAccess, WritesReachTheApSelectedBySelect) {
    Bench bench;
    bench.bringUpSwd();
    bench.read(false, dp_address::kIdcodeAbort);
    ASSERT_EQ(bench.write(false, dp_address::kSelectResend, 0x000000F0), swd_ack::kOk);
    ASSERT_EQ(bench.write(true, 0x4, 0xDEADBEEF), swd_ack::kOk);
    ASSERT_EQ(bench.write(false, dp_address::kSelectResend, 0x01000000), swd_ack::kOk);
    ASSERT_EQ(bench.write(true, 0x8, 0x5), swd_ack::kOk);
    const std::vector<FakeTarget::Access> expected = {{true, 0, 0xF4, 0xDEADBEEF}, {true, 1, 0x08, 0x5}};
    EXPECT_EQ(bench.fake->accesses, expected);
}

TEST(SwdApAccess, ApErrorSetsStickyErrAndApAccessesFaultUntilAbort) {
    Bench bench;
    bench.bringUpSwd();
    bench.read(false, dp_address::kIdcodeAbort);
    bench.fake->errorAddress = 0xC;
    EXPECT_EQ(bench.write(true, 0xC, 1), swd_ack::kOk);  // posted: the error shows afterwards
    EXPECT_NE(bench.ctrlStat() & ctrl_stat::kStickyErr, 0u);
    bench.fake->errorAddress.reset();
    const size_t accesses = bench.fake->accesses.size();
    EXPECT_EQ(bench.shortTransaction(Request(true, true, 0x0)), swd_ack::kFault);
    EXPECT_EQ(bench.shortTransaction(Request(true, false, 0x0)), swd_ack::kFault);
    EXPECT_EQ(bench.fake->accesses.size(), accesses);
    EXPECT_EQ(bench.ctrlStat() & ctrl_stat::kReadOk, 0u);
    // DP registers still answer OK.
    EXPECT_EQ(bench.read(false, dp_address::kIdcodeAbort).ack, swd_ack::kOk);
    // A CTRL/STAT write cannot clear it on the SW-DP.
    bench.write(false, dp_address::kCtrlStat, ctrl_stat::kStickyErr);
    EXPECT_NE(bench.ctrlStat() & ctrl_stat::kStickyErr, 0u);
    EXPECT_EQ(bench.write(false, dp_address::kIdcodeAbort, abort_reg::kStkErrClr), swd_ack::kOk);
    EXPECT_EQ(bench.read(true, 0x0).ack, swd_ack::kOk);
}

struct AbortCase {
    const char* name;
    uint32_t flag;
    uint32_t clearBit;
};

TEST(SwdAbort, EachClearBitClearsOnlyItsFlag) {
    const AbortCase cases[] = {
        {"STKCMPCLR", ctrl_stat::kStickyCmp, abort_reg::kStkCmpClr},
        {"STKERRCLR", ctrl_stat::kStickyErr, abort_reg::kStkErrClr},
        {"WDERRCLR", ctrl_stat::kWDataErr, abort_reg::kWdErrClr},
        {"ORUNERRCLR", ctrl_stat::kStickyOrun, abort_reg::kOrunErrClr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bench bench;
        bench.bringUpSwd();
        bench.read(false, dp_address::kIdcodeAbort);
        bench.probe.dpState().raise(ctrl_stat::kStickyFlags);
        EXPECT_EQ(bench.write(false, dp_address::kIdcodeAbort, c.clearBit), swd_ack::kOk);
        EXPECT_EQ(bench.ctrlStat() & ctrl_stat::kStickyFlags, ctrl_stat::kStickyFlags & ~c.flag);
    }
}

TEST(SwdAbort, PushedCompareRaisesStickyCmp) {
    Bench bench;
    bench.bringUpSwd();
    bench.read(false, dp_address::kIdcodeAbort);
    bench.fake->registers[0xC] = 0x000000AB;
    const uint32_t compareLane0 = (ctrl_stat::kTrnModePushedCompare << ctrl_stat::kTrnModeShift) |
                                  (0x1u << ctrl_stat::kMaskLaneShift);
    bench.write(false, dp_address::kCtrlStat, compareLane0);
    bench.write(true, 0xC, 0xFFFFFFAC);
    EXPECT_EQ(bench.ctrlStat() & ctrl_stat::kStickyCmp, 0u);
    bench.write(true, 0xC, 0xFFFFFFAB);
    EXPECT_NE(bench.ctrlStat() & ctrl_stat::kStickyCmp, 0u);
    EXPECT_EQ(bench.fake->registers[0xC], 0xABu);  // pushed operations do not write
    bench.write(false, dp_address::kIdcodeAbort, abort_reg::kStkCmpClr);
    EXPECT_EQ(bench.ctrlStat() & ctrl_stat::kStickyCmp, 0u);
}

TEST(SwdOverrun, WaitWithoutOrundetectHasNoDataPhase) {
    Bench bench;
    bench.bringUpSwd();
    bench.read(false, dp_address::kIdcodeAbort);
    bench.probe.config().waitNextApTransactions = 1;
    // Request, release, ACK in cycles 9-11 plus two turnaround cycles, then
    // the next request straight away in cycle 14.
    const Bytes reply = bench.run(Concat({{0x1B, 0x07, Request(true, true, 0x0)},
                                          kSwdRelease,
                                          {0x2E, 0x04},
                                          kSwdDrive,
                                          Bench::ReadStream(0xA5)}));
    ASSERT_EQ(reply.size(), 7u);
    EXPECT_EQ((reply[0] >> 3) & 7, swd_ack::kWait);
    const SwdRead id = Bench::ParseRead(Bytes(reply.begin() + 1, reply.end()));
    EXPECT_EQ(id.ack, swd_ack::kOk);
    EXPECT_EQ(id.data, kIdcode);
    EXPECT_EQ(bench.probe.config().waitNextApTransactions, 0u);
    EXPECT_EQ(bench.ctrlStat() & ctrl_stat::kStickyOrun, 0u);
}

TEST(SwdOverrun, WaitAnsweredToAFullLengthReadDesynchronisesTheLink) {
    Bench bench;
    bench.bringUpSwd();
    bench.read(false, dp_address::kIdcodeAbort);
    bench.probe.config().waitNextApTransactions = 1;
    EXPECT_EQ(bench.read(true, 0x0).ack, swd_ack::kWait);
    // The released data phase read as a request of ones: a protocol error.
    EXPECT_EQ(bench.read(false, dp_address::kIdcodeAbort).ack, kNotAnswered);
}

TEST(SwdOverrun, FaultWithoutOrundetectHasNoDataPhase) {
    Bench bench;
    bench.bringUpSwd();
    bench.read(false, dp_address::kIdcodeAbort);
    bench.probe.dpState().raise(ctrl_stat::kStickyErr);
    const Bytes reply = bench.run(Concat({{0x1B, 0x07, Request(true, false, 0x4)},
                                          kSwdRelease,
                                          {0x2E, 0x04},
                                          kSwdDrive,
                                          Bench::ReadStream(0xA5)}));
    ASSERT_EQ(reply.size(), 7u);
    EXPECT_EQ((reply[0] >> 3) & 7, swd_ack::kFault);
    EXPECT_EQ(Bench::ParseRead(Bytes(reply.begin() + 1, reply.end())).data, kIdcode);
}

TEST(SwdOverrun, WithOrundetectWaitAndFaultKeepTheDataPhaseAndSetStickyOrun) {
    Bench bench;
    bench.bringUpSwd();
    bench.read(false, dp_address::kIdcodeAbort);
    bench.write(false, dp_address::kCtrlStat, ctrl_stat::kOrunDetect);
    bench.probe.config().waitNextApTransactions = 1;
    EXPECT_EQ(bench.read(true, 0x0).ack, swd_ack::kWait);
    const SwdRead status = bench.read(false, dp_address::kCtrlStat);
    EXPECT_EQ(status.ack, swd_ack::kOk);
    EXPECT_NE(status.data & ctrl_stat::kStickyOrun, 0u);
    // STICKYORUN is sticky: AP accesses now FAULT, still with a data phase.
    EXPECT_EQ(bench.write(true, 0x0, 0), swd_ack::kFault);
    EXPECT_EQ(bench.read(false, dp_address::kIdcodeAbort).ack, swd_ack::kOk);
    EXPECT_EQ(bench.write(false, dp_address::kIdcodeAbort, abort_reg::kOrunErrClr), swd_ack::kOk);
    EXPECT_EQ(bench.read(true, 0x0).ack, swd_ack::kOk);
}

TEST(SwdWireLog, RecordsRequestAckAndData) {
    Bench bench;
    bench.bringUpSwd();
    bench.read(false, dp_address::kIdcodeAbort);
    bench.write(false, dp_address::kSelectResend, 0xF0);
    const std::vector<WireTransaction> expected = {
        {WireProtocol::Swd, false, true, dp_address::kIdcodeAbort, swd_ack::kOk, kIdcode},
        {WireProtocol::Swd, false, false, dp_address::kSelectResend, swd_ack::kOk, 0xF0},
    };
    EXPECT_EQ(bench.probe.wireLog(), expected);
}

}  // namespace
}  // namespace cm3sim::wire_testing
