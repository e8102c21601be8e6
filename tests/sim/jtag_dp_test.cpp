// The JTAG TAP and JTAG-DP, driven through the JTAG wiring (ADBUS7 high) with
// MPSSE bytes: TMS moves with 0x4B, data shifts with 0x39/0x3B (out on the
// falling edge, in on the rising), the last bit with 0x6B.
#include <gtest/gtest.h>

#include "dp/dp_registers.h"
#include "dp/jtag_dp.h"
#include "swd_bench.h"

namespace cm3sim::wire_testing {
namespace {

constexpr uint32_t kJtagIdcode = 0x4BA00477;

class JtagBench : public Bench {
public:
    explicit JtagBench(const SimConfig& config = {}) : Bench(config) {
        // JTAG wiring; five TMS highs reach Test-Logic-Reset, then Run-Test/Idle.
        run(Concat({kJtagPins, {0x4B, 0x05, 0x1F}}));
    }

    TapState state() const { return probe.debugPort().jtag().state(); }

    // From Run-Test/Idle through Shift-IR and back; returns the captured bits.
    uint8_t scanIr(uint8_t instruction) {
        const Bytes reply = run({0x4B, 0x03, 0x03,                                // to Shift-IR
                                 0x3B, 0x02, static_cast<uint8_t>(instruction & 7),  // 3 bits
                                 0x6B, 0x00, static_cast<uint8_t>(((instruction >> 3) & 1) << 7 | 1),
                                 0x4B, 0x01, 0x01});                               // Update-IR, Idle
        EXPECT_EQ(reply.size(), 2u);
        return static_cast<uint8_t>((reply[0] >> 5) | ((reply[1] >> 7) << 3));
    }

