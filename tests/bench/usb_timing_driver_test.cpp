// The timing model behind the simulator's USB driver: what the real MPSSE
// engine did is what the model counts, and the model holds exactly the
// replies the engine holds.
#include <gtest/gtest.h>

#include <vector>

#include "usb/sim_usb_driver.h"
#include "virtual_probe.h"

namespace cm3sim {
namespace {

using namespace cm3probe::adapter;
using Bytes = std::vector<uint8_t>;

inline constexpr uint8_t kBytesOut = 0x19;   // clock bytes out, LSB first
inline constexpr uint8_t kReadLow = 0x81;    // read the low pins: one reply byte
inline constexpr uint8_t kImmediate = 0x87;  // send immediate
inline constexpr uint8_t kLoopbackOn = 0x84;
inline constexpr uint8_t kReadBytes = 0x2C;  // clock bytes in
inline constexpr uint8_t kLatencyMs = 2;
inline constexpr uint64_t kCyclesPerByte = 8;

class DriverTiming : public ::testing::TestWithParam<ChipType> {
protected:
    void SetUp() override {
        SimConfig config;
        config.chip = GetParam();
        ResetGlobalProbe(config);
        ASSERT_EQ(usb.openByDescription("USB Debug Bridge A", &handle), kUsbOk);
        ASSERT_EQ(usb.setBitMode(handle, 0, bit_mode::kMpsse), kUsbOk);
        ASSERT_EQ(usb.setLatencyTimer(handle, kLatencyMs), kUsbOk);
    }
    void TearDown() override { (void)usb.close(handle); }

    void Write(const Bytes& bytes) {
        uint32_t written = 0;
        ASSERT_EQ(usb.write(handle, bytes.data(), static_cast<uint32_t>(bytes.size()), &written), kUsbOk);
    }
    uint32_t Read(uint32_t count) {
        Bytes buffer(count);
        uint32_t got = 0;
        EXPECT_EQ(usb.read(handle, buffer.data(), count, &got), kUsbOk);
        return got;
    }
    const UsbCounters& Counters() { return GlobalProbe().usbCounters(); }
    AdapterChannel& Channel() { return GlobalProbe().channel(VirtualProbe::kTargetChannel); }

