// How long the host waits on the virtual FT2232: a timing model of the USB
// link and the chip's buffers, fed with what the MPSSE engine did. It only
// computes time; the engine, the wire and the target see exactly the traffic
// they would without it (the target's clock still moves only with the wire).
//
// The model, per channel (sim/README.md, "USB timing", says more):
// - A new transfer starts on the next (micro)frame boundary; its packets then
//   follow each other at the bus's bulk rate (full speed: 19 packets of 64
//   bytes per 1 ms frame; high speed: 13 of 512 per 125 us microframe).
// - The chip takes a packet only while its buffer of host bytes has room; the
//   engine runs each command once its last byte is in, after the commands
//   before it, for the cycles it clocks at the engine's clock.
// - Replies wait in the chip. A packet goes up (IN transfers stay posted, as
//   our libftdi1 backend keeps them) once a full packet's worth is there, a
//   send-immediate command ran, or the latency timer ran out since the last
//   packet; every IN packet carries two modem status bytes first. Host and
//   chip share the bus, so OUT and IN packets take turns in time order.
// - A driver read completes when the last byte it asked for reached the host.
//   Control requests (bit mode, purge, latency timer) take one frame.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>

#include "config.h"
#include "mpsse/mpsse_commands.h"

namespace cm3sim {

// The model counts in picoseconds: a full-speed byte is not a whole number
// of nanoseconds.
namespace picoseconds {
inline constexpr uint64_t kPerNs = 1000;
inline constexpr uint64_t kPerMs = 1'000'000'000;
inline constexpr uint64_t kPerSecond = 1'000'000'000'000;
}  // namespace picoseconds

// Every IN packet of the FT2232 starts with two modem status bytes.
inline constexpr uint32_t kStatusBytesPerPacket = 2;

// Full speed (FT2232D): 12 Mbit/s; 19 bulk packets of 64 bytes fill a 1 ms
// frame, about 1.2 MB/s.
namespace full_speed {
inline constexpr uint64_t kFramePs = picoseconds::kPerMs;
inline constexpr uint64_t kBitsPerSecond = 12'000'000;
inline constexpr uint32_t kMaxPacket = 64;
inline constexpr uint32_t kPacketsPerFrame = 19;
}  // namespace full_speed

// High speed (FT2232H): 480 Mbit/s; 13 bulk packets of 512 bytes per 125 us
// microframe.
namespace high_speed {
inline constexpr uint64_t kFramePs = 125'000'000;
inline constexpr uint64_t kBitsPerSecond = 480'000'000;
inline constexpr uint32_t kMaxPacket = 512;
inline constexpr uint32_t kPacketsPerFrame = 13;
}  // namespace high_speed

// The chip's buffers per channel: host bytes waiting for the MPSSE (the D
// part's 128-byte transmit buffer), and replies waiting for the host (its
// 384-byte receive buffer).
namespace ft2232d {
inline constexpr uint32_t kCommandBufferBytes = 128;
inline constexpr uint32_t kReplyBufferBytes = 384;
}  // namespace ft2232d
namespace ft2232h {
inline constexpr uint32_t kCommandBufferBytes = 4096;
inline constexpr uint32_t kReplyBufferBytes = 4096;
}  // namespace ft2232h

struct UsbBus {
    uint64_t framePs;
    uint32_t maxPacket;
    uint64_t bytePs;            // one byte on the bus
    uint64_t packetOverheadPs;  // token, handshake, gaps: the rest of a packet's slot
    uint32_t commandBufferBytes;
    uint32_t replyBufferBytes;

