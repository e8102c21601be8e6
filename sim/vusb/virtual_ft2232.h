// The virtual FT2232 as a USB function: its control requests, the buffers
// between USB and each channel's MPSSE, and the framing of bulk-in packets.
// The channels and the target behind them are the process's GlobalProbe().
//
// Back-pressure as on the chip: a channel's MPSSE takes commands only while
// its buffer towards the host has room, and the host's bytes wait in the
// buffer from the host; once that is full too, bulk-out data is refused.
//
// Each channel also feeds the simulator's USB timing model (usb/usb_timing.h)
// with what happened: a bulk-out transfer is a driver write, the MPSSE's
// commands are reported as they complete, a bulk-in transfer that ended is a
// driver read and a vendor request is a control transfer. The model works
// out how long the host would have waited, on the channel's UsbTiming.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "config.h"
#include "usb/usb_timing.h"
#include "virtual_probe.h"
#include "vusb/ft2232_usb.h"

namespace cm3sim::vusb {

struct SetupPacket {
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
};

// How a control request ended.
enum class ControlStatus { Ok, Stall };
struct ControlResult {
    ControlStatus status = ControlStatus::Ok;
    size_t length = 0;  // bytes of the data stage
};

// What the chip put into one bulk-in transfer.
struct InPackets {
    size_t bytes = 0;        // including the status bytes of every packet
    bool ended = false;      // a short packet ended the transfer
    bool overflow = false;   // the packet was larger than the room left
    size_t data = 0;         // of `bytes`, past the status bytes
};

// Where a program put a bracket around work it wants timed: a command that
// changed the high byte's output latch (ACBUS; nothing on the board listens
// to it). `before` holds the channel's USB counters as they stood when the
// bulk-out transfer carrying the command began, `after` once the MPSSE had
// run all of that transfer.
struct PinMark {
    uint8_t highPins = 0;  // the latch after the command
    UsbCounters before;
    UsbCounters after;
};

struct ChannelStatistics {
    uint64_t bytesFromHost = 0;   // taken off bulk-out transfers
    uint64_t bytesToHost = 0;     // data bytes in bulk-in packets (status bytes not counted)
    uint64_t packetsToHost = 0;
    uint64_t refusals = 0;        // times a bulk-out transfer found both buffers full
};

class VirtualFt2232 {
public:
    VirtualFt2232();

    // Whether the adapter exists at all (the configuration lists a channel).
    bool present() const;
    ChipType chip() const;
    uint16_t packetSize() const;
    // The product string: the first listed description without its channel suffix.
    std::string product() const;
    std::optional<std::string> stringText(uint8_t index) const;

    ControlResult control(const SetupPacket& setup, std::span<uint8_t> data);

    // The channel an endpoint belongs to.
    static std::optional<size_t> ChannelOfEndpoint(uint8_t endpoint);
    static bool IsIn(uint8_t endpoint);

    // A bulk-out transfer of `bytes` begins: the timing model's driver write.
    void hostWriteBegins(size_t channel, size_t bytes);
    // It ended before all its bytes were taken (timed out, cancelled).
    void hostWriteAbandoned(size_t channel);
    // Bulk out: takes what the buffers accept now and runs the MPSSE on it.
    size_t fromHost(size_t channel, std::span<const uint8_t> bytes);
    // Bulk in: whole packets while data for them is waiting and they fit.
    InPackets fullPackets(size_t channel, std::span<uint8_t> room);
    // Bulk in: the short packet that ends a transfer, with what is left (the
    // two status bytes alone when nothing is).
    InPackets finalPacket(size_t channel, std::span<uint8_t> room);
    size_t waitingForHost(size_t channel);
    // A bulk-in transfer ended with `dataBytes` past the status bytes: the
    // timing model's driver read (none: a status-only packet).
    void hostReadEnded(size_t channel, size_t dataBytes);
    uint8_t latencyMs(size_t channel);

    // A USB bus reset: power-on bit mode and latency, buffers emptied.
    void busReset();
    // The bench was replaced: forget what the old one's buffers held.
    void benchReplaced();

    const ChannelStatistics& statistics(size_t channel) const { return stats_.at(channel); }
    const std::vector<PinMark>& marks(size_t channel) const { return timing_.at(channel).marks; }

private:
    struct ChannelBuffers {
        std::deque<uint8_t> fromHost;
    };
    // What the timing model needs to hear about a channel, counted in host
    // bytes since the bench was powered.
    struct ChannelTiming {
        uint64_t received = 0;  // taken off bulk-out transfers
        uint64_t executed = 0;  // handed to the MPSSE, or dropped
        bool writeOpen = false;
        uint64_t writeBase = 0;
        uint64_t writeEnd = 0;
        UsbCounters beforeWrite;
        // The command being fed: its wire time, cycles and replies so far.
        uint64_t commandNs = 0;
        uint64_t commandCycles = 0;
        uint64_t commandReplies = 0;
        uint8_t highPins = 0;
        std::optional<size_t> markOfWrite;  // a mark waiting for its write to end
        std::vector<PinMark> marks;
    };

    VirtualProbe& probe() const;
    ControlResult standard(const SetupPacket& setup, std::span<uint8_t> data);
    ControlResult vendor(const SetupPacket& setup, std::span<uint8_t> data);
    size_t fromHostCapacity() const;
    size_t toHostCapacity() const;
    // Feeds buffered host bytes to the MPSSE while it may take them.
    void run(size_t channel);
    // Hands the MPSSE `bytes` (one, or none to retry a stalled wait) and
    // tells the timing model about a command that completed.
    void feed(size_t channel, std::span<const uint8_t> bytes, bool opcodeNext);
    void commandCompleted(size_t channel, bool sendImmediate);
    void bytesDropped(size_t channel, size_t count);
    void endHostWrite(size_t channel);
    void controlTransfer(size_t channel);
    UsbTiming& timing(size_t channel) const;
    void purgeFromHost(size_t channel);
    void writeStatus(std::span<uint8_t> packet) const;
    uint8_t pinLevels(size_t channel);

    std::array<ChannelBuffers, layout::kInterfaces> buffers_;
    std::array<ChannelStatistics, layout::kInterfaces> stats_{};
    std::array<ChannelTiming, layout::kInterfaces> timing_{};
    std::vector<uint16_t> eeprom_;
};

}  // namespace cm3sim::vusb