    const UsbDriver& usb = cm3sim::SimUsbDriver();
    UsbHandle handle = nullptr;
};

INSTANTIATE_TEST_SUITE_P(Chips, DriverTiming, ::testing::Values(ChipType::Ft2232D, ChipType::Ft2232H),
                         [](const auto& info) { return std::string(info.param == ChipType::Ft2232H ? "H" : "D"); });

TEST_P(DriverTiming, CountsEveryDriverCallAndByte) {
    const UsbCounters start = Counters();
    EXPECT_EQ(start.controlRequests, 2u);  // bit mode, latency timer
    Write({kBytesOut, 0x03, 0x00, 0x11, 0x22, 0x33, 0x44, kReadLow, kImmediate});
    EXPECT_EQ(Read(4), 1u);
    const UsbCounters d = Counters() - start;
    EXPECT_EQ(d.writes, 1u);
    EXPECT_EQ(d.reads, 1u);
    EXPECT_EQ(d.bytesOut, 9u);
    EXPECT_EQ(d.bytesIn, 1u);
    EXPECT_EQ(d.roundTrips, 1u);
    EXPECT_EQ(d.shortReads, 1u);
    EXPECT_EQ(d.wireCycles, 4 * kCyclesPerByte);
    EXPECT_EQ(d.packetsIn, 1u);
    EXPECT_GT(d.modeledPs, 0u);
}

TEST_P(DriverTiming, WireTimeFollowsTheEnginesClock) {
    // 32 cycles at 6 MHz, and at 3 MHz with divisor 1.
    const UsbCounters start = Counters();
    Write({kBytesOut, 0x03, 0x00, 1, 2, 3, 4});
    const UsbCounters fast = Counters() - start;
    Write({0x86, 0x01, 0x00, kBytesOut, 0x03, 0x00, 1, 2, 3, 4});
    const UsbCounters slow = Counters() - start - fast;
    EXPECT_EQ(fast.wireCycles, 32u);
    EXPECT_EQ(slow.wireCycles, 32u);
    EXPECT_NEAR(static_cast<double>(fast.wirePs), 32 / 6e6 * 1e12, 1e3);
    EXPECT_NEAR(static_cast<double>(slow.wirePs), 32 / 3e6 * 1e12, 1e3);
}

TEST_P(DriverTiming, OnlyASendImmediateOpcodeFlushes) {
    // 0x87 as data of a shift command is no command at all; the write ends
    // inside that command, so the driver adds no send-immediate of its own.
    Write({kReadLow, kBytesOut, 0x03, 0x00, kImmediate, kImmediate, kImmediate});
    ASSERT_EQ(Read(1), 1u);
    EXPECT_EQ(Counters().immediatePackets, 0u);
    EXPECT_EQ(Counters().latencyPackets, 1u);
    Write({kImmediate, kReadLow, kImmediate});
    ASSERT_EQ(Read(1), 1u);
    EXPECT_EQ(Counters().immediatePackets, 1u);
    EXPECT_EQ(Counters().latencyPackets, 1u);
    // A write that leaves replies waiting gets the driver's send-immediate.
    const UsbCounters start = Counters();
    Write({kReadLow});
    ASSERT_EQ(Read(1), 1u);
    EXPECT_EQ((Counters() - start).immediatePackets, 1u);
    EXPECT_EQ((Counters() - start).latencyPackets, 0u);
    EXPECT_EQ((Counters() - start).bytesOut, 2u);
}

TEST_P(DriverTiming, ACommandSplitAcrossWritesIsTimedWhenItCompletes) {
    const UsbCounters start = Counters();
    Write({kBytesOut, 0x03});
    EXPECT_EQ((Counters() - start).wireCycles, 0u);
    Write({0x00, 1, 2, 3});
    EXPECT_EQ((Counters() - start).wireCycles, 0u);
    Write({4, kReadLow, kImmediate});
    EXPECT_EQ((Counters() - start).wireCycles, 32u);
    EXPECT_EQ(Read(1), 1u);
    EXPECT_EQ(Counters().immediatePackets, 1u);
}

TEST_P(DriverTiming, BytesOutsideMpsseModeCostOnlyTheirTransfer) {
    ASSERT_EQ(usb.setBitMode(handle, 0, bit_mode::kReset), kUsbOk);
    const UsbCounters start = Counters();
    Write({kBytesOut, 0x03, 0x00, 1, 2, 3, 4, kReadLow, kImmediate});
    const UsbCounters d = Counters() - start;
    EXPECT_EQ(d.wireCycles, 0u);
    EXPECT_EQ(d.bytesOut, 9u);
    EXPECT_EQ(Channel().engine().replyBytesQueued(), 0u);
    EXPECT_EQ(Channel().usbTiming.repliesHeld(), 0u);
}

TEST_P(DriverTiming, TheModelHoldsWhatTheEngineHolds) {
    // Loopback reads give as many replies as the commands ask for.
    Write({kLoopbackOn, kReadBytes, 0x09, 0x00, kReadLow});
    EXPECT_EQ(Channel().usbTiming.repliesHeld(), Channel().engine().replyBytesQueued());
    EXPECT_EQ(Channel().usbTiming.repliesHeld(), 11u);
    EXPECT_EQ(Read(4), 4u);
    EXPECT_EQ(Channel().usbTiming.repliesHeld(), Channel().engine().replyBytesQueued());
    ASSERT_EQ(usb.purge(handle, purge::kReceive), kUsbOk);
    EXPECT_EQ(Channel().usbTiming.repliesHeld(), 0u);
    EXPECT_EQ(Channel().engine().replyBytesQueued(), 0u);
    Write({kReadLow, kImmediate});
    EXPECT_EQ(Read(2), 1u);
    EXPECT_EQ(Channel().usbTiming.repliesHeld(), 0u);
}

TEST_P(DriverTiming, AWriteOnlyStreamCostsAFramePerTransfer) {
    const UsbBus& bus = BusOf(GetParam());
    Write({kReadLow, kImmediate});
    ASSERT_EQ(Read(1), 1u);
    const UsbCounters start = Counters();
    const int writes = 10;
    for (int i = 0; i < writes; ++i) Write({0x80, 0x08, 0xCB});
    const UsbCounters d = Counters() - start;
    EXPECT_GE(d.modeledPs, (writes - 1) * bus.framePs);
    EXPECT_LE(d.modeledPs, writes * bus.framePs + bus.packetPs(3));
}

}  // namespace
}  // namespace cm3sim
