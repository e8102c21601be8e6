#include "mpsse/mpsse_engine.h"

#include <algorithm>

#include "mpsse/mpsse_commands.h"

namespace cm3sim {

using namespace mpsse;

namespace {

inline constexpr size_t kShortHeader = 2;  // opcode, one length byte
inline constexpr size_t kLongHeader = 3;   // opcode, length low, length high
inline constexpr size_t kSetPinsLength = 3;
inline constexpr uint8_t kBitCountMask = 0x07;
inline constexpr uint32_t kHighByteShift = 8;
inline constexpr uint8_t kMsb = 0x80;
// A clock-until command whose GPIOL1 condition never comes would clock for
// ever; the engine gives up after the longest bounded clocking command.
inline constexpr uint64_t kMaxBytesPerCommand = 0x10000;
inline constexpr uint64_t kUnboundedClockCap = kMaxBytesPerCommand * kBitsPerByte;

size_t LongLength(std::span<const uint8_t> bytes) {
    return (static_cast<size_t>(bytes[1]) | (static_cast<size_t>(bytes[2]) << kHighByteShift)) + 1;
}

bool BitOf(uint8_t byte, size_t index, bool lsbFirst) {
    const size_t shiftBy = lsbFirst ? index : (kBitsPerByte - 1 - index);
    return ((byte >> shiftBy) & 1u) != 0;
}

}  // namespace

MpsseEngine::MpsseEngine(const SimConfig& config, PinBus& pins, VirtualTime& time)
    : config_(config), pins_(pins), time_(time) {
    publish();
}

void MpsseEngine::write(std::span<const uint8_t> bytes) {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    if (stalled_ && (waitOpcode_ == opcode::kWaitOnGpiol1High || waitOpcode_ == opcode::kWaitOnGpiol1Low)) {
        stalled_ = gpiol1High() != (waitOpcode_ == opcode::kWaitOnGpiol1High);
    }
    size_t used = 0;
    while (!stalled_ && used < pending_.size()) {
        const size_t n = execute(std::span<const uint8_t>(pending_).subspan(used));
        if (n == 0) break;
        used += n;
        time_.flush();
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used));
}

