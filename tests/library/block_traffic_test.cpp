// The exact traffic of block transfers on the scripted fakes: the word
// stream, the page change, the flush rules and the collection of results.
#include <gtest/gtest.h>

#include <vector>

#include "dap/port.h"
#include "cm3probe.h"
#include "expected_traffic.h"
#include "fixture.h"
#include "transport/swd_protocol.h"

namespace cm3test {
namespace {

using cm3probe::g_connection;
using cm3probe::swd::kAccessPort;
using cm3probe::swd::kDebugPort;



void Append(std::vector<Bytes>& to, std::initializer_list<Bytes> parts) { to.insert(to.end(), parts); }

class BlockTrafficTest : public FakeBackendTest {
protected:
    void SwdInitialised(bool batched) {
        g_connection.initialised = 1;
        cm3probe::dap::UseTransport(1);
        g_connection.batchedMode = batched ? 1 : 0;
        g_connection.usbHandle = reinterpret_cast<void*>(0x100);
        ASSERT_TRUE(cm3probe::BatchAllocate());
    }
};

// SELECT, TAR, CSW as the word pass's set-up writes them.
void SetUpWrites(std::vector<Bytes>& out, uint32_t address) {
    Append(out, {SwdWrite(0x8, kDebugPort, 0), SwdWrite(0x8, kDebugPort, 0), SwdWrite(0x4, kAccessPort, address), SwdWrite(0x8, kDebugPort, 0),
                 SwdWrite(0x0, kAccessPort, 0x23000012)});
}

TEST_F(BlockTrafficTest, SeventeenByteReadIsOneWordPassThenOneByte) {
    SwdInitialised(false);
    Usb().queueResponse(0x20, 0xDEAD);  // priming read: stale
    for (uint32_t i = 0; i < 4; ++i) Usb().queueResponse(0x20, 0x11111111 * (i + 1));
    Usb().queueResponse(0x20, 0xF0000041);  // CTRL/STAT after the words
    Usb().queueResponse(0x20, 0xDEAD);      // the byte read: posted pair
    Usb().queueResponse(0x20, 0xAABBCCDD);
    Usb().queueResponse(0x20, 0xF0000041);
    Bytes buffer(17);
    ASSERT_EQ(DebugReadBlock(0x20000000, buffer.data(), 17), DBG_OK);
    std::vector<Bytes> expected;
    SetUpWrites(expected, 0x20000000);
    for (int i = 0; i < 5; ++i) expected.push_back(SwdRead(0xC, kAccessPort));  // prime, three, final
    expected.push_back(SwdRead(0x4, kDebugPort));
    Append(expected, {SwdWrite(0x8, kDebugPort, 0), SwdWrite(0x4, kAccessPort, 0x20000010), SwdWrite(0x0, kAccessPort, 0x23000000),
                      SwdRead(0xC, kAccessPort), SwdRead(0xC, kAccessPort), SwdRead(0x4, kDebugPort)});
    EXPECT_EQ(Usb().writes(), expected);
    EXPECT_EQ(buffer, (Bytes{0x11, 0x11, 0x11, 0x11, 0x22, 0x22, 0x22, 0x22, 0x33, 0x33, 0x33, 0x33, 0x44, 0x44,
                             0x44, 0x44, 0xDD}));
}

TEST_F(BlockTrafficTest, SixteenBytesOrFewerAreReadByteByByte) {
    SwdInitialised(false);
    for (int i = 0; i < 16; ++i) {
        Usb().queueResponse(0x20, 0);
        Usb().queueResponse(0x20, 0x01010101u * i);
        Usb().queueResponse(0x20, 0xF0000041);
    }
    Bytes buffer(16);
    ASSERT_EQ(DebugReadBlock(0x20000000, buffer.data(), 16), DBG_OK);
    EXPECT_EQ(Usb().writes().size(), 16u * 6);
}

TEST_F(BlockTrafficTest, BatchedPageCrossingSkipsTheExtraReadsResult) {
    SwdInitialised(true);
    Usb().queueResponse(0x20, 0xDEAD);  // priming read, immediate
    // Collected: loop reads 0-3, the extra read after the page change (its
    // result is the wrapped address's word), loop reads 4-6.
    const uint32_t results[] = {0x10, 0x11, 0x12, 0x13, 0xBAD, 0x14, 0x15, 0x16};
    for (uint32_t r : results) Usb().queueResponse(0x20, r);
    Usb().queueResponse(0x20, 0x17);  // final read, immediate
    Usb().queueResponse(0x20, 0xF0000041);
    Bytes buffer(32);
    ASSERT_EQ(DebugReadBlock(0x20000FF0, buffer.data(), 32), DBG_OK);
    std::vector<Bytes> writes = Usb().writes();
    ASSERT_EQ(writes.size(), 5u + 1 + 1 + 1 + 1);  // set-up, prime, batch, final, CTRL/STAT
    Bytes batch;
    for (int i = 0; i < 4; ++i) {
        Bytes r = SwdRead(0xC, kAccessPort);
        batch.insert(batch.end(), r.begin(), r.end());
    }
    for (const Bytes& b : {SwdWrite(0x4, kAccessPort, 0x20001000), SwdWrite(0x0, kAccessPort, 0x23000012), SwdRead(0xC, kAccessPort),
                           SwdRead(0xC, kAccessPort), SwdRead(0xC, kAccessPort), SwdRead(0xC, kAccessPort)}) {
        batch.insert(batch.end(), b.begin(), b.end());
    }
    EXPECT_EQ(writes[6], batch);
    for (uint32_t i = 0; i < 8; ++i) {
        EXPECT_EQ(buffer[4 * i], 0x10 + i) << i;
    }
}

TEST_F(BlockTrafficTest, BatchedWriteFlushesOnceAfterTheLoopWithoutFinalBytes) {
    SwdInitialised(true);
    Usb().queueResponse(0x20, 0xF0000041);
    Bytes data(16, 0x5A);
    ASSERT_EQ(DebugWriteBlock(0x20000000, data.data(), 16), DBG_OK);
    std::vector<Bytes> writes = Usb().writes();
    std::vector<Bytes> expected;
    SetUpWrites(expected, 0x20000000);
    Bytes batch;
    for (int i = 0; i < 4; ++i) {
        Bytes w = SwdWrite(0xC, kAccessPort, 0x5A5A5A5A);
        batch.insert(batch.end(), w.begin(), w.end());
    }
    expected.push_back(batch);
    expected.push_back(SwdRead(0x4, kDebugPort));
    EXPECT_EQ(writes, expected);
}

TEST_F(BlockTrafficTest, BatchedWriteFlushesBeforeTheFinalBytes) {
    SwdInitialised(true);
    Usb().queueResponse(0x20, 0xF0000041);  // the stream's own check
    Usb().queueResponse(0x20, 0xF0000041);  // the final byte's batched write
    Usb().queueResponse(0x20, 0xF0000041);  // the closing check
    Bytes data = {1, 2, 3, 4, 5};
    ASSERT_EQ(DebugWriteBlock(0x20000000, data.data(), 5), DBG_OK);
    std::vector<Bytes> writes = Usb().writes();
    ASSERT_EQ(writes.size(), 5u + 1 + 1 + 1 + 1);
    EXPECT_EQ(writes[5], SwdWrite(0xC, kAccessPort, 0x04030201));  // the words go out first
    EXPECT_EQ(writes[6], SwdRead(0x4, kDebugPort));
    Bytes finalByte;
    for (const Bytes& b : {SwdWrite(0x8, kDebugPort, 0), SwdWrite(0x4, kAccessPort, 0x20000004), SwdWrite(0x0, kAccessPort, 0x23000000),
                           SwdWrite(0xC, kAccessPort, 0x05), SwdRead(0x4, kDebugPort)}) {
        finalByte.insert(finalByte.end(), b.begin(), b.end());
    }
    EXPECT_EQ(writes[7], finalByte);
}

TEST_F(BlockTrafficTest, PageChangeRewritesTarAndCsw) {
    SwdInitialised(false);
    Usb().queueResponse(0x20, 0xF0000041);
    Bytes data(16, 0x77);
    ASSERT_EQ(DebugWriteBlock(0x20000FF8, data.data(), 16), DBG_OK);
    std::vector<Bytes> writes = Usb().writes();
    std::vector<Bytes> expected;
    SetUpWrites(expected, 0x20000FF8);
    Append(expected, {SwdWrite(0xC, kAccessPort, 0x77777777), SwdWrite(0xC, kAccessPort, 0x77777777), SwdWrite(0x8, kDebugPort, 0),
                      SwdWrite(0x4, kAccessPort, 0x20001000), SwdWrite(0x8, kDebugPort, 0), SwdWrite(0x0, kAccessPort, 0x23000012),
                      SwdWrite(0xC, kAccessPort, 0x77777777), SwdWrite(0xC, kAccessPort, 0x77777777), SwdRead(0x4, kDebugPort)});
    EXPECT_EQ(writes, expected);
}

TEST_F(BlockTrafficTest, RefusalsBeforeAnyTraffic) {
    uint8_t buffer[8] = {};
    EXPECT_EQ(DebugReadBlock(0x20000000, buffer, 5000), DBG_NOT_INITIALISED);
    SwdInitialised(false);
    EXPECT_EQ(DebugReadBlock(0x20000000, buffer, 4097), DBG_BAD_PARAMETER);
    EXPECT_EQ(DebugWriteBlock(0x20000000, buffer, 4097), DBG_BAD_PARAMETER);
    EXPECT_TRUE(Usb().calls.empty());
    EXPECT_EQ(DebugReadBlock(0x20000000, buffer, 0), DBG_OK);
    EXPECT_TRUE(Usb().calls.empty());
}

}  // namespace
}  // namespace cm3test
