// The exact traffic of single memory accesses on every path, on the scripted
// fakes: which transactions, in which order, with which values.
#include <gtest/gtest.h>

#include <vector>

#include "dap/port.h"
#include "cm3probe.h"
#include "dap/dp_registers.h"
#include "expected_traffic.h"
#include "fixture.h"
#include "transport/jtag_scan.h"
#include "transport/swd_protocol.h"

namespace cm3test {
namespace {

using cm3probe::g_connection;
using cm3probe::swd::kAccessPort;
using cm3probe::swd::kDebugPort;






class SingleTrafficTest : public FakeBackendTest {
protected:
    void Initialised(bool swd, bool batched) {
        g_connection.initialised = 1;
        cm3probe::dap::UseTransport(swd ? 1 : 0);
        g_connection.batchedMode = batched ? 1 : 0;
        g_connection.usbHandle = swd ? reinterpret_cast<void*>(0x100) : nullptr;
        g_connection.jtagHandle = swd ? nullptr : reinterpret_cast<void*>(0x200);
        if (swd) {
            ASSERT_TRUE(cm3probe::BatchAllocate());
        }
    }
};

TEST_F(SingleTrafficTest, SwdBatchedWriteIsFiveTransactionsInOneExchange) {
    Initialised(true, true);
    Usb().queueResponse(0x20, 0xF0000041);
    EXPECT_EQ(DebugWriteMem(0x20000001, 0xAB, 0), DBG_OK);
    ASSERT_EQ(Usb().writes().size(), 1u);
    EXPECT_EQ(Usb().writes()[0], Cat({SwdWrite(0x8, kDebugPort, 0), SwdWrite(0x4, kAccessPort, 0x20000001),
                                      SwdWrite(0x0, kAccessPort, 0x23000000), SwdWrite(0xC, kAccessPort, 0x0000AB00),
                                      SwdRead(0x4, kDebugPort)}));
    ASSERT_EQ(Usb().callsOf(UsbOp::Read).size(), 1u);
    EXPECT_EQ(Usb().callsOf(UsbOp::Read)[0].argument, 6u);
}

TEST_F(SingleTrafficTest, SwdBatchedWriteReportsAStickyErrorAndClearsIt) {
    Initialised(true, true);
    Usb().queueResponse(0x20, 0xF0000021);
    EXPECT_EQ(DebugWriteMem(0x20000000, 1, 2), DBG_STICKY_ERROR);
    EXPECT_EQ(Usb().writes().back(), SwdWrite(0x0, kDebugPort, 0x4));
}

TEST_F(SingleTrafficTest, SwdBatchedWriteWithARefusedCheckIsAnError) {
    Initialised(true, true);
    Usb().queueResponse(0x40, 0);  // WAIT on the CTRL/STAT read
    EXPECT_EQ(DebugWriteMem(0x20000000, 1, 2), DBG_ERROR);
}

TEST_F(SingleTrafficTest, SwdDirectLanesAndTransactions) {
    const struct {
        const char* name;
        uint32_t address;
        uint32_t value;
        uint32_t size;
        uint32_t csw;
        uint32_t drw;
    } cases[] = {
        {"byte at 1", 0x20000001, 0xAB, 0, 0x23000000, 0x0000AB00},
        {"halfword at 3 uses the upper lane", 0x20000003, 0x1234, 1, 0x23000001, 0x12340000},
        {"only the low byte", 0x20000000, 0x12345678, 0, 0x23000000, 0x00000078},
        {"word unshifted", 0x20000002, 0xAABBCCDD, 2, 0x23000002, 0xAABBCCDD},
        {"size above a word", 0x20000000, 0xAABBCCDD, 9, 0x23000002, 0xAABBCCDD},
    };
    for (const auto& c : cases) {
        SetUp();
        Initialised(true, false);
        Usb().queueResponse(0x20, 0xF0000041);
        EXPECT_EQ(DebugWriteMem(c.address, c.value, c.size), DBG_OK) << c.name;
        EXPECT_EQ(Usb().writes(), (std::vector<Bytes>{SwdWrite(0x8, kDebugPort, 0), SwdWrite(0x4, kAccessPort, c.address),
                                                      SwdWrite(0x0, kAccessPort, c.csw), SwdWrite(0xC, kAccessPort, c.drw),
                                                      SwdRead(0x4, kDebugPort)}))
            << c.name;
    }
}

TEST_F(SingleTrafficTest, SwdReadIsTwoPostedDrwReads) {
    const struct {
        uint32_t address;
        uint32_t size;
        uint32_t expected;
    } cases[] = {{0x20000003, 0, 0x11}, {0x20000002, 1, 0x1122}, {0x20000000, 2, 0x11223344}};
    for (bool batched : {false, true}) {
        for (const auto& c : cases) {
            SetUp();
            Initialised(true, batched);
            Usb().queueResponse(0x20, 0xDEAD0000);  // stale result of an earlier read
            Usb().queueResponse(0x20, 0x11223344);
            Usb().queueResponse(0x20, 0xF0000041);
            uint32_t value = 0;
            ASSERT_EQ(DebugReadMem(c.address, &value, c.size), DBG_OK);
            EXPECT_EQ(value, c.expected) << c.address;
            EXPECT_EQ(Usb().writes(),
                      (std::vector<Bytes>{SwdWrite(0x8, kDebugPort, 0), SwdWrite(0x4, kAccessPort, c.address),
                                          SwdWrite(0x0, kAccessPort, 0x23000000 | c.size), SwdRead(0xC, kAccessPort),
                                          SwdRead(0xC, kAccessPort), SwdRead(0x4, kDebugPort)}));
        }
    }
}

TEST_F(SingleTrafficTest, SwdReadWhoseDataNeverArrivedIsAnError) {
    const struct {
        const char* name;
        uint8_t first;
        uint8_t second;
        uint32_t ctrlStat;
        DebugResult expected;
    } cases[] = {
        {"second read WAIT, overrun sticky", 0x20, 0x40, 0xF0000003, DBG_STICKY_ERROR},
        {"second read FAULT, bus error", 0x20, 0x80, 0xF0000021, DBG_STICKY_ERROR},
        {"first read FAULT", 0x80, 0x80, 0xF0000021, DBG_STICKY_ERROR},
        {"refused without a sticky cause", 0x20, 0x40, 0xF0000001, DBG_ERROR},
    };
    for (const auto& c : cases) {
        SetUp();
        Initialised(true, false);
        Usb().queueResponse(c.first, 1);
        Usb().queueResponse(c.second, 2);
        Usb().queueResponse(0x20, c.ctrlStat);
        uint32_t value = 0xDEADBEEF;
        EXPECT_EQ(DebugReadMem(0x20000000, &value, 2), c.expected) << c.name;
        EXPECT_EQ(value, 0xDEADBEEFu) << c.name;
    }
}

std::vector<JtagCall> DapCalls() {
    std::vector<JtagCall> out;
    for (const JtagCall& call : Jtag().calls) out.push_back(call);
    return out;
}

TEST_F(SingleTrafficTest, JtagDirectWriteScans) {
    Initialised(false, false);
    Jtag().captures = {DapCapture(0), DapCapture(0), DapCapture(0), DapCapture(0), DapCapture(0), DapCapture(0xF0000040)};
    EXPECT_EQ(DebugWriteMem(0x20000001, 0xAB, 0), DBG_OK);
    std::vector<JtagCall> calls = DapCalls();
    using enum JtagOp;
    const std::vector<std::pair<JtagOp, Bytes>> expected = {
        {ScanWrite, {0x0A}},           {ScanWriteRead, DapScan(0, 0x8, 0)},
        {ScanWrite, {0x0B}},           {ScanWriteRead, DapScan(0x20000001, 0x4, 0)},
        {ScanWriteRead, DapScan(0x23000000, 0x0, 0)}, {ScanWriteRead, DapScan(0x0000AB00, 0xC, 0)},
        {ScanWrite, {0x0A}},           {ScanWriteRead, DapScan(0, 0x4, 1)},
        {ScanRead, {}},
    };
    ASSERT_EQ(calls.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(calls[i].op, expected[i].first) << i;
        EXPECT_EQ(calls[i].bytes, expected[i].second) << i;
    }
}

TEST_F(SingleTrafficTest, JtagBatchedWriteQueuesPreambleAndCheck) {
    Initialised(false, true);
    // Preamble: SELECT's capture; immediate TAR, CSW, DRW; the check's request and read.
    Jtag().captures = {DapCapture(0), DapCapture(0), DapCapture(0), DapCapture(0), DapCapture(0), DapCapture(0xF0000040)};
    EXPECT_EQ(DebugWriteMem(0x20000000, 5, 2), DBG_OK);
    using enum JtagOp;
    std::vector<JtagOp> ops;
    for (const JtagCall& call : Jtag().calls) ops.push_back(call.op);
    EXPECT_EQ(ops, (std::vector<JtagOp>{QueueWrite, QueueWriteRead, QueueWrite, Execute, ScanWriteRead, ScanWriteRead,
                                        ScanWriteRead, QueueWrite, QueueWriteRead, QueueRead, Execute}));
}

TEST_F(SingleTrafficTest, JtagBatchedWriteWithARefusedCheckRecoversWithADefinedValue) {
    Initialised(false, true);
    Jtag().captures = {DapCapture(0), DapCapture(0), DapCapture(0), DapCapture(0), DapCapture(0), DapCapture(0x12345678, 1)};
    EXPECT_EQ(DebugWriteMem(0x20000000, 5, 2), DBG_STICKY_ERROR);
    // The recovery writes the power-up requests and the write-one-to-clear
    // flags; the WAIT's stalled transaction is then ended: ABORT, DAPABORT.
    const std::vector<JtagCall>& calls = Jtag().calls;
    ASSERT_GE(calls.size(), 4u);
    EXPECT_EQ(calls[calls.size() - 3].bytes, DapScan(0x50000032, 0x4, 0));
    EXPECT_EQ(calls[calls.size() - 2].bytes, (std::vector<uint8_t>{cm3probe::jtag_ir::kAbort}));
    EXPECT_EQ(calls.back().bytes, DapScan(cm3probe::dp::abort::kDapAbort, 0x0, 0));
}

TEST_F(SingleTrafficTest, JtagRefusedTarStopsTheAccess) {
    Initialised(false, false);
    Jtag().captures = {DapCapture(0), DapCapture(0, 1), DapCapture(0), DapCapture(0xF0000040)};
    EXPECT_EQ(DebugWriteMem(0x20000000, 5, 2), DBG_ERROR);
    for (const JtagCall& call : Jtag().calls) {
        EXPECT_NE(call.bytes, DapScan(5, 0xC, 0)) << "the data went out after a refused TAR";
    }
}

TEST_F(SingleTrafficTest, JtagReadRefusedCaptureIsAnError) {
    Initialised(false, false);
    Jtag().captures = {DapCapture(0), DapCapture(0), DapCapture(0), DapCapture(0), DapCapture(0x1234, 1), DapCapture(0),
                       DapCapture(0xF0000040)};
    uint32_t value = 0xDEADBEEF;
    EXPECT_EQ(DebugReadMem(0x20000000, &value, 2), DBG_ERROR);
    EXPECT_EQ(value, 0xDEADBEEFu);
}

TEST_F(SingleTrafficTest, UninitialisedSendsNothing) {
    uint32_t value = 7;
    EXPECT_EQ(DebugWriteMem(0x20000000, 1, 2), DBG_NOT_INITIALISED);
    EXPECT_EQ(DebugReadMem(0x20000000, &value, 2), DBG_NOT_INITIALISED);
    EXPECT_EQ(DebugReadMem(0x20000000, nullptr, 2), DBG_NOT_INITIALISED);
    EXPECT_EQ(value, 7u);
    EXPECT_TRUE(Usb().calls.empty());
    EXPECT_TRUE(Jtag().calls.empty());
}

}  // namespace
}  // namespace cm3test
