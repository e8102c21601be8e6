// The SWD batch: capacity, exact buffers, one write and one read per flush,
// and decoding that never runs past what arrived.
#include <gtest/gtest.h>

#include <vector>

#include "dap/swd_port.h"
#include "dap/dap_access.h"
#include "fixture.h"
#include "transport/swd_batch.h"
#include "transport/swd_link.h"
#include "transport/swd_protocol.h"

namespace cm3test {
namespace {

using cm3probe::BatchFlush;
using cm3probe::BatchNextRead;
using cm3probe::BatchQueueRead;
using cm3probe::BatchQueueWrite;
using cm3probe::BatchReset;
using cm3probe::g_batch;
using cm3probe::swd::kAccessPort;
using cm3probe::swd::kDebugPort;

class SwdBatchTest : public FakeBackendTest {
protected:
    void SetUp() override {
        FakeBackendTest::SetUp();
        ASSERT_TRUE(cm3probe::BatchAllocate());
    }
    uint32_t CommandLength() const { return static_cast<uint32_t>(g_batch.commandCursor - g_batch.commandBuffer); }
};

TEST_F(SwdBatchTest, HoldsExactlyCapacityTransactions) {
    for (uint32_t i = 0; i < cm3probe::SWD_BATCH_CAPACITY - 1; ++i) ASSERT_TRUE(BatchQueueWrite(0xC, kAccessPort, i));
    EXPECT_TRUE(BatchQueueRead(0xC, kAccessPort));  // the 2978th
    uint8_t* commandBefore = g_batch.commandCursor;
    EXPECT_FALSE(BatchQueueWrite(0xC, kAccessPort, 0));
    EXPECT_FALSE(BatchQueueRead(0xC, kAccessPort));
    EXPECT_EQ(g_batch.commandCursor, commandBefore);
    EXPECT_EQ(cm3probe::BatchQueuedCount(), cm3probe::SWD_BATCH_CAPACITY);
}

TEST_F(SwdBatchTest, FullBatchOfWritesGoesOutInOneWrite) {
    for (uint32_t i = 0; i < cm3probe::SWD_BATCH_CAPACITY; ++i) ASSERT_TRUE(BatchQueueWrite(0xC, kAccessPort, i));
    EXPECT_EQ(CommandLength(), 65516u);
    EXPECT_EQ(BatchFlush(nullptr), cm3probe::WireStatus::Ok);
    ASSERT_EQ(Usb().writes().size(), 1u);
    EXPECT_EQ(Usb().writes()[0].size(), 65516u);
    ASSERT_EQ(Usb().callsOf(UsbOp::Read).size(), 1u);
    EXPECT_EQ(Usb().callsOf(UsbOp::Read)[0].argument, 0u);
}

TEST_F(SwdBatchTest, StreamsAreTheSingleTransactionsBackToBack) {
    ASSERT_TRUE(BatchQueueWrite(0x8, kDebugPort, 0));
    ASSERT_TRUE(BatchQueueRead(0xC, kAccessPort));
    ASSERT_TRUE(BatchQueueWrite(0x4, kAccessPort, 0x20000000));
    ASSERT_TRUE(BatchQueueRead(0x4, kDebugPort));
    EXPECT_EQ(CommandLength(), 76u);
    std::vector<uint8_t> expected(76);
    size_t n = cm3probe::swd::BuildWriteStream(expected.data(), 0x8, kDebugPort, 0);
    n += cm3probe::swd::BuildReadStream(expected.data() + n, 0xC, kAccessPort);
    n += cm3probe::swd::BuildWriteStream(expected.data() + n, 0x4, kAccessPort, 0x20000000);
    n += cm3probe::swd::BuildReadStream(expected.data() + n, 0x4, kDebugPort);
    ASSERT_EQ(n, 76u);
    Usb().queueResponse(0x20, 1);
    Usb().queueResponse(0x20, 2);
    EXPECT_EQ(BatchFlush(nullptr), cm3probe::WireStatus::Ok);
    EXPECT_EQ(Usb().writes()[0], expected);
    EXPECT_EQ(Usb().callsOf(UsbOp::Read)[0].argument, 12u);
    EXPECT_EQ(g_batch.recordArray[2].value, 0x20000000u);
    EXPECT_EQ(g_batch.recordArray[3].isRead, 1u);
}

TEST_F(SwdBatchTest, EmptyBatchFlushesZeroBytesBothWays) {
    EXPECT_EQ(BatchFlush(nullptr), cm3probe::WireStatus::Ok);
    EXPECT_EQ(Usb().writes(), std::vector<std::vector<uint8_t>>{{}});
    EXPECT_EQ(Usb().callsOf(UsbOp::Read)[0].argument, 0u);
}

TEST_F(SwdBatchTest, ShortWriteReturnsOneWithoutReading) {
    for (uint32_t i = 0; i < cm3probe::SWD_BATCH_CAPACITY; ++i) ASSERT_TRUE(BatchQueueWrite(0xC, kAccessPort, i));
    Usb().failures.push_back({UsbOp::Write, 0, false, 0, 1});
    EXPECT_EQ(BatchFlush(nullptr), cm3probe::WireStatus::UsbFailure);
    EXPECT_TRUE(Usb().callsOf(UsbOp::Read).empty());
}

TEST_F(SwdBatchTest, DriverFailuresAndShortReadsAreReportedAndTakeTheLinkDown) {
    ASSERT_TRUE(BatchQueueRead(0x4, kDebugPort));
    auto flush = [] {
        cm3probe::g_connection.linkDown = 0;
        EXPECT_EQ(BatchFlush(nullptr), cm3probe::WireStatus::UsbFailure);
        // Replies left in the chip: nothing more is sent until the link is recovered.
        EXPECT_EQ(cm3probe::g_connection.linkDown, 1u);
        const size_t writes = Usb().writes().size();
        EXPECT_EQ(BatchFlush(nullptr), cm3probe::WireStatus::UsbFailure);
        EXPECT_EQ(Usb().writes().size(), writes);
    };
    Usb().failures.push_back({UsbOp::Write, 5});
    flush();
    Usb().failures.push_back({UsbOp::Read, 6});
    flush();
    Usb().replies = {0x20, 1, 2};
    flush();
}

TEST_F(SwdBatchTest, ResponsesDecodeInOrderAndEachOnce) {
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(BatchQueueRead(0xC, kAccessPort));
    Usb().queueResponse(0x20, 0x11111111);
    Usb().queueResponse(0x80, 0x22222222);
    Usb().queueResponse(0x20, 0x33333333);
    ASSERT_EQ(BatchFlush(nullptr), cm3probe::WireStatus::Ok);
    uint32_t value = 0xDEADBEEF;
    EXPECT_EQ(BatchNextRead(&value), cm3probe::WireStatus::Ok);
    EXPECT_EQ(value, 0x11111111u);
    EXPECT_EQ(BatchNextRead(&value), cm3probe::WireStatus::Fault);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(BatchNextRead(&value), cm3probe::WireStatus::Ok);
    EXPECT_EQ(value, 0x33333333u);
    // Past the delivered responses nothing is decoded.
    value = 0xDEADBEEF;
    EXPECT_EQ(BatchNextRead(&value), cm3probe::WireStatus::NoAnswer);
    EXPECT_EQ(value, 0u);
}

TEST_F(SwdBatchTest, NoAnswerDecodesAsSevenAndNoAcknowledgeAsASingleReadDoes) {
    ASSERT_TRUE(BatchQueueRead(0xC, kAccessPort));
    ASSERT_TRUE(BatchQueueRead(0xC, kAccessPort));
    Usb().queueResponse(0xE0, 0xFFFFFFFF);
    Usb().queueResponse(0x00, 0);
    ASSERT_EQ(BatchFlush(nullptr), cm3probe::WireStatus::Ok);
    uint32_t value = 1;
    EXPECT_EQ(BatchNextRead(&value), cm3probe::WireStatus::NoAnswer);
    EXPECT_EQ(value, 0u);
    // 000 must bring the port back as after a single read, not pass for 0.
    EXPECT_EQ(BatchNextRead(&value), cm3probe::WireStatus::ProtocolError);
    EXPECT_TRUE(cm3probe::dap::SwdLostFraming(cm3probe::WireStatus::ProtocolError));
}

TEST_F(SwdBatchTest, FailedFlushNeverDecodesStaleResponsesAsOk) {
    ASSERT_TRUE(BatchQueueRead(0xC, kAccessPort));
    Usb().queueResponse(0x20, 0xCAFEF00D);
    ASSERT_EQ(BatchFlush(nullptr), cm3probe::WireStatus::Ok);  // leaves a good response in the buffer
    BatchReset();
    ASSERT_TRUE(BatchQueueRead(0xC, kAccessPort));
    Usb().replies = {0x20, 0x01};  // short
    EXPECT_EQ(BatchFlush(nullptr), cm3probe::WireStatus::UsbFailure);
    uint32_t value = 0xDEADBEEF;
    EXPECT_NE(BatchNextRead(&value), cm3probe::WireStatus::Ok);
    EXPECT_EQ(value, 0u);
}

}  // namespace
}  // namespace cm3test