size_t MpsseEngine::read(std::span<uint8_t> buffer) {
    const size_t n = std::min(buffer.size(), replies_.size());
    std::copy_n(replies_.begin(), n, buffer.begin());
    replies_.erase(replies_.begin(), replies_.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
}

void MpsseEngine::purgeCommands() {
    // Bytes queued behind a stall were never started and go. A command the
    // parser has begun is another matter: the published command set does not
    // say a purge ends it, so it stays, waiting for the rest of its bytes.
    if (stalled_) pending_.clear();
}

void MpsseEngine::reset() {
    pending_.clear();
    low_ = {};
    high_ = {};
    loopback_ = false;
    divisor_ = 0;
    divideBy5_ = true;
    threePhase_ = false;
    adaptive_ = false;
    stalled_ = false;
    waitOpcode_ = 0;
    publish();
}

bool MpsseEngine::hOnly(uint8_t op) const {
    return (op >= opcode::kDivideBy5Off && op <= opcode::kClockBytes) ||
           (op >= opcode::kClockUntilGpiol1High && op <= opcode::kAdaptiveOff) ||
           op == opcode::kClockBytesOrUntilGpiol1High || op == opcode::kClockBytesOrUntilGpiol1Low;
}

void MpsseEngine::badCommand(uint8_t op) {
    replies_.push_back(kBadCommand);
    replies_.push_back(op);
}

size_t MpsseEngine::execute(std::span<const uint8_t> bytes) {
    const uint8_t op = bytes[0];
    if (op >= shift::kFirstOpcode && op <= shift::kLastOpcode) return executeShift(bytes);
    if (tms::IsTmsOpcode(op)) return executeTms(bytes);
    if (hOnly(op) && config_.chip != ChipType::Ft2232H) {
        badCommand(op);
        return 1;
    }
    switch (op) {
    case opcode::kSetLowBits:
    case opcode::kSetHighBits:
        if (bytes.size() < kSetPinsLength) return 0;
        (op == opcode::kSetLowBits ? low_ : high_) = PinBank{bytes[1], bytes[2]};
        publish();
        return kSetPinsLength;
    case opcode::kReadLowBits: {
        uint8_t levels = pins_.lowLevels();
        if (loopback_) levels = static_cast<uint8_t>((levels & ~adbus::kDi) | (sampleDi() ? adbus::kDi : 0));
        replies_.push_back(levels);
        return 1;
    }
    case opcode::kReadHighBits:
        replies_.push_back(pins_.highLevels());
        return 1;
    case opcode::kLoopbackOn:
    case opcode::kLoopbackOff:
        loopback_ = op == opcode::kLoopbackOn;
        return 1;
    case opcode::kSetDivisor:
        if (bytes.size() < kLongHeader) return 0;
        divisor_ = static_cast<uint16_t>(bytes[1] | (bytes[2] << kHighByteShift));
        return kLongHeader;
    case opcode::kSendImmediate:
        // Replies are queued as they are made; the flush has nothing to add.
        return 1;
    case opcode::kWaitOnGpiol1High:
    case opcode::kWaitOnGpiol1Low:
        if (gpiol1High() != (op == opcode::kWaitOnGpiol1High)) {
            stalled_ = true;
            waitOpcode_ = op;
        }
        return 1;
    case opcode::kDivideBy5Off:
    case opcode::kDivideBy5On:
        divideBy5_ = op == opcode::kDivideBy5On;
        return 1;
    case opcode::kThreePhaseOn:
    case opcode::kThreePhaseOff:
        threePhase_ = op == opcode::kThreePhaseOn;
        return 1;
    case opcode::kAdaptiveOn:
    case opcode::kAdaptiveOff:
        adaptive_ = op == opcode::kAdaptiveOn;
        return 1;
    case opcode::kClockBits:
    case opcode::kClockBytes:
    case opcode::kClockUntilGpiol1High:
    case opcode::kClockUntilGpiol1Low:
    case opcode::kClockBytesOrUntilGpiol1High:
    case opcode::kClockBytesOrUntilGpiol1Low:
        return executeClockOnly(bytes);
    default:
        badCommand(op);
        return 1;
    }
}

size_t MpsseEngine::executeShift(std::span<const uint8_t> bytes) {
    const uint8_t op = bytes[0];
    const bool bitMode = (op & shift::kBitMode) != 0;
    const bool writes = (op & shift::kWriteTdi) != 0;
    const bool lsbFirst = (op & shift::kLsbFirst) != 0;
    const size_t header = bitMode ? kShortHeader : kLongHeader;
    if (bytes.size() < header) return 0;
    const size_t bits = bitMode ? (bytes[1] & kBitCountMask) + 1u : LongLength(bytes) * kBitsPerByte;
    const size_t dataBytes = !writes ? 0 : (bitMode ? 1 : bits / kBitsPerByte);
    if (bytes.size() < header + dataBytes) return 0;
    const std::span<const uint8_t> data = bytes.subspan(header, dataBytes);

    ShiftPlan plan;
    plan.writeOnFalling = (op & shift::kWriteOnFalling) != 0;
    plan.readOnFalling = (op & shift::kReadOnFalling) != 0;
    plan.read = (op & shift::kReadTdo) != 0;
    plan.dataPin = writes ? adbus::kDo : 0;
    const std::vector<bool> in = clock(bits, plan, [&](size_t i) {
        if (!writes) return false;
        return bitMode ? BitOf(data[0], i, lsbFirst)
                       : BitOf(data[i / kBitsPerByte], i % kBitsPerByte, lsbFirst);
    });

    if (plan.read && in.size() == bits) {
        if (bitMode) {
            // The chip shifts the sampled bits into one byte: LSB first fills
            // from the top (n bits end in bits 8-n..7), MSB first from the bottom.
            uint8_t packed = 0;
            for (bool bit : in) {
                packed = lsbFirst ? static_cast<uint8_t>((packed >> 1) | (bit ? kMsb : 0))
                                  : static_cast<uint8_t>((packed << 1) | (bit ? 1 : 0));
            }
            replies_.push_back(packed);
        } else {
            for (size_t byte = 0; byte < bits / kBitsPerByte; ++byte) {
                uint8_t packed = 0;
                for (size_t j = 0; j < kBitsPerByte; ++j) {
                    if (!in[byte * kBitsPerByte + j]) continue;
                    packed |= static_cast<uint8_t>(1u << (lsbFirst ? j : kBitsPerByte - 1 - j));
                }
                replies_.push_back(packed);
            }
        }
    }
    return header + dataBytes;
}

size_t MpsseEngine::executeTms(std::span<const uint8_t> bytes) {
    const uint8_t op = bytes[0];
    if (bytes.size() < kLongHeader) return 0;
    const size_t bits = std::min<size_t>((bytes[1] & kBitCountMask) + 1u, tms::kMaxBits);
    const uint8_t data = bytes[2];
    setPin(adbus::kDo, (data & tms::kHeldTdiBit) != 0);

    ShiftPlan plan;
    plan.writeOnFalling = (op & shift::kWriteOnFalling) != 0;
    plan.readOnFalling = (op & shift::kReadOnFalling) != 0;
    plan.read = (op & shift::kReadTdo) != 0;
    plan.dataPin = adbus::kCs;
    const std::vector<bool> in = clock(bits, plan, [&](size_t i) { return BitOf(data, i, true); });
    if (plan.read && in.size() == bits) {
        uint8_t packed = 0;
        for (bool bit : in) packed = static_cast<uint8_t>((packed >> 1) | (bit ? kMsb : 0));
        replies_.push_back(packed);
    }
    return kLongHeader;
}

size_t MpsseEngine::executeClockOnly(std::span<const uint8_t> bytes) {
    const uint8_t op = bytes[0];
    size_t used = 1;
    uint64_t limit = kUnboundedClockCap;
    bool untilHigh = false;
    bool conditional = true;
    switch (op) {
    case opcode::kClockBits:
        if (bytes.size() < kShortHeader) return 0;
        used = kShortHeader;
        limit = (bytes[1] & kBitCountMask) + 1u;
        conditional = false;
        break;
    case opcode::kClockBytes:
        if (bytes.size() < kLongHeader) return 0;
        used = kLongHeader;
        limit = LongLength(bytes) * kBitsPerByte;
        conditional = false;
        break;
    case opcode::kClockUntilGpiol1High:
        untilHigh = true;
        break;
    case opcode::kClockUntilGpiol1Low:
        break;
    case opcode::kClockBytesOrUntilGpiol1High:
    case opcode::kClockBytesOrUntilGpiol1Low:
        if (bytes.size() < kLongHeader) return 0;
        used = kLongHeader;
        limit = LongLength(bytes) * kBitsPerByte;
        untilHigh = op == opcode::kClockBytesOrUntilGpiol1High;
        break;
    default:
        break;
    }
    const bool unbounded = op == opcode::kClockUntilGpiol1High || op == opcode::kClockUntilGpiol1Low;
    uint64_t done = 0;
    while (done < limit && !(conditional && gpiol1High() == untilHigh)) {
        if (!idleCycle()) return used;
        ++done;
    }
    if (unbounded && done == limit) {
        stalled_ = true;
        waitOpcode_ = op;
    }
    return used;
}

std::vector<bool> MpsseEngine::clock(size_t count, const ShiftPlan& plan,
                                     const std::function<bool(size_t)>& bitAt) {
    std::vector<bool> in;
    in.reserve(plan.read ? count : 0);
    const bool idle = (low_.value & adbus::kSk) != 0;
    // A cycle is two edges: away from the idle level and back. With SK idling
    // low the first edge rises. Data written on the second edge is set up
    // when the command starts, so it is stable across the first edge.
    const bool firstEdgeFalls = idle;
    const bool writeOnFirst = plan.writeOnFalling == firstEdgeFalls;
    const bool readOnFirst = plan.readOnFalling == firstEdgeFalls;
    if (plan.dataPin != 0 && !writeOnFirst && count > 0) setPin(plan.dataPin, bitAt(0));
    for (size_t i = 0; i < count; ++i) {
        auto sample = [&] {
            if (plan.read) in.push_back(sampleDi());
        };
        auto nothing = [] {};
        const bool ok = edge(
            !idle, readOnFirst ? std::function<void()>(sample) : nothing,
            [&] {
                if (plan.dataPin != 0 && writeOnFirst) setPin(plan.dataPin, bitAt(i));
            });
        if (!ok) return in;
        const bool ok2 = edge(idle, readOnFirst ? std::function<void()>(nothing) : sample, [&] {
            if (plan.dataPin != 0 && !writeOnFirst && i + 1 < count) setPin(plan.dataPin, bitAt(i + 1));
        });
        chargeCycle();
        if (!ok2) return in;
    }
    return in;
}

bool MpsseEngine::idleCycle() {
    const bool idle = (low_.value & adbus::kSk) != 0;
    auto nothing = [] {};
    const bool ok = edge(!idle, nothing, nothing) && edge(idle, nothing, nothing);
    chargeCycle();
    return ok;
}

bool MpsseEngine::edge(bool toLevel, const std::function<void()>& sampleBefore,
                       const std::function<void()>& changeAfter) {
    sampleBefore();
    setPin(adbus::kSk, toLevel);
    if (adaptive_ && ((pins_.lowLevels() & adbus::kGpiol3) != 0) != toLevel) {
        // Adaptive clocking waits for RTCK on GPIOL3 to follow TCK. Nothing on
        // the board echoes it, so the chip hangs here.
        stalled_ = true;
        waitOpcode_ = opcode::kAdaptiveOn;
        return false;
    }
    changeAfter();
    return true;
}

bool MpsseEngine::sampleDi() const {
    if (loopback_) return (low_.value & adbus::kDo) != 0;
    return (pins_.lowLevels() & adbus::kDi) != 0;
}

void MpsseEngine::setPin(uint8_t pin, bool level) {
    const uint8_t value = level ? static_cast<uint8_t>(low_.value | pin) : static_cast<uint8_t>(low_.value & ~pin);
    if (value == low_.value) return;
    low_.value = value;
    publish();
}

void MpsseEngine::publish() {
    pins_.hostPinsChanged(low_, high_);
}

bool MpsseEngine::gpiol1High() const {
    return (pins_.lowLevels() & adbus::kGpiol1) != 0;
}

void MpsseEngine::chargeCycle() {
    ++cycles_;
    const uint64_t baseMhz =
        config_.chip == ChipType::Ft2232H && !divideBy5_ ? clock::kFastBaseMhz : clock::kSlowBaseMhz;
    uint64_t units = (1u + static_cast<uint64_t>(divisor_)) * clock::kTimeUnitsPerNs *
                     clock::kNsPerMicrosecond / baseMhz;
    // Three-phase clocking only stretches the cycle: the data still moves on
    // the edges the opcode names.
    if (threePhase_) units = units * clock::kThreePhaseNumerator / clock::kThreePhaseDenominator;
    time_.elapse(units);
}

}  // namespace cm3sim
