// Exact SWD bytes: request bytes, the fixed write and read streams, response
// decoding and the clock divisor.
#include <gtest/gtest.h>

#include <vector>

#include "dap/dp_registers.h"
#include "fixture.h"
#include "transport/swd_link.h"
#include "transport/swd_protocol.h"

namespace cm3test {
namespace {

using cm3probe::swd::kAccessPort;
using cm3probe::swd::kDebugPort;
using Bytes = std::vector<uint8_t>;

struct RequestCase {
    const char* name;
    uint8_t reg;
    uint8_t ap;
    bool read;
    uint8_t expected;
};

TEST(SwdRequestByte, EveryRequestTheLibrarySends) {
    const RequestCase cases[] = {
        {"DP read IDCODE", 0x0, kDebugPort, true, 0xA5},  {"DP read CTRL/STAT", 0x4, kDebugPort, true, 0x8D},
        {"DP read RDBUFF", 0xC, kDebugPort, true, 0xBD},  {"DP write ABORT", 0x0, kDebugPort, false, 0x81},
        {"DP write CTRL/STAT", 0x4, kDebugPort, false, 0xA9}, {"DP write SELECT", 0x8, kDebugPort, false, 0xB1},
        {"AP write CSW", 0x0, kAccessPort, false, 0xA3},  {"AP write TAR", 0x4, kAccessPort, false, 0x8B},
        {"AP write DRW", 0xC, kAccessPort, false, 0xBB},  {"AP read CSW", 0x0, kAccessPort, true, 0x87},
        {"AP read DRW", 0xC, kAccessPort, true, 0x9F},
    };
    for (const RequestCase& c : cases) {
        EXPECT_EQ(cm3probe::swd::RequestByte(c.reg, c.ap, c.read), c.expected) << c.name;
    }
}

class SwdTransferTest : public FakeBackendTest {};

struct WriteCase {
    const char* name;
    uint8_t reg;
    uint8_t ap;
    uint32_t value;
    Bytes expected;
};

TEST_F(SwdTransferTest, WriteStreamsAreExact) {
    const WriteCase cases[] = {
        {"SELECT 0", 0x8, kDebugPort, 0,
         {0x1B, 0x07, 0xB1, 0x80, 0x00, 0xC9, 0x4B, 0x04, 0x00, 0x80, 0x08, 0xCB, 0x19, 0x03, 0x00, 0x00, 0x00,
          0x00, 0x00, 0x1B, 0x02, 0x00}},
        {"CSW 0x23000012", 0x0, kAccessPort, 0x23000012,
         {0x1B, 0x07, 0xA3, 0x80, 0x00, 0xC9, 0x4B, 0x04, 0x00, 0x80, 0x08, 0xCB, 0x19, 0x03, 0x00, 0x12, 0x00,
          0x00, 0x23, 0x1B, 0x02, 0x01}},
        {"thirteen ones", 0xC, kAccessPort, 0x12345678,
         {0x1B, 0x07, 0xBB, 0x80, 0x00, 0xC9, 0x4B, 0x04, 0x00, 0x80, 0x08, 0xCB, 0x19, 0x03, 0x00, 0x78, 0x56,
          0x34, 0x12, 0x1B, 0x02, 0x01}},
    };
    for (const WriteCase& c : cases) {
        ResetUsb();
        EXPECT_EQ(cm3probe::SwdWriteTransfer(nullptr, c.reg, c.ap, c.value), cm3probe::WireStatus::Ok) << c.name;
        ASSERT_EQ(Usb().writes().size(), 1u) << c.name;
        EXPECT_EQ(Usb().writes()[0], c.expected) << c.name;
        EXPECT_TRUE(Usb().callsOf(UsbOp::Read).empty()) << c.name;
    }
}

TEST_F(SwdTransferTest, WriteReportsTheDriverStatus) {
    Usb().failures.push_back({UsbOp::Write, 5});
    EXPECT_EQ(cm3probe::SwdWriteTransfer(nullptr, 0x4, kDebugPort, 1), cm3probe::WireStatus::UsbFailure);
}

TEST_F(SwdTransferTest, IdcodeReadIsSixteenBytesThenOneSixByteRead) {
    Usb().queueResponse(0x20, 0x2BA01477);
    uint32_t value = 0;
    EXPECT_EQ(cm3probe::SwdReadTransfer(nullptr, cm3probe::dp::kIdcode, kDebugPort, &value), cm3probe::WireStatus::Ok);
    EXPECT_EQ(value, 0x2BA01477u);
    ASSERT_EQ(Usb().writes().size(), 1u);
    EXPECT_EQ(Usb().writes()[0],
              (Bytes{0x1B, 0x07, 0xA5, 0x80, 0x00, 0xC9, 0x2E, 0x02, 0x2C, 0x03, 0x00, 0x2E, 0x02, 0x80, 0x08, 0xCB}));
    ASSERT_EQ(Usb().callsOf(UsbOp::Read).size(), 1u);
    EXPECT_EQ(Usb().callsOf(UsbOp::Read)[0].argument, 6u);
}

struct ResponseCase {
    const char* name;
    uint8_t byte0;
    uint8_t byte5;
    cm3probe::WireStatus expectedStatus;
    uint32_t expectedValue;
};

TEST_F(SwdTransferTest, ResponsesDecodeByTheirAcknowledge) {
    const ResponseCase cases[] = {
        {"OK", 0x20, 0x00, cm3probe::WireStatus::Ok, 0x12345678},
        {"OK with noise in the low bits", 0x3F, 0x00, cm3probe::WireStatus::Ok, 0x12345678},
        {"OK with a corrupted parity bit", 0x20, 0x20, cm3probe::WireStatus::Ok, 0x12345678},
        {"WAIT", 0x40, 0x00, cm3probe::WireStatus::Wait, 0},
        {"FAULT", 0x80, 0x00, cm3probe::WireStatus::Fault, 0},
        {"line high, nobody answered", 0xE0, 0x00, cm3probe::WireStatus::NoAnswer, 0},
        // All-zero acknowledge is no answer either; it must never read as success.
        {"line low", 0x00, 0x00, cm3probe::WireStatus::ProtocolError, 0},
    };
    for (const ResponseCase& c : cases) {
        ResetUsb();
        Usb().queueResponse(c.byte0, 0x12345678, c.byte5);
        uint32_t value = 0xDEADBEEF;
        EXPECT_EQ(cm3probe::SwdReadTransfer(nullptr, 0xC, kAccessPort, &value), c.expectedStatus) << c.name;
        EXPECT_EQ(value, c.expectedValue) << c.name;
    }
}

TEST_F(SwdTransferTest, ShortResponseIsNeverDecodedFromStaleBytes) {
    // A previous good response leaves its bytes in any buffer the driver reuses.
    Usb().queueResponse(0x20, 0xCAFEF00D);
    uint32_t value = 0;
    ASSERT_EQ(cm3probe::SwdReadTransfer(nullptr, 0xC, kAccessPort, &value), cm3probe::WireStatus::Ok);
    Usb().replies = {0x20, 0x11};
    value = 0xDEADBEEF;
    EXPECT_EQ(cm3probe::SwdReadTransfer(nullptr, 0xC, kAccessPort, &value), cm3probe::WireStatus::UsbFailure);
    EXPECT_EQ(value, 0u);
    // Whatever of the short answer sits in the chip is purged with it.
    ASSERT_EQ(Usb().callsOf(UsbOp::Purge).size(), 1u);
    EXPECT_EQ(Usb().callsOf(UsbOp::Purge)[0].argument, cm3probe::adapter::purge::kReceive);
}

TEST_F(SwdTransferTest, FailedExchangeLeavesTheValueUnwritten) {
    for (UsbOp op : {UsbOp::Write, UsbOp::Read}) {
        ResetUsb();
        cm3probe::g_connection.linkDown = 0;
        Usb().failures.push_back({op, 3});
        Usb().queueResponse(0x20, 1);
        uint32_t value = 0xDEADBEEF;
        EXPECT_EQ(cm3probe::SwdReadTransfer(nullptr, 0x4, kDebugPort, &value), cm3probe::WireStatus::UsbFailure);
        EXPECT_EQ(value, 0xDEADBEEFu);
        // A read that failed may have left the answer in the chip: it is
        // dropped, never handed to the next read.
        std::vector<UsbCall> purges = Usb().callsOf(UsbOp::Purge);
        if (op == UsbOp::Read) {
            ASSERT_EQ(purges.size(), 1u);
            EXPECT_EQ(purges[0].argument, cm3probe::adapter::purge::kReceive);
        } else {
            EXPECT_TRUE(purges.empty());
        }
        // Half a command may sit in the chip: nothing more goes out until the link is recovered.
        EXPECT_EQ(cm3probe::g_connection.linkDown, 1u);
        EXPECT_EQ(cm3probe::SwdWriteTransfer(nullptr, 0x8, kDebugPort, 0), cm3probe::WireStatus::UsbFailure);
    }
}

TEST(SwdClockDivisor, SixMegahertzOverOnePlusDivisor) {
    const struct {
        uint32_t clockHz;
        uint32_t divisor;
    } cases[] = {{6000000, 0}, {4000000, 0}, {3000000, 1}, {1000000, 5}, {100000, 59}, {92, 65216},
                 // 65933 does not fit 16 bits: the slowest clock, never the wrapped 0x018D.
                 {91, 0xFFFF}};
    for (const auto& c : cases) EXPECT_EQ(cm3probe::SwdClockDivisor(c.clockHz), c.divisor) << c.clockHz;
}

TEST_F(SwdTransferTest, ResetPulseDrivesGpioL1LowForTenMilliseconds) {
    EXPECT_EQ(cm3probe::SwdPulseReset(nullptr), cm3probe::WireStatus::Ok);
    EXPECT_EQ(Usb().writes(), (std::vector<Bytes>{{0x80, 0x08, 0xEB}, {0x80, 0x08, 0xCB}}));
    EXPECT_EQ(Sleeps(), std::vector<uint32_t>{10});
}

TEST_F(SwdTransferTest, ResetPulseReportsTheReleaseWrite) {
    Usb().failures.push_back({UsbOp::Write, 6, false, 1});
    EXPECT_EQ(cm3probe::SwdPulseReset(nullptr), cm3probe::WireStatus::UsbFailure);
}

}  // namespace
}  // namespace cm3test
