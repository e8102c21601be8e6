#include "usb/usb_timing.h"

#include <algorithm>
#include <limits>

#include "mpsse/mpsse_commands.h"

namespace cm3sim {

namespace {
inline constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();
// The chip takes latency timer values of 1-255 ms; 0 never reaches it.
inline constexpr uint8_t kShortestLatencyMs = 1;

// Command shapes (FTDI AN_108): opcode alone, opcode and one byte, opcode and
// two bytes (pins, divisor, TMS, lengths).
inline constexpr size_t kOpcodeOnly = 1;
inline constexpr size_t kOneArgument = 2;
inline constexpr size_t kTwoArguments = 3;
inline constexpr uint32_t kHighByteShift = 8;
}  // namespace

size_t CommandLength(ChipType chip, std::span<const uint8_t> bytes) {
    using namespace mpsse;
    if (bytes.empty()) return 0;
    const uint8_t op = bytes[0];
    if (op >= shift::kFirstOpcode && op <= shift::kLastOpcode) {
        const bool writes = (op & shift::kWriteTdi) != 0;
        if ((op & shift::kBitMode) != 0) return kOneArgument + (writes ? 1 : 0);
        if (!writes) return kTwoArguments;
        if (bytes.size() < kTwoArguments) return 0;
        const size_t length = (static_cast<size_t>(bytes[1]) | (static_cast<size_t>(bytes[2]) << kHighByteShift)) + 1;
        return kTwoArguments + length;
    }
    // TMS commands are decoded bit by bit too: the edges and the read vary.
    constexpr uint8_t tmsVariable = shift::kWriteOnFalling | shift::kReadOnFalling | shift::kReadTdo;
    if ((op & ~tmsVariable) == tms::kOutRising) return kTwoArguments;
    const bool h = chip == ChipType::Ft2232H;
    switch (op) {
    case opcode::kSetLowBits:
    case opcode::kSetHighBits:
    case opcode::kSetDivisor:
        return kTwoArguments;
    case opcode::kClockBits:
        return h ? kOneArgument : kOpcodeOnly;
    case opcode::kClockBytes:
    case opcode::kClockBytesOrUntilGpiol1High:
    case opcode::kClockBytesOrUntilGpiol1Low:
        return h ? kTwoArguments : kOpcodeOnly;
    default:
        return kOpcodeOnly;
    }
}

bool LeavesRepliesWaiting(ChipType chip, std::span<const uint8_t> bytes) {
    using namespace mpsse;
    bool waiting = false;
    size_t at = 0;
    while (at < bytes.size()) {
        const size_t length = CommandLength(chip, bytes.subspan(at));
        if (length == 0 || length > bytes.size() - at) return false;
        const uint8_t op = bytes[at];
        const bool shiftReads = op >= shift::kFirstOpcode && op <= shift::kLastOpcode && (op & shift::kReadTdo) != 0;
        const bool tmsReads = tms::IsTmsOpcode(op) && (op & shift::kReadTdo) != 0;
        const bool pinReads = op == opcode::kReadLowBits || op == opcode::kReadHighBits;
        if (op == opcode::kSendImmediate) waiting = false;
        if (shiftReads || tmsReads || pinReads) waiting = true;
        at += length;
    }
    return waiting;
}

UsbCounters UsbCounters::operator-(const UsbCounters& before) const {
    UsbCounters d;
    d.writes = writes - before.writes;
    d.reads = reads - before.reads;
    d.bytesOut = bytesOut - before.bytesOut;
    d.bytesIn = bytesIn - before.bytesIn;
    d.roundTrips = roundTrips - before.roundTrips;
    d.controlRequests = controlRequests - before.controlRequests;
    d.packetsOut = packetsOut - before.packetsOut;
    d.packetsIn = packetsIn - before.packetsIn;
    d.latencyPackets = latencyPackets - before.latencyPackets;
    d.immediatePackets = immediatePackets - before.immediatePackets;
    d.shortReads = shortReads - before.shortReads;
    d.wireCycles = wireCycles - before.wireCycles;
    d.wirePs = wirePs - before.wirePs;
    d.modeledPs = modeledPs - before.modeledPs;
    return d;
}

double UsbByteBoundSeconds(const UsbBus& bus, const UsbCounters& traffic) {
    const double slotPs = static_cast<double>(bus.packetPs(bus.maxPacket));
    const double out = static_cast<double>(traffic.bytesOut) * slotPs / bus.maxPacket;
    const double in = static_cast<double>(traffic.bytesIn) * slotPs / bus.replyPayload();
    return (out + in) / static_cast<double>(picoseconds::kPerSecond);
}

uint64_t UsbTiming::nextBoundary(uint64_t t) const {
    const uint64_t frame = bus_->framePs;
    return (t + frame - 1) / frame * frame;
}

void UsbTiming::beginWrite(const UsbBus& bus, uint8_t latencyMs, uint32_t count) {
    bus_ = &bus;
    latencyMs_ = latencyMs;
    ++counters_.writes;
    counters_.bytesOut += count;
    writeCount_ = count;
    writeStart_ = nextBoundary(now_);
}

void UsbTiming::placeOutPacketsThrough(uint64_t byteIndex) {
    const uint64_t writeEnd = writeBase_ + writeCount_;
    while (placedBytes_ <= byteIndex && placedBytes_ < writeEnd) {
        const uint64_t end = std::min<uint64_t>(placedBytes_ + bus_->maxPacket, writeEnd);
        uint64_t start = std::max(writeStart_, busFree_);
        if (inChip_.size() >= bus_->commandBufferPackets()) {
            // The chip NAKs the packet until the engine has taken the one
            // that many packets back. A command still running over it is
            // taken as it runs: the engine's current end stands in.
            const OutPacket& oldest = inChip_.front();
            start = std::max(start, oldest.consumed ? oldest.consumedAt : engineFree_);
            inChip_.pop_front();
        }
        while (sendReplyPacketBy(start)) start = std::max(start, busFree_);
        busFree_ = start + bus_->packetPs(static_cast<uint32_t>(end - placedBytes_));
        lastArrival_ = busFree_;
        placedBytes_ = end;
        ++counters_.packetsOut;
        inChip_.push_back(OutPacket{end, 0, false});
    }
}

void UsbTiming::commandDone(uint32_t endOffset, uint64_t wireNs, uint64_t cycles, uint32_t replyBytes,
                            bool sendImmediate) {
    const uint64_t last = writeBase_ + endOffset - 1;
    placeOutPacketsThrough(last);
    const uint64_t wirePs = wireNs * picoseconds::kPerNs;
    engineFree_ = std::max(lastArrival_, engineFree_) + wirePs;
    targetPs_ = std::max(targetPs_, engineFree_);
    counters_.wireCycles += cycles;
    counters_.wirePs += wirePs;
    for (OutPacket& packet : inChip_) {
        if (packet.end > last + 1) break;
        if (packet.consumed) continue;
        packet.consumed = true;
        packet.consumedAt = engineFree_;
    }
    if (replyBytes != 0) {
        produced_ += replyBytes;
        ready_.push_back(Mark{produced_, engineFree_});
    }
    if (sendImmediate && produced_ > sent_) flushes_.push_back(Mark{produced_, engineFree_});
    // A full reply buffer stops the engine until a packet drains it.
    while (produced_ - sent_ > bus_->replyBufferBytes && sendReplyPacketBy(kNever)) {
        engineFree_ = std::max(engineFree_, lastReplyStart_);
    }
}

void UsbTiming::setTargetFollowsHost(bool on) {
    follow_ = on;
    targetPs_ = std::max(targetPs_, engineFree_);
}

uint64_t UsbTiming::idleBefore(uint32_t endOffset) {
    if (!follow_ || endOffset == 0) return 0;
    placeOutPacketsThrough(writeBase_ + endOffset - 1);
    const uint64_t start = std::max(lastArrival_, engineFree_);
    if (start <= targetPs_) return 0;
    const uint64_t idle = start - targetPs_;
    targetPs_ = start;
    return idle;
}

void UsbTiming::endWrite() {
    if (writeCount_ != 0) {
        placeOutPacketsThrough(writeBase_ + writeCount_ - 1);
        now_ = std::max(now_, lastArrival_);
    }
    writeBase_ += writeCount_;
    writeCount_ = 0;
    counters_.modeledPs = now_;
}

uint64_t UsbTiming::producedAt(uint64_t byteIndex) const {
    for (const Mark& mark : ready_) {
        if (mark.end > byteIndex) return mark.at;
    }
    return kNever;
}

uint64_t UsbTiming::nextReplyEvent(bool* latency, bool* immediate) const {
    *latency = false;
    *immediate = false;
    if (sent_ == produced_) return kNever;
    const uint64_t firstReady = producedAt(sent_);
    const uint32_t payload = bus_->replyPayload();
    const uint64_t fullAt = produced_ - sent_ >= payload ? producedAt(sent_ + payload - 1) : kNever;
    uint64_t flushAt = kNever;
    for (const Mark& mark : flushes_) {
        if (mark.end > sent_) {
            flushAt = mark.at;
            break;
        }
    }
    // The timer restarts with every packet sent, status-only ones included, so
    // it runs out every period after the last one.
    const uint64_t period = std::max(latencyMs_, kShortestLatencyMs) * picoseconds::kPerMs;
    const uint64_t periods = firstReady <= timerBase_ ? 1 : (firstReady - timerBase_ + period - 1) / period;
    const uint64_t latencyAt = timerBase_ + periods * period;
    const uint64_t event = std::min({fullAt, flushAt, latencyAt});
    *immediate = event == flushAt && event < fullAt;
    *latency = event == latencyAt && event < fullAt && event < flushAt;
    return event;
}

bool UsbTiming::sendReplyPacketBy(uint64_t limit) {
    bool latency = false;
    bool immediate = false;
    const uint64_t event = nextReplyEvent(&latency, &immediate);
    if (event == kNever || event > limit) return false;
    const uint64_t start = std::max(event, busFree_);
    // The packet takes whatever the chip holds when the host's IN token comes.
    uint64_t available = sent_;
    for (const Mark& mark : ready_) {
        if (mark.at > start) break;
        available = mark.end;
    }
    const uint64_t payload = std::min<uint64_t>(available - sent_, bus_->replyPayload());
    busFree_ = start + bus_->packetPs(static_cast<uint32_t>(payload) + kStatusBytesPerPacket);
    sent_ += payload;
    arrived_.push_back(Mark{sent_, busFree_});
    timerBase_ = start;
    lastReplyStart_ = start;
    ++counters_.packetsIn;
    if (latency) ++counters_.latencyPackets;
    if (immediate) ++counters_.immediatePackets;
    while (!ready_.empty() && ready_.front().end <= sent_) ready_.pop_front();
    while (!flushes_.empty() && flushes_.front().end <= sent_) flushes_.pop_front();
    return true;
}

void UsbTiming::read(const UsbBus& bus, uint8_t latencyMs, uint32_t asked, uint32_t got) {
    bus_ = &bus;
    latencyMs_ = latencyMs;
    ++counters_.reads;
    counters_.bytesIn += got;
    if (asked != 0) ++counters_.roundTrips;
    // A real driver would wait out its timeout for the missing bytes; the
    // model leaves that to whoever reads the count.
    if (got < asked) ++counters_.shortReads;
    const uint64_t target = std::min(consumed_ + got, produced_);
    while (sent_ < target && sendReplyPacketBy(kNever)) {
    }
    for (const Mark& mark : arrived_) {
        if (mark.end >= target) {
            if (target > consumed_) now_ = std::max(now_, mark.at);
            break;
        }
    }
    consumed_ = target;
    while (!arrived_.empty() && arrived_.front().end <= consumed_) arrived_.pop_front();
    counters_.modeledPs = now_;
}

void UsbTiming::statusOnlyRead(const UsbBus& bus, uint8_t latencyMs) {
    bus_ = &bus;
    latencyMs_ = latencyMs;
    ++counters_.reads;
    ++counters_.roundTrips;
    // The timer restarted with the last packet and with each status-only one
    // since, so it runs out on the first period boundary after the host asked.
    const uint64_t period = std::max(latencyMs_, kShortestLatencyMs) * picoseconds::kPerMs;
    const uint64_t periods = now_ <= timerBase_ ? 1 : (now_ - timerBase_ + period - 1) / period;
    const uint64_t start = std::max(timerBase_ + periods * period, busFree_);
    busFree_ = start + bus.packetPs(kStatusBytesPerPacket);
    timerBase_ = start;
    lastReplyStart_ = start;
    ++counters_.packetsIn;
    ++counters_.latencyPackets;
    now_ = std::max(now_, busFree_);
    counters_.modeledPs = now_;
}

void UsbTiming::control(const UsbBus& bus) {
    bus_ = &bus;
    ++counters_.controlRequests;
    now_ = nextBoundary(now_) + bus.framePs;
    busFree_ = std::max(busFree_, now_);
    counters_.modeledPs = now_;
}

void UsbTiming::purgeReplies() {
    sent_ = produced_;
    consumed_ = produced_;
    ready_.clear();
    flushes_.clear();
    arrived_.clear();
}

}  // namespace cm3sim
