// DP and AP register access on the scripted fakes: the exact transactions per
// transport, and the sticky check and its clearing.
#include <gtest/gtest.h>

#include <vector>

#include "dap/port.h"
#include "dap/ap_registers.h"
#include "dap/dap_access.h"
#include "dap/dp_registers.h"
#include "expected_traffic.h"
#include "fixture.h"
#include "transport/jtag_scan.h"
#include "transport/swd_protocol.h"

namespace cm3test {
namespace {

using cm3probe::g_connection;





class SwdDapTest : public FakeBackendTest {
protected:
    void SetUp() override {
        FakeBackendTest::SetUp();
        cm3probe::dap::UseTransport(1);
    }
};

TEST_F(SwdDapTest, ApReadSelectsTheBankAndReadsTwiceForThePostedResult) {
    Usb().queueResponse(0x20, 0x11111111);
    Usb().queueResponse(0x20, 0x24770011);
    uint32_t value = 0;
    EXPECT_EQ(cm3probe::ReadApRegister(cm3probe::ap::kIdr, &value), cm3probe::WireStatus::Ok);
    EXPECT_EQ(value, 0x24770011u);
    EXPECT_EQ(Usb().writes(), (std::vector<Bytes>{SwdWrite(0x8, 0, 0xF0), SwdRead(0xC, 2), SwdRead(0xC, 2)}));
}

TEST_F(SwdDapTest, ApWriteSelectsBankZeroThenWritesTar) {
    EXPECT_EQ(cm3probe::WriteApRegister(cm3probe::ap::kTar, 0x20000010), cm3probe::WireStatus::Ok);
    EXPECT_EQ(Usb().writes(), (std::vector<Bytes>{SwdWrite(0x8, 0, 0), SwdWrite(0x4, 2, 0x20000010)}));
}

TEST_F(SwdDapTest, FailedUsbWriteIsReported) {
    Usb().failures.push_back({UsbOp::Write, 3});
    EXPECT_EQ(cm3probe::WriteDpRegister(cm3probe::dp::kSelect, 0), cm3probe::WireStatus::UsbFailure);
}

TEST_F(SwdDapTest, RefusedReadIsReportedWithZero) {
    Usb().queueResponse(0x40, 0x12345678);  // WAIT
    uint32_t value = 0xDEADBEEF;
    EXPECT_EQ(cm3probe::ReadDpRegister(cm3probe::dp::kCtrlStat, &value), cm3probe::WireStatus::Wait);
    EXPECT_EQ(value, 0u);
}

TEST_F(SwdDapTest, NoAnswerBringsTheLinkBackBeforeAnythingElse) {
    Usb().queueResponse(0xE0, 0xFFFFFFFF);
    Usb().queueResponse(0x20, 0x2BA01477);  // the IDCODE read of the recovery
    uint32_t value = 0;
    EXPECT_EQ(cm3probe::ReadApRegister(cm3probe::ap::kCsw, &value), cm3probe::WireStatus::NoAnswer);
    std::vector<Bytes> writes = Usb().writes();
    ASSERT_EQ(writes.size(), 5u);
    EXPECT_EQ(writes[1], SwdRead(0x0, 2));
    EXPECT_EQ(writes[2], (Bytes{0x19, 0x06, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(writes[3], (Bytes{0x1B, 0x07, 0x00}));
    EXPECT_EQ(writes[4], SwdRead(0x0, 0));
}

TEST_F(SwdDapTest, StickyCheckClearsEveryStickyFlagThroughAbort) {
    const struct {
        const char* name;
        uint32_t ctrlStat;
        DebugResult result;
        std::vector<Bytes> writes;
    } cases[] = {
        {"READOK passes", 0xF0000040, DBG_OK, {}},
        {"STICKYERR", 0xF0000020, DBG_STICKY_ERROR, {SwdWrite(0x0, 0, 0x04)}},
        // An overrun follows a WAIT whose transaction may still stall the AP: DAPABORT too.
        {"STICKYORUN", 0xF0000003, DBG_STICKY_ERROR, {SwdWrite(0x0, 0, 0x11)}},
        {"WDATAERR", 0xF0000081, DBG_STICKY_ERROR, {SwdWrite(0x0, 0, 0x08)}},
        {"all three", 0xF00000A3, DBG_STICKY_ERROR, {SwdWrite(0x0, 0, 0x1D)}},
    };
    for (const auto& c : cases) {
        ResetUsb();
        EXPECT_EQ(cm3probe::CheckSticky(cm3probe::WireStatus::Ok, c.ctrlStat), c.result) << c.name;
        EXPECT_EQ(Usb().writes(), c.writes) << c.name;
    }
}

TEST_F(SwdDapTest, StickyCheckOnAReadThatFailedIsAnError) {
    EXPECT_EQ(cm3probe::CheckSticky(cm3probe::WireStatus::Fault, 0), DBG_ERROR);
    Usb().queueResponse(0x80, 0);  // FAULT on the CTRL/STAT read itself
    EXPECT_EQ(cm3probe::ReadAndCheckSticky(), DBG_ERROR);
}

class JtagDapTest : public FakeBackendTest {};

std::vector<JtagCall> Scans() {
    std::vector<JtagCall> out;
    for (const JtagCall& call : Jtag().calls) {
        if (call.op == JtagOp::ScanWrite || call.op == JtagOp::ScanRead || call.op == JtagOp::ScanWriteRead) {
            out.push_back(call);
        }
    }
    return out;
}

TEST_F(JtagDapTest, ApReadSelectsThroughDpaccThenRequestsThroughApacc) {
    Jtag().captures = {DapCapture(0), DapCapture(0), DapCapture(0xE00FF003)};
    uint32_t value = 0;
    EXPECT_EQ(cm3probe::ReadApRegister(cm3probe::ap::kBase, &value), cm3probe::WireStatus::Ok);
    EXPECT_EQ(value, 0xE00FF003u);
    std::vector<JtagCall> scans = Scans();
    ASSERT_EQ(scans.size(), 5u);
    EXPECT_EQ(scans[0].bytes, Bytes{0x0A});
    EXPECT_EQ(scans[1].bytes, DapScan(0xF0, 0x8, 0));
    EXPECT_EQ(scans[2].bytes, Bytes{0x0B});
    EXPECT_EQ(scans[3].bytes, DapScan(0, 0x8, 1));  // A[3:2] = 2
    EXPECT_EQ(scans[4].op, JtagOp::ScanRead);
    EXPECT_EQ(scans[4].bits, 35u);
    // Requests capture their own acknowledge; instructions do not.
    EXPECT_EQ(scans[0].op, JtagOp::ScanWrite);
    EXPECT_EQ(scans[1].op, JtagOp::ScanWriteRead);
    EXPECT_EQ(scans[3].op, JtagOp::ScanWriteRead);
}

TEST_F(JtagDapTest, RefusedRequestsAreReportedAndGoNoFurther) {
    const struct {
        const char* name;
        std::vector<Bytes> captures;
        size_t scans;
    } cases[] = {
        {"SELECT refused", {DapCapture(0, 1)}, 2},
        {"read request refused", {DapCapture(0), DapCapture(0, 1)}, 4},
        {"read-only scan refused", {DapCapture(0), DapCapture(0), DapCapture(7, 1)}, 5},
    };
    for (const auto& c : cases) {
        ResetJtag();
        Jtag().captures = {c.captures.begin(), c.captures.end()};
        uint32_t value = 0xDEADBEEF;
        EXPECT_EQ(cm3probe::ReadApRegister(cm3probe::ap::kIdr, &value), cm3probe::WireStatus::Wait) << c.name;
        EXPECT_EQ(value, 0xDEADBEEFu) << c.name;
        EXPECT_EQ(Scans().size(), c.scans) << c.name;
    }
    ResetJtag();
    Jtag().captures = {DapCapture(0), DapCapture(0, 1)};
    EXPECT_EQ(cm3probe::WriteApRegister(cm3probe::ap::kTar, 0x20000000), cm3probe::WireStatus::Wait);
}

TEST_F(JtagDapTest, WaitCaptureLeavesTheValueUntouchedAndIsReported) {
    Jtag().captures = {DapCapture(0), DapCapture(0x12345678, 1)};
    uint32_t value = 0xDEADBEEF;
    EXPECT_EQ(cm3probe::ReadDpRegister(cm3probe::dp::kCtrlStat, &value), cm3probe::WireStatus::Wait);
    EXPECT_EQ(value, 0xDEADBEEFu);
}

TEST_F(JtagDapTest, StickyCheckWritesCtrlStatBack) {
    EXPECT_EQ(cm3probe::CheckSticky(cm3probe::WireStatus::Ok, 0xF0000020), DBG_STICKY_ERROR);
    std::vector<JtagCall> scans = Scans();
    ASSERT_EQ(scans.size(), 2u);
    EXPECT_EQ(scans[0].bytes, Bytes{0x0A});
    EXPECT_EQ(scans[1].bytes, DapScan(0xF0000020, 0x4, 0));
    Jtag().calls.clear();
    EXPECT_EQ(cm3probe::CheckSticky(cm3probe::WireStatus::Ok, 0xF0000040), DBG_OK);
    EXPECT_TRUE(Jtag().calls.empty());
}

}  // namespace
}  // namespace cm3test
