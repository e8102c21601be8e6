#include "adapter/ftdi_receive_queue.h"

#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <string>
#include <vector>

namespace cm3probe::adapter::ftdi {
namespace {

using Bytes = std::vector<uint8_t>;

// Modem and line status as an idle chip reports them.
constexpr uint8_t kModemStatus = 0x32;
constexpr uint8_t kLineStatus = 0x60;

// One transfer as the chip sends it: each payload becomes one packet.
Bytes Transfer(const std::vector<Bytes>& payloads) {
    Bytes raw;
    for (const Bytes& payload : payloads) {
        raw.push_back(kModemStatus);
        raw.push_back(kLineStatus);
        raw.insert(raw.end(), payload.begin(), payload.end());
    }
    return raw;
}

Bytes Counting(size_t count, uint8_t first) {
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + i);
    return bytes;
}

Bytes Join(const Bytes& a, const Bytes& b) {
    Bytes joined = a;
    joined.insert(joined.end(), b.begin(), b.end());
    return joined;
}

Bytes Drain(ReceiveQueue& queue) {
    Bytes out(queue.Size());
    out.resize(queue.Pop(out.data(), out.size()));
    return out;
}

struct PayloadCase {
    std::string name;
    size_t packetSize;
    Bytes raw;
    Bytes payload;
};

class PushPayloadTest : public ::testing::TestWithParam<PayloadCase> {};

TEST_P(PushPayloadTest, KeepsOnlyTheDataOfEveryPacket) {
    const PayloadCase& c = GetParam();
    ReceiveQueue queue;
    PushPayload(queue, c.raw.data(), c.raw.size(), c.packetSize);
    EXPECT_EQ(Drain(queue), c.payload);
}

const Bytes kFull64 = Counting(62, 0);
const Bytes kFull512 = Counting(510, 0);
const Bytes kShort = {0xA1, 0xA2, 0xA3};

INSTANTIATE_TEST_SUITE_P(
    Transfers, PushPayloadTest,
    ::testing::Values(
        PayloadCase{"Empty", 64, {}, {}},
        PayloadCase{"StatusOnly", 64, Transfer({{}}), {}},
        PayloadCase{"ShortPacket", 64, Transfer({kShort}), kShort},
        PayloadCase{"FullThenShort", 64, Transfer({kFull64, kShort}), Join(kFull64, kShort)},
        PayloadCase{"TwoFull", 64, Transfer({kFull64, kFull64}), Join(kFull64, kFull64)},
        PayloadCase{"FullThenStatusOnly", 64, Transfer({kFull64, {}}), kFull64},
        PayloadCase{"TornStatus", 64, Join(Transfer({kFull64}), {kModemStatus}), kFull64},
        PayloadCase{"HighSpeedFullThenShort", 512, Transfer({kFull512, kShort}), Join(kFull512, kShort)},
        // A 64-byte split of high-speed traffic would keep status bytes as data.
        PayloadCase{"HighSpeedNotSplitAt64", 512, Transfer({Counting(100, 0)}), Counting(100, 0)},
        PayloadCase{"NoRoomForData", 2, Transfer({kShort}), {}},
        PayloadCase{"ZeroPacketSize", 0, Transfer({kShort}), {}}),
    [](const ::testing::TestParamInfo<PayloadCase>& info) { return info.param.name; });

TEST(ReceiveQueue, HandsOutBytesInArrivalOrderAcrossPushes) {
    ReceiveQueue queue;
    const Bytes first = {1, 2, 3, 4};
    const Bytes second = {5, 6};
    queue.Push(first.data(), first.size());
    queue.Push(second.data(), second.size());
    uint8_t out[3] = {};
    ASSERT_EQ(queue.Pop(out, 3), 3u);
    EXPECT_EQ(Bytes(out, out + 3), (Bytes{1, 2, 3}));
    EXPECT_EQ(queue.Size(), 3u);
    EXPECT_EQ(Drain(queue), (Bytes{4, 5, 6}));
}

TEST(ReceiveQueue, ShortPopGivesWhatThereIs) {
    ReceiveQueue queue;
    const Bytes bytes = {9, 8};
    queue.Push(bytes.data(), bytes.size());
    uint8_t out[6] = {0, 0, 0, 0, 0, 0x77};
    EXPECT_EQ(queue.Pop(out, 6), 2u);
    EXPECT_EQ(out[0], 9);
    EXPECT_EQ(out[1], 8);
    EXPECT_EQ(out[5], 0x77);
    EXPECT_EQ(queue.Pop(out, 6), 0u);
    EXPECT_EQ(queue.Pop(nullptr, 0), 0u);

    queue.Push(bytes.data(), bytes.size());
    queue.Clear();
    EXPECT_EQ(queue.Pop(out, 6), 0u);
}

// A 64 KB batch holding a thousand reads: every 6-byte reply comes back whole
// and in order, whatever way the packets cut it.
TEST(ReceiveQueue, ThousandRepliesSplitAcrossPacketsStayInOrder) {
    constexpr size_t kReplies = 1000;
    constexpr size_t kReplyBytes = 6;
    constexpr size_t kPacket = 64;
    Bytes replies(kReplies * kReplyBytes);
    for (size_t i = 0; i < replies.size(); ++i) replies[i] = static_cast<uint8_t>(i * 7 + i / 256);

    ReceiveQueue queue;
    Bytes raw;
    for (size_t offset = 0; offset < replies.size(); offset += kPacket - kModemStatusBytes) {
        const size_t n = std::min(kPacket - kModemStatusBytes, replies.size() - offset);
        const Bytes packet = Transfer({Bytes(replies.begin() + offset, replies.begin() + offset + n)});
        raw.insert(raw.end(), packet.begin(), packet.end());
    }
    PushPayload(queue, raw.data(), raw.size(), kPacket);

    Bytes reply(kReplyBytes);
    for (size_t i = 0; i < kReplies; ++i) {
        ASSERT_EQ(queue.Pop(reply.data(), kReplyBytes), kReplyBytes);
        ASSERT_TRUE(std::equal(reply.begin(), reply.end(), replies.begin() + i * kReplyBytes)) << "reply " << i;
    }
    EXPECT_EQ(queue.Size(), 0u);
}

// Pushes and pops of every size, so the oldest byte wraps round the ring and
// the ring grows while its contents wrap: the order never changes.
TEST(ReceiveQueue, WrapsAndGrowsWithoutReordering) {
    ReceiveQueue queue;
    std::deque<uint8_t> model;
    std::mt19937 random(20261208);
    uint8_t next = 0;
    Bytes chunk;
    Bytes out;
    for (int round = 0; round < 2000; ++round) {
        // Pushes outgrow pops over time, so the ring grows several times.
        const size_t push = random() % (round < 1000 ? 700 : 3000);
        chunk.resize(push);
        for (uint8_t& byte : chunk) byte = next++;
        queue.Push(chunk.data(), chunk.size());
        model.insert(model.end(), chunk.begin(), chunk.end());
        const size_t pop = random() % 1000;
        out.assign(pop, 0);
        const size_t got = queue.Pop(out.data(), pop);
        ASSERT_EQ(got, std::min(pop, model.size())) << round;
        ASSERT_TRUE(std::equal(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(got), model.begin())) << round;
        model.erase(model.begin(), model.begin() + static_cast<std::ptrdiff_t>(got));
        ASSERT_EQ(queue.Size(), model.size()) << round;
    }
    EXPECT_EQ(Drain(queue), Bytes(model.begin(), model.end()));
}

}  // namespace
}  // namespace cm3probe::adapter::ftdi
