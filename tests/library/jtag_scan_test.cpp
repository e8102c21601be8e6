// The 35-bit DAP scan layout, and how scans reach the JTAG engine.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "dap/port.h"
#include "expected_traffic.h"
#include "fixture.h"
#include "transport/jtag_scan.h"

namespace cm3test {
namespace {



TEST(DapScan, RequestsPackAsTheJtagDpShiftsThem) {
    const struct {
        const char* name;
        uint32_t data;
        uint8_t reg;
        uint8_t rnw;
        Bytes expected;
    } cases[] = {
        {"CSW write, word size", 0x23000002, 0x0, 0, {0x10, 0x00, 0x00, 0x18, 0x01}},
        {"CTRL/STAT read request", 0, 0x4, 1, {0x03, 0x00, 0x00, 0x00, 0x00}},
        {"CTRL/STAT power-up request", 0x50000000, 0x4, 0, {0x02, 0x00, 0x00, 0x80, 0x02}},
        {"SELECT bank 0xF", 0xF0, 0x8, 0, {0x84, 0x07, 0x00, 0x00, 0x00}},
        {"all ones: fill bits stay 0", 0xFFFFFFFF, 0xC, 1, {0xFF, 0xFF, 0xFF, 0xFF, 0x07}},
        {"IDR packs like 0xC", 0, 0xFC, 1, DapScan(0, 0xC, 1)},
        {"BASE packs like 0x8", 0, 0xF8, 1, DapScan(0, 0x8, 1)},
    };
    for (const auto& c : cases) EXPECT_EQ(DapScan(c.data, c.reg, c.rnw), c.expected) << c.name;
}

TEST(DapScan, CapturesDecodeOnlyWithTheOkFaultAcknowledge) {
    const struct {
        const char* name;
        Bytes capture;
        cm3probe::WireStatus result;
        uint32_t value;
    } cases[] = {
        {"OK", {0x12, 0x34, 0x56, 0x78, 0x9A}, cm3probe::WireStatus::Ok, 0x4F0AC682},
        {"OK, power-up acknowledged", {0x82, 0x07, 0x00, 0x00, 0x06}, cm3probe::WireStatus::Ok, 0xC00000F0},
        {"fill bits ignored", {0x02, 0x00, 0x00, 0x00, 0x08}, cm3probe::WireStatus::Ok, 0},
        {"WAIT", {0x01, 0xFF, 0xFF, 0xFF, 0x07}, cm3probe::WireStatus::Wait, 0xDEADBEEF},
        {"no acknowledge", {0x00, 0xFF, 0xFF, 0xFF, 0x07}, cm3probe::WireStatus::ProtocolError, 0xDEADBEEF},
        {"line high", {0x07, 0xFF, 0xFF, 0xFF, 0x07}, cm3probe::WireStatus::ProtocolError, 0xDEADBEEF},
    };
    for (const auto& c : cases) {
        uint32_t value = 0xDEADBEEF;
        EXPECT_EQ(cm3probe::DecodeDapScan(c.capture.data(), &value), c.result) << c.name;
        EXPECT_EQ(value, c.value) << c.name;
    }
}

TEST(DapScan, PackThenDecodeRoundTrips) {
    std::mt19937 random(7);
    for (int i = 0; i < 10000; ++i) {
        uint32_t data = random();
        Bytes scan = DapScan(data, static_cast<uint8_t>(random() & 0xFC), static_cast<uint8_t>(random() & 1));
        scan[0] = static_cast<uint8_t>((scan[0] & ~0x7) | 0x2);
        uint32_t value = 0;
        ASSERT_EQ(cm3probe::DecodeDapScan(scan.data(), &value), cm3probe::WireStatus::Ok);
        ASSERT_EQ(value, data);
    }
}

class JtagScanCallsTest : public FakeBackendTest {};

TEST_F(JtagScanCallsTest, InstructionSelectIsAFourBitImmediateWrite) {
    EXPECT_EQ(cm3probe::SelectJtagInstruction(cm3probe::jtag_ir::kApacc), cm3probe::WireStatus::Ok);
    ASSERT_EQ(Jtag().calls.size(), 1u);
    const JtagCall& call = Jtag().calls[0];
    EXPECT_EQ(call.op, JtagOp::ScanWrite);
    EXPECT_EQ(call.reg, cm3probe::adapter::jtag::kInstructionRegister);
    EXPECT_EQ(call.bits, 4u);
    EXPECT_EQ(call.bytes, Bytes{0x0B});
}

TEST_F(JtagScanCallsTest, InstructionSelectOverSwdSendsNothing) {
    cm3probe::dap::UseTransport(1);
    EXPECT_EQ(cm3probe::SelectJtagInstruction(cm3probe::jtag_ir::kDpacc), cm3probe::WireStatus::UsbFailure);
    EXPECT_TRUE(Jtag().calls.empty());
}

TEST_F(JtagScanCallsTest, QueuedScansUseTheQueueCallsWithTheSameArguments) {
    Bytes request = DapScan(0x1234, 0x4, 0);
    ASSERT_EQ(cm3probe::JtagQueueClear(), cm3probe::WireStatus::Ok);
    ASSERT_EQ(cm3probe::JtagQueueInstruction(cm3probe::jtag_ir::kApacc), cm3probe::WireStatus::Ok);
    ASSERT_EQ(cm3probe::JtagQueueWrite(request.data()), cm3probe::WireStatus::Ok);
    ASSERT_EQ(cm3probe::JtagQueueRead(), cm3probe::WireStatus::Ok);
    ASSERT_EQ(cm3probe::JtagQueueWriteRead(request.data()), cm3probe::WireStatus::Ok);
    Jtag().captures = {{0x02, 0, 0, 0, 0}, {0x0A, 0, 0, 0, 0}};
    uint32_t bytes = 0;
    ASSERT_EQ(cm3probe::JtagQueueExecute(&bytes), cm3probe::WireStatus::Ok);
    EXPECT_EQ(bytes, 10u);
    std::vector<JtagOp> ops;
    for (const JtagCall& call : Jtag().calls) ops.push_back(call.op);
    using enum JtagOp;
    EXPECT_EQ(ops, (std::vector<JtagOp>{Clear, QueueWrite, QueueWrite, QueueRead, QueueWriteRead, Execute}));
    EXPECT_EQ(Jtag().calls[1].reg, cm3probe::adapter::jtag::kInstructionRegister);
    EXPECT_EQ(Jtag().calls[2].bytes, request);
    EXPECT_EQ(Jtag().calls[2].bits, 35u);
    EXPECT_EQ(Jtag().calls[3].bits, 35u);
    uint32_t value = 0;
    EXPECT_EQ(cm3probe::DecodeDapScan(cm3probe::JtagReadBack() + 5, &value), cm3probe::WireStatus::Ok);
    EXPECT_EQ(value, 1u);
}

}  // namespace
}  // namespace cm3test
