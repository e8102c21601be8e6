// The USB timing model on hand-made events: packets, frames, the chip's
// buffers, the three reasons a reply goes up. Times are the model's own
// arithmetic, worked out here from the bus constants.
#include <gtest/gtest.h>

#include "usb/usb_timing.h"

namespace cm3sim {
namespace {

constexpr uint64_t kUs = picoseconds::kPerNs * 1000;
constexpr uint64_t kMs = picoseconds::kPerMs;
constexpr uint8_t kLatencyMs = 2;

struct BusCase {
    const char* name;
    const UsbBus* bus;
    uint32_t packetsPerFrame;
};

class EachBus : public ::testing::TestWithParam<BusCase> {
protected:
    const UsbBus& bus() const { return *GetParam().bus; }
    // One write holding one command per entry of `ends` (cumulative byte
    // counts), each clocking `wireNs` and queueing `replies`.
    void Write(uint32_t count, std::initializer_list<uint32_t> ends, uint64_t wireNs = 0, uint32_t replies = 0,
               bool immediateAfter = false) {
        timing.beginWrite(bus(), kLatencyMs, count);
        for (uint32_t end : ends) timing.commandDone(end, wireNs, 0, replies, false);
        if (immediateAfter) timing.commandDone(count, 0, 0, 0, true);
        timing.endWrite();
    }
    UsbTiming timing;
};

INSTANTIATE_TEST_SUITE_P(Buses, EachBus,
                         ::testing::Values(BusCase{"FullSpeed", &kFullSpeedBus, full_speed::kPacketsPerFrame},
                                           BusCase{"HighSpeed", &kHighSpeedBus, high_speed::kPacketsPerFrame}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(UsbBuses, BulkRateMatchesTheChipsBus) {
    // 19 x 64 bytes per ms is the full-speed ceiling of about 1.2 MB/s.
    const double fullSpeed = full_speed::kMaxPacket * kFullSpeedBus.framePs /
                             static_cast<double>(kFullSpeedBus.packetPs(full_speed::kMaxPacket)) /
                             (kFullSpeedBus.framePs / 1e12);
    EXPECT_NEAR(fullSpeed, 1.216e6, 1e3);
    EXPECT_EQ(kFullSpeedBus.replyPayload(), 62u);
    EXPECT_EQ(kHighSpeedBus.replyPayload(), 510u);
    EXPECT_EQ(&BusOf(ChipType::Ft2232D), &kFullSpeedBus);
    EXPECT_EQ(&BusOf(ChipType::Ft2232H), &kHighSpeedBus);
}

TEST_P(EachBus, EachWriteStartsOnTheNextFrameBoundary) {
    Write(16, {16});
    EXPECT_EQ(timing.counters().modeledPs, bus().packetPs(16));
    Write(16, {16});
    EXPECT_EQ(timing.counters().modeledPs, bus().framePs + bus().packetPs(16));
    EXPECT_EQ(timing.counters().writes, 2u);
    EXPECT_EQ(timing.counters().bytesOut, 32u);
    EXPECT_EQ(timing.counters().packetsOut, 2u);
}

TEST_P(EachBus, AFrameCarriesItsBulkPacketsBackToBack) {
    const uint32_t packets = GetParam().packetsPerFrame;
    const uint32_t bytes = packets * bus().maxPacket;
    Write(bytes, {bytes});
    EXPECT_EQ(timing.counters().modeledPs, packets * bus().packetPs(bus().maxPacket));
    EXPECT_LE(timing.counters().modeledPs, bus().framePs);
    EXPECT_EQ(timing.counters().packetsOut, packets);
    EXPECT_DOUBLE_EQ(UsbByteBoundSeconds(bus(), timing.counters()), timing.counters().modeledSeconds());
}

TEST_P(EachBus, SendImmediatePushesRepliesUpAtOnce) {
    Write(3, {2}, 1000, 6, true);
    timing.read(bus(), kLatencyMs, 6, 6);
    const uint64_t engineDone = bus().packetPs(3) + 1 * kUs;
    EXPECT_EQ(timing.counters().modeledPs, engineDone + bus().packetPs(6 + kStatusBytesPerPacket));
    EXPECT_EQ(timing.counters().immediatePackets, 1u);
    EXPECT_EQ(timing.counters().latencyPackets, 0u);
    EXPECT_EQ(timing.counters().roundTrips, 1u);
    EXPECT_EQ(timing.counters().bytesIn, 6u);
}

TEST_P(EachBus, WithoutSendImmediateRepliesWaitForTheLatencyTimer) {
    for (uint8_t latency : {uint8_t{2}, uint8_t{16}}) {
        UsbTiming fresh;
        fresh.beginWrite(bus(), latency, 3);
        fresh.commandDone(3, 1000, 0, 6, false);
        fresh.endWrite();
        fresh.read(bus(), latency, 6, 6);
        EXPECT_EQ(fresh.counters().modeledPs, latency * kMs + bus().packetPs(6 + kStatusBytesPerPacket)) << +latency;
        EXPECT_EQ(fresh.counters().latencyPackets, 1u);
    }
}

TEST_P(EachBus, AFullPacketGoesAtOnceAndTheRestWaitsForTheTimer) {
    // The timer restarts with the full packet, so the last byte waits a whole period.
    const uint32_t replies = bus().replyPayload() + 1;
    Write(3, {3}, 1000, replies);
    timing.read(bus(), kLatencyMs, replies, replies);
    const uint64_t full = bus().packetPs(3) + 1 * kUs;
    EXPECT_EQ(timing.counters().modeledPs, full + kLatencyMs * kMs + bus().packetPs(1 + kStatusBytesPerPacket));
    EXPECT_EQ(timing.counters().packetsIn, 2u);
    EXPECT_EQ(timing.counters().latencyPackets, 1u);
}

TEST_P(EachBus, AStatusOnlyReadWaitsForTheNextTimerPeriod) {
    // Nothing was ever sent: the timer runs from zero, so the first period ends at 2 ms.
    timing.statusOnlyRead(bus(), kLatencyMs);
    const uint64_t status = bus().packetPs(kStatusBytesPerPacket);
    EXPECT_EQ(timing.counters().modeledPs, kLatencyMs * kMs + status);
    // Asked again at once, the chip waits a whole period after that packet.
    timing.statusOnlyRead(bus(), kLatencyMs);
    EXPECT_EQ(timing.counters().modeledPs, 2 * kLatencyMs * kMs + status);
    // A host that comes back late finds the timer's next period boundary,
    // counted from the last packet.
    timing.control(bus());
    timing.control(bus());
    const uint64_t asked = timing.counters().modeledPs;
    const uint64_t period = kLatencyMs * kMs;
    const uint64_t boundary = 2 * period + (asked - 2 * period + period - 1) / period * period;
    timing.statusOnlyRead(bus(), kLatencyMs);
    EXPECT_EQ(timing.counters().modeledPs, boundary + status);
    EXPECT_EQ(timing.counters().reads, 3u);
    EXPECT_EQ(timing.counters().roundTrips, 3u);
    EXPECT_EQ(timing.counters().latencyPackets, 3u);
    EXPECT_EQ(timing.counters().packetsIn, 3u);
    EXPECT_EQ(timing.counters().bytesIn, 0u);
}

TEST_P(EachBus, ControlRequestsTakeAFrame) {
    timing.control(bus());
    EXPECT_EQ(timing.counters().modeledPs, bus().framePs);
    Write(1, {1});
    EXPECT_EQ(timing.counters().modeledPs, bus().framePs + bus().packetPs(1));
    timing.control(bus());
    EXPECT_EQ(timing.counters().modeledPs, 3 * bus().framePs);
    EXPECT_EQ(timing.counters().controlRequests, 2u);
}

TEST(UsbTimingModel, AFullCommandBufferHoldsTheHostBack) {
    // 16 packets of one slow command each: the chip holds two, so the host's
    // last packet goes once the engine has run the fourteenth command.
    const UsbBus& bus = kFullSpeedBus;
    const uint64_t wire = 1 * kMs;
    const uint32_t packets = 16;
    UsbTiming timing;
    timing.beginWrite(bus, kLatencyMs, packets * bus.maxPacket);
    for (uint32_t i = 1; i <= packets; ++i) timing.commandDone(i * bus.maxPacket, wire / picoseconds::kPerNs, 0, 0, false);
    timing.endWrite();
    const uint64_t packet = bus.packetPs(bus.maxPacket);
    EXPECT_EQ(timing.counters().modeledPs, 2 * packet + (packets - bus.commandBufferPackets()) * wire);
    EXPECT_EQ(timing.counters().wirePs, packets * wire);
}

TEST(UsbTimingModel, RepliesBeyondTheChipsBufferGoUpInFullPacketsFirst) {
    // Full packets go back to back; the rest waits a timer period after the last of them.
    const UsbBus& bus = kFullSpeedBus;
    const uint32_t replies = bus.replyBufferBytes + 16;
    UsbTiming timing;
    timing.beginWrite(bus, kLatencyMs, 3);
    timing.commandDone(3, 1000, 0, replies, false);
    timing.endWrite();
    timing.read(bus, kLatencyMs, replies, replies);
    const uint64_t produced = bus.packetPs(3) + 1 * kUs;
    const uint64_t full = bus.packetPs(bus.maxPacket);
    const uint32_t fullPackets = replies / bus.replyPayload();
    const uint32_t rest = replies - fullPackets * bus.replyPayload();
    EXPECT_EQ(timing.counters().modeledPs,
              produced + (fullPackets - 1) * full + kLatencyMs * kMs + bus.packetPs(rest + kStatusBytesPerPacket));
    EXPECT_EQ(timing.counters().packetsIn, fullPackets + 1);
}

TEST(UsbTimingModel, RepliesProducedDuringAWriteShareTheBusWithIt) {
    // A full packet of replies made by the first command goes up between the
    // host's packets instead of after them.
    const UsbBus& bus = kFullSpeedBus;
    UsbTiming timing;
    const uint32_t count = 4 * bus.maxPacket;
    timing.beginWrite(bus, kLatencyMs, count);
    timing.commandDone(bus.maxPacket, 0, 0, bus.replyPayload(), false);
    timing.commandDone(count, 0, 0, 0, false);
    timing.endWrite();
    const uint64_t out = bus.packetPs(bus.maxPacket);
    const uint64_t in = bus.packetPs(bus.maxPacket);
    EXPECT_EQ(timing.counters().modeledPs, 4 * out + in);
    timing.read(bus, kLatencyMs, bus.replyPayload(), bus.replyPayload());
    // Already at the host: the read costs nothing more.
    EXPECT_EQ(timing.counters().modeledPs, 4 * out + in);
}

TEST(UsbTimingModel, AFollowingTargetLivesThroughTheEnginesIdleTime) {
    const UsbBus& bus = kFullSpeedBus;
    const uint64_t packet = bus.packetPs(3);
    UsbTiming timing;
    timing.beginWrite(bus, kLatencyMs, 3);
    EXPECT_EQ(timing.idleBefore(3), 0u) << "off by default";
    timing.commandDone(3, 1000, 0, 0, false);
    timing.endWrite();

    UsbTiming following;
    following.setTargetFollowsHost(true);
    following.beginWrite(bus, kLatencyMs, 3);
    // Idle until the packet is in, then the command runs for 1 us.
    EXPECT_EQ(following.idleBefore(3), packet);
    following.commandDone(3, 1000, 0, 0, false);
    following.endWrite();
    // The next write starts on the next frame: the target waits for it.
    following.beginWrite(bus, kLatencyMs, 3);
    EXPECT_EQ(following.idleBefore(3), bus.framePs - 1 * kUs);
    following.commandDone(3, 0, 0, 0, false);
    following.endWrite();
    EXPECT_EQ(following.counters().modeledPs, bus.framePs + packet);
}

TEST(UsbTimingModel, PurgedRepliesAreNeverWaitedFor) {
    UsbTiming timing;
    timing.beginWrite(kFullSpeedBus, kLatencyMs, 1);
    timing.commandDone(1, 0, 0, 6, false);
    timing.endWrite();
    EXPECT_EQ(timing.repliesHeld(), 6u);
    timing.purgeReplies();
    EXPECT_EQ(timing.repliesHeld(), 0u);
    const uint64_t before = timing.counters().modeledPs;
    timing.read(kFullSpeedBus, kLatencyMs, 6, 0);
    EXPECT_EQ(timing.counters().modeledPs, before);
    EXPECT_EQ(timing.counters().shortReads, 1u);
    EXPECT_EQ(timing.counters().packetsIn, 0u);
}

TEST(UsbTimingModel, CountersSubtractFieldByField) {
    UsbCounters a;
    a.writes = 5;
    a.bytesIn = 60;
    a.modeledPs = 9 * kMs;
    a.wireCycles = 100;
    UsbCounters b;
    b.writes = 2;
    b.bytesIn = 6;
    b.modeledPs = 4 * kMs;
    b.wireCycles = 40;
    const UsbCounters d = a - b;
    EXPECT_EQ(d.writes, 3u);
    EXPECT_EQ(d.bytesIn, 54u);
    EXPECT_EQ(d.wireCycles, 60u);
    EXPECT_DOUBLE_EQ(d.modeledSeconds(), 5e-3);
}

TEST(UsbTimingModel, ByteBoundCountsStatusBytesOnTheWayIn) {
    UsbCounters traffic;
    traffic.bytesOut = kFullSpeedBus.maxPacket;
    traffic.bytesIn = kFullSpeedBus.replyPayload();
    const double slot = kFullSpeedBus.packetPs(kFullSpeedBus.maxPacket) / 1e12;
    EXPECT_DOUBLE_EQ(UsbByteBoundSeconds(kFullSpeedBus, traffic), 2 * slot);
}

struct LengthCase {
    std::vector<uint8_t> bytes;
    ChipType chip;
    size_t length;
};

TEST(CommandLength, FollowsTheCommandSet) {
    const std::vector<LengthCase> cases = {
        {{0x19, 0x03, 0x00}, ChipType::Ft2232D, 7},      // 4 bytes out
        {{0x19, 0xFF, 0x0F}, ChipType::Ft2232D, 4099},   // 4096 bytes out
        {{0x19, 0x03}, ChipType::Ft2232D, 0},            // length still to come
        {{0x2C, 0x03, 0x00}, ChipType::Ft2232D, 3},      // bytes in only
        {{0x1B, 0x07, 0xA5}, ChipType::Ft2232D, 3},      // bits out
        {{0x2E, 0x02}, ChipType::Ft2232D, 2},            // bits in
        {{0x3B, 0x07, 0xA5}, ChipType::Ft2232D, 3},      // bits out and in
        {{0x4B, 0x06, 0x7F}, ChipType::Ft2232D, 3},      // TMS
        {{0x6B, 0x00, 0x01}, ChipType::Ft2232D, 3},
        {{0x4F, 0x00, 0x01}, ChipType::Ft2232D, 3},      // TMS out, read edge without a read
        {{0x80, 0x08, 0xCB}, ChipType::Ft2232D, 3},
        {{0x82, 0x00, 0x00}, ChipType::Ft2232D, 3},
        {{0x86, 0x00, 0x00}, ChipType::Ft2232D, 3},
        {{0x81}, ChipType::Ft2232D, 1},
        {{0x87}, ChipType::Ft2232D, 1},
        {{0x8F, 0x01, 0x00}, ChipType::Ft2232H, 3},      // clock bytes, H only
        {{0x8F, 0x01, 0x00}, ChipType::Ft2232D, 1},      // a bad command on a D part
        {{0x8E, 0x05}, ChipType::Ft2232H, 2},
        {{0x9C, 0x00, 0x00}, ChipType::Ft2232H, 3},
        {{0x8A}, ChipType::Ft2232H, 1},
        {{0xAB}, ChipType::Ft2232D, 1},                  // unknown
        {{}, ChipType::Ft2232D, 0},
    };
    for (const LengthCase& c : cases) {
        EXPECT_EQ(CommandLength(c.chip, c.bytes), c.length)
            << "opcode " << (c.bytes.empty() ? -1 : c.bytes[0]) << " on " << (c.chip == ChipType::Ft2232H ? "H" : "D");
    }
}

}  // namespace
}  // namespace cm3sim