    constexpr uint64_t packetPs(uint32_t bytes) const { return packetOverheadPs + bytes * bytePs; }
    constexpr uint32_t replyPayload() const { return maxPacket - kStatusBytesPerPacket; }
    constexpr uint32_t commandBufferPackets() const { return commandBufferBytes / maxPacket; }
};

constexpr UsbBus MakeBus(uint64_t framePs, uint64_t bitsPerSecond, uint32_t maxPacket, uint32_t packetsPerFrame,
                         uint32_t commandBufferBytes, uint32_t replyBufferBytes) {
    const uint64_t bytePs = mpsse::kBitsPerByte * picoseconds::kPerSecond / bitsPerSecond;
    const uint64_t slotPs = framePs / packetsPerFrame;
    return UsbBus{framePs, maxPacket, bytePs, slotPs - maxPacket * bytePs, commandBufferBytes, replyBufferBytes};
}

inline constexpr UsbBus kFullSpeedBus =
    MakeBus(full_speed::kFramePs, full_speed::kBitsPerSecond, full_speed::kMaxPacket, full_speed::kPacketsPerFrame,
            ft2232d::kCommandBufferBytes, ft2232d::kReplyBufferBytes);
inline constexpr UsbBus kHighSpeedBus =
    MakeBus(high_speed::kFramePs, high_speed::kBitsPerSecond, high_speed::kMaxPacket, high_speed::kPacketsPerFrame,
            ft2232h::kCommandBufferBytes, ft2232h::kReplyBufferBytes);
// A full packet fills its slot, so a stream of them runs at exactly the
// frame's bulk capacity.
static_assert(kFullSpeedBus.packetPs(full_speed::kMaxPacket) * full_speed::kPacketsPerFrame <= full_speed::kFramePs);
static_assert(kFullSpeedBus.bytePs == 666'666 && kHighSpeedBus.bytePs == 16'666);
static_assert(kFullSpeedBus.commandBufferPackets() == 2 && kHighSpeedBus.commandBufferPackets() == 8);

constexpr const UsbBus& BusOf(ChipType chip) { return chip == ChipType::Ft2232H ? kHighSpeedBus : kFullSpeedBus; }

// Totals since the channel was powered; an operation's figures are the
// difference of two snapshots.
struct UsbCounters {
    uint64_t writes = 0;          // driver write calls
    uint64_t reads = 0;           // driver read calls
    uint64_t bytesOut = 0;        // host to chip
    uint64_t bytesIn = 0;         // chip to host, as the driver handed them over
    uint64_t roundTrips = 0;      // reads that waited for the chip's answer
    uint64_t controlRequests = 0; // bit mode, purge, latency timer
    uint64_t packetsOut = 0;
    uint64_t packetsIn = 0;
    uint64_t latencyPackets = 0;    // IN packets the latency timer sent
    uint64_t immediatePackets = 0;  // IN packets a send-immediate pushed out
    uint64_t shortReads = 0;        // reads that got fewer bytes than asked
    uint64_t wireCycles = 0;
    uint64_t wirePs = 0;
    uint64_t modeledPs = 0;  // the host's clock

    UsbCounters operator-(const UsbCounters& before) const;
    double modeledSeconds() const { return static_cast<double>(modeledPs) / picoseconds::kPerSecond; }
    double wireSeconds() const { return static_cast<double>(wirePs) / picoseconds::kPerSecond; }
};

// Time the bytes alone would take on the bus in full packets, both ways.
double UsbByteBoundSeconds(const UsbBus& bus, const UsbCounters& traffic);

class UsbTiming {
public:
    // One driver write of `count` bytes; the engine's work on them follows as
    // commandDone calls, in order, then endWrite. `latencyMs` is the chip's
    // latency timer.
    void beginWrite(const UsbBus& bus, uint8_t latencyMs, uint32_t count);
    // A command ended with byte `endOffset` (counted from 1) of this write:
    // it clocked the wire for `wireNs` (`cycles` cycles) and queued
    // `replyBytes`; `sendImmediate` when it was the send-immediate command.
    void commandDone(uint32_t endOffset, uint64_t wireNs, uint64_t cycles, uint32_t replyBytes, bool sendImmediate);
    void endWrite();

    // A driver read that asked for `asked` bytes and was handed `got`.
    void read(const UsbBus& bus, uint8_t latencyMs, uint32_t asked, uint32_t got);
    // A bulk-in transfer the chip ended with its status bytes alone: nothing
    // was waiting, so it NAKed until the latency timer ran out and then sent
    // a packet of status only. The host's clock moves to that packet's end.
    void statusOnlyRead(const UsbBus& bus, uint8_t latencyMs);
    void control(const UsbBus& bus);
    // The chip dropped every reply it held.
    void purgeReplies();

    // Off (the default), the target's clock moves with the wire only, as it
    // always does in the simulator. On, it also lives through the time the
    // engine sits idle waiting for the host, as a real target does: a flash
    // erase the host polls then finishes after as many polls as on a bench.
    // This changes what the target answers, so only workloads turn it on.
    void setTargetFollowsHost(bool on);
    bool targetFollowsHost() const { return follow_; }
    // Before the command ending with byte `endOffset` runs: the idle time the
    // target lives through first, in picoseconds (0 unless following).
    uint64_t idleBefore(uint32_t endOffset);

    const UsbCounters& counters() const { return counters_; }
    // Replies the model holds (in the chip or at the host, not yet read).
    uint64_t repliesHeld() const { return produced_ - consumed_; }

private:
    struct Mark {
        uint64_t end;  // cumulative byte count this mark covers
        uint64_t at;
    };
    struct OutPacket {
        uint64_t end;  // cumulative host byte count at the packet's end
        uint64_t consumedAt;
        bool consumed;
    };