    // From Run-Test/Idle through Shift-DR and back; `bits` long, returns the captured value.
    uint64_t scanDr(uint64_t value, unsigned bits) {
        Bytes bytes = {0x4B, 0x02, 0x01};  // to Shift-DR
        const unsigned body = bits - 1;
        const unsigned whole = body / 8;
        const unsigned rest = body % 8;
        if (whole > 0) {
            bytes.insert(bytes.end(), {0x39, static_cast<uint8_t>(whole - 1), 0x00});
            for (unsigned i = 0; i < whole; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
        }
        if (rest > 0) {
            bytes.insert(bytes.end(), {0x3B, static_cast<uint8_t>(rest - 1), static_cast<uint8_t>(value >> (8 * whole))});
        }
        bytes.insert(bytes.end(), {0x6B, 0x00, static_cast<uint8_t>(((value >> body) & 1) << 7 | 1), 0x4B, 0x01, 0x01});
        const Bytes reply = run(bytes);
        EXPECT_EQ(reply.size(), whole + (rest > 0 ? 1 : 0) + 1);
        uint64_t captured = 0;
        for (unsigned i = 0; i < whole; ++i) captured |= static_cast<uint64_t>(reply[i]) << (8 * i);
        if (rest > 0) captured |= static_cast<uint64_t>(reply[whole] >> (8 - rest)) << (8 * whole);
        captured |= static_cast<uint64_t>(reply.back() >> 7) << body;
        return captured;
    }

    struct Captured {
        uint8_t ack;
        uint32_t data;
    };
    // One 35-bit DPACC/APACC scan with the current instruction.
    Captured acc(bool read, uint8_t address, uint32_t data = 0) {
        const uint64_t in = (read ? 1u : 0u) | ((address >> 2) << 1) | (static_cast<uint64_t>(data) << 3);
        const uint64_t out = scanDr(in, jtag_dr::kAccLength);
        return {static_cast<uint8_t>(out & 7), static_cast<uint32_t>(out >> 3)};
    }
};

TEST(JtagTap, PowersOnInJtagWithIdcodeSelected) {
    JtagBench bench;
    EXPECT_EQ(bench.probe.debugPort().protocol(), WireProtocol::Jtag);
    EXPECT_EQ(bench.probe.debugPort().jtag().instruction(), jtag_ir::kIdcode);
    EXPECT_EQ(bench.scanDr(0, jtag_dr::kIdcodeLength), kJtagIdcode);
    EXPECT_EQ(bench.probe.contentionCount(), 0u);
}

TEST(JtagTap, WalksTheSixteenStates) {
    struct Walk {
        uint8_t tms;  // LSB first
        uint8_t count;
        TapState end;
    };
    // Every walk starts from Run-Test/Idle.
    const Walk walks[] = {
        {0b0, 1, TapState::RunTestIdle},      {0b1, 1, TapState::SelectDrScan},
        {0b01, 2, TapState::CaptureDr},       {0b001, 3, TapState::ShiftDr},
        {0b101, 3, TapState::Exit1Dr},        {0b0101, 4, TapState::PauseDr},
        {0b10101, 5, TapState::Exit2Dr},      {0b110101, 6, TapState::UpdateDr},
        {0b010101, 6, TapState::ShiftDr},     {0b1101, 4, TapState::UpdateDr},
        {0b11, 2, TapState::SelectIrScan},    {0b011, 3, TapState::CaptureIr},
        {0b0011, 4, TapState::ShiftIr},       {0b1011, 4, TapState::Exit1Ir},
        {0b01011, 5, TapState::PauseIr},      {0b101011, 6, TapState::Exit2Ir},
        {0b1101011, 7, TapState::UpdateIr},   {0b0101011, 7, TapState::ShiftIr},
        {0b111, 3, TapState::TestLogicReset}, {0b0111, 4, TapState::RunTestIdle},
    };
    for (const auto& w : walks) {
        SCOPED_TRACE(::testing::Message() << "tms " << int(w.tms) << " x" << int(w.count));
        JtagBench bench;
        bench.run({0x4B, static_cast<uint8_t>(w.count - 1), w.tms});
        EXPECT_EQ(bench.state(), w.end);
        bench.run({0x4B, 0x04, 0x1F});
        EXPECT_EQ(bench.state(), TapState::TestLogicReset);
    }
}

TEST(JtagTap, IrIsFourBitsCapturingOneAndResetRestoresIdcode) {
    JtagBench bench;
    // Eight ones through Shift-IR: 0001 comes out, then the ones shifted in.
    // The exit clock shifts once more, TDI held high by bit 7.
    const Bytes reply = bench.run({0x4B, 0x03, 0x03, 0x3B, 0x07, 0xFF, 0x4B, 0x02, 0x83});
    EXPECT_EQ(reply, Bytes{0xF1});
    EXPECT_EQ(bench.probe.debugPort().jtag().instruction(), jtag_ir::kBypass);
    bench.run({0x4B, 0x05, 0x1F});
    EXPECT_EQ(bench.probe.debugPort().jtag().instruction(), jtag_ir::kIdcode);
}

TEST(JtagTap, DataRegisterLengthsPerInstruction) {
    struct Case {
        uint8_t instruction;
        unsigned length;
    };
    const Case cases[] = {
        {jtag_ir::kIdcode, 32}, {jtag_ir::kBypass, 1}, {jtag_ir::kDpAcc, 35},
        {jtag_ir::kApAcc, 35},  {jtag_ir::kAbort, 35}, {0x3, 1},  // unknown: BYPASS
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.instruction));
        JtagBench bench;
        bench.scanIr(c.instruction);
        // 64 zeros flush the captured value, then a single one: it comes out `length` bits later.
        Bytes bytes = {0x4B, 0x02, 0x01, 0x39, 0x0F, 0x00};
        for (int i = 0; i < 16; ++i) bytes.push_back(i == 8 ? 0x01 : 0x00);
        bytes.insert(bytes.end(), {0x4B, 0x02, 0x03});
        const Bytes reply = bench.run(bytes);
        ASSERT_EQ(reply.size(), 16u);
        unsigned first = 0;
        for (unsigned bit = 64; bit < 128; ++bit) {
            if ((reply[bit / 8] >> (bit % 8)) & 1) {
                first = bit;
                break;
            }
        }
        EXPECT_EQ(first - 64, c.length);
    }
}

TEST(JtagTap, BypassDelaysByOneBit) {
    JtagBench bench;
    EXPECT_EQ(bench.scanIr(jtag_ir::kBypass), jtag_ir::kCapture);
    EXPECT_EQ(bench.run({0x4B, 0x02, 0x01, 0x3B, 0x07, 0xA5, 0x4B, 0x02, 0x03}), Bytes{0x4A});
}

TEST(JtagDpAcc, ScansArePipelined) {
    JtagBench bench;
    bench.scanIr(jtag_ir::kDpAcc);
    const uint32_t powerUp = ctrl_stat::kCDbgPwrUpReq | ctrl_stat::kCSysPwrUpReq;
    EXPECT_EQ(bench.acc(false, dp_address::kCtrlStat, powerUp).ack, jtag_ack::kOkFault);
    EXPECT_EQ(bench.acc(true, dp_address::kCtrlStat).ack, jtag_ack::kOkFault);
    // The RDBUFF scan captures the CTRL/STAT read requested by the scan before.
    const auto result = bench.acc(true, dp_address::kRdbuff);
    EXPECT_EQ(result.ack, jtag_ack::kOkFault);
    EXPECT_EQ(result.data, powerUp | ctrl_stat::kCDbgPwrUpAck | ctrl_stat::kCSysPwrUpAck);
    EXPECT_EQ(bench.acc(true, dp_address::kRdbuff).data, 0u);  // RDBUFF itself reads as zero
    EXPECT_TRUE(bench.fake->debugPowered);
}

TEST(JtagDpAcc, ApAccessesThroughSelect) {
    JtagBench bench;
    bench.scanIr(jtag_ir::kDpAcc);
    bench.acc(false, dp_address::kSelectResend, 0x000000F0);
    bench.scanIr(jtag_ir::kApAcc);
    bench.acc(false, 0xC, 0x600DF00D);
    bench.acc(true, 0xC);
    bench.scanIr(jtag_ir::kDpAcc);
    EXPECT_EQ(bench.acc(true, dp_address::kRdbuff).data, 0x600DF00Du);
    const std::vector<FakeTarget::Access> expected = {{true, 0, 0xFC, 0x600DF00D}, {false, 0, 0xFC, 0}};
    EXPECT_EQ(bench.fake->accesses, expected);
}

TEST(JtagDpAcc, WaitDropsTheScanThatGotIt) {
    JtagBench bench;
    bench.fake->registers[0xC] = 0x12345678;
    bench.scanIr(jtag_ir::kApAcc);
    bench.probe.config().waitNextApTransactions = 1;
    EXPECT_EQ(bench.acc(true, 0xC).ack, jtag_ack::kOkFault);
    // The AP access is still going: this scan's write is not performed.
    EXPECT_EQ(bench.acc(false, 0x4, 0xFFFF).ack, jtag_ack::kWait);
    bench.scanIr(jtag_ir::kDpAcc);
    const auto result = bench.acc(true, dp_address::kRdbuff);
    EXPECT_EQ(result.ack, jtag_ack::kOkFault);
    EXPECT_EQ(result.data, 0x12345678u);
    EXPECT_EQ(bench.fake->accesses.size(), 1u);
}

TEST(JtagDpAcc, DapAbortEndsAStalledAccess) {
    JtagBench bench;
    bench.scanIr(jtag_ir::kApAcc);
    bench.probe.config().waitNextApTransactions = 1000;
    bench.acc(true, 0xC);
    EXPECT_EQ(bench.acc(true, 0xC).ack, jtag_ack::kWait);
    bench.scanIr(jtag_ir::kAbort);
    bench.scanDr(static_cast<uint64_t>(abort_reg::kDapAbort) << 3, jtag_dr::kAccLength);
    bench.scanIr(jtag_ir::kApAcc);
    EXPECT_EQ(bench.acc(true, 0xC).ack, jtag_ack::kOkFault);
}

TEST(JtagDpAcc, OverrunDetectTurnsWaitIntoStickyOrun) {
    JtagBench bench;
    bench.scanIr(jtag_ir::kDpAcc);
    bench.acc(false, dp_address::kCtrlStat, ctrl_stat::kOrunDetect);
    bench.scanIr(jtag_ir::kApAcc);
    bench.probe.config().waitNextApTransactions = 1;
    bench.acc(true, 0x0);
    EXPECT_EQ(bench.acc(true, 0x0).ack, jtag_ack::kWait);
    EXPECT_NE(bench.probe.dpState().stickyFlags() & ctrl_stat::kStickyOrun, 0u);
}

TEST(JtagDpAcc, StickyFlagsAreWriteOneToClear) {
    JtagBench bench;
    bench.fake->errorAddress = 0x4;
    bench.scanIr(jtag_ir::kApAcc);
    bench.acc(false, 0x4, 1);
    bench.fake->errorAddress.reset();
    bench.scanIr(jtag_ir::kDpAcc);
    bench.acc(true, dp_address::kCtrlStat);
    EXPECT_NE(bench.acc(true, dp_address::kRdbuff).data & ctrl_stat::kStickyErr, 0u);

    // While it is set, AP transactions are discarded.
    bench.scanIr(jtag_ir::kApAcc);
    const size_t accesses = bench.fake->accesses.size();
    bench.acc(false, 0x8, 2);
    EXPECT_EQ(bench.fake->accesses.size(), accesses);

    bench.scanIr(jtag_ir::kDpAcc);
    bench.acc(false, dp_address::kCtrlStat, 0);  // zero leaves it
    EXPECT_NE(bench.probe.dpState().stickyFlags() & ctrl_stat::kStickyErr, 0u);
    bench.acc(false, dp_address::kCtrlStat, ctrl_stat::kStickyErr);
    EXPECT_EQ(bench.probe.dpState().stickyFlags(), 0u);
    bench.scanIr(jtag_ir::kApAcc);
    bench.acc(false, 0x8, 2);
    EXPECT_EQ(bench.fake->registers[0x8], 2u);
}

TEST(JtagDpAcc, NoTargetReadsTdoHigh) {
    SimConfig config;
    config.noTarget = true;
    JtagBench bench(config);
    EXPECT_EQ(bench.scanDr(0, jtag_dr::kIdcodeLength), 0xFFFFFFFFu);
}

TEST(JtagDpAcc, WireLogRecordsScans) {
    JtagBench bench;
    bench.scanIr(jtag_ir::kDpAcc);
    bench.acc(false, dp_address::kSelectResend, 0xF0);
    const std::vector<WireTransaction> expected = {
        {WireProtocol::Jtag, false, false, dp_address::kSelectResend, jtag_ack::kOkFault, 0xF0}};
    EXPECT_EQ(bench.probe.wireLog(), expected);
}

}  // namespace
}  // namespace cm3sim::wire_testing