    uint64_t nextBoundary(uint64_t t) const;
    void placeOutPacketsThrough(uint64_t byteIndex);
    // Sends the next IN packet if one is due at or before `limit`; false if none.
    bool sendReplyPacketBy(uint64_t limit);
    uint64_t nextReplyEvent(bool* latency, bool* immediate) const;
    uint64_t producedAt(uint64_t byteIndex) const;

    const UsbBus* bus_ = &kFullSpeedBus;
    uint8_t latencyMs_ = 0;
    UsbCounters counters_;
    uint64_t now_ = 0;
    uint64_t busFree_ = 0;
    uint64_t engineFree_ = 0;
    uint64_t timerBase_ = 0;
    uint64_t lastReplyStart_ = 0;
    bool follow_ = false;
    uint64_t targetPs_ = 0;  // how far the target's clock has come, on the model's clock

    // Host bytes: the current write's start and the packets in the chip's buffer.
    uint64_t writeBase_ = 0;  // cumulative bytes before this write
    uint64_t writeCount_ = 0;
    uint64_t writeStart_ = 0;
    uint64_t placedBytes_ = 0;  // cumulative bytes already on the bus
    uint64_t lastArrival_ = 0;
    std::deque<OutPacket> inChip_;

    // Reply bytes, counted cumulatively: produced by the engine, sent up,
    // consumed by driver reads.
    uint64_t produced_ = 0;
    uint64_t sent_ = 0;
    uint64_t consumed_ = 0;
    std::deque<Mark> ready_;    // when each run of replies was made
    std::deque<Mark> flushes_;  // send-immediate: everything before `end` goes
    std::deque<Mark> arrived_;  // when each run reached the host
};

// Bytes of the MPSSE command starting at `bytes[0]` as `chip` decodes it, or
// 0 when `bytes` does not yet tell (its length field is still to come).
size_t CommandLength(ChipType chip, std::span<const uint8_t> bytes);

// Whether `bytes`, written at a command boundary, end at one with a command
// after their last send-immediate that makes the chip answer: such replies
// wait in the chip for a full packet or the latency timer.
bool LeavesRepliesWaiting(ChipType chip, std::span<const uint8_t> bytes);

// Runs a host write through `channel` one command at a time, so each
// command's wire time and replies are seen as it completes. The chip decodes
// commands across writes, so this changes nothing on the wire; and the engine
// decides where commands end, so a length misjudged here only coarsens the
// timing.
template <typename Channel, typename Clock>
void TimedWrite(UsbTiming& timing, ChipType chip, Channel& channel, Clock& clock, std::span<const uint8_t> bytes) {
    auto& engine = channel.engine();
    timing.beginWrite(BusOf(chip), channel.latencyMs, static_cast<uint32_t>(bytes.size()));
    uint64_t ns = clock.totalNs();
    uint64_t cycles = engine.clockCycles();
    size_t replies = engine.replyBytesQueued();
    size_t done = 0;
    while (done < bytes.size()) {
        // At a command boundary the next byte is an opcode, whatever its value.
        const bool opcodeNext = engine.commandBytesPending() == 0;
        size_t piece = opcodeNext ? CommandLength(chip, bytes.subspan(done)) : 1;
        piece = std::clamp<size_t>(piece, 1, bytes.size() - done);
        if (timing.targetFollowsHost()) {
            const uint64_t idlePs = timing.idleBefore(static_cast<uint32_t>(done + piece));
            clock.elapse(idlePs * mpsse::clock::kTimeUnitsPerNs / picoseconds::kPerNs);
            clock.flush();
            ns = clock.totalNs();
        }
        channel.write(bytes.subspan(done, piece));
        done += piece;
        if (engine.commandBytesPending() != 0) continue;
        const bool immediate = opcodeNext && piece == 1 && bytes[done - 1] == mpsse::opcode::kSendImmediate &&
                               !engine.stalled();
        const uint64_t nowNs = clock.totalNs();
        const uint64_t nowCycles = engine.clockCycles();
        const size_t nowReplies = engine.replyBytesQueued();
        timing.commandDone(static_cast<uint32_t>(done), nowNs - ns, nowCycles - cycles,
                           static_cast<uint32_t>(nowReplies - replies), immediate);
        ns = nowNs;
        cycles = nowCycles;
        replies = nowReplies;
    }
    timing.endWrite();
}

}  // namespace cm3sim
