// The JTAG engine on MPSSE. Only commands both chip generations decode are
// sent: an FT2232D answers the H-only opcodes with a bad-command reply that
// would land among the captures, and an H part's reset defaults already give
// the 6 MHz / (1 + divisor) clock.
#include "adapter/mpsse_jtag_engine.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>

#include "adapter/backend.h"
#include "adapter/jtag_mpsse_scan.h"
#include "adapter/mpsse.h"

namespace cm3probe::adapter {
namespace {

using jtag_mpsse::Register;

// Failure codes of this engine besides the driver's own, passed on from open
// and close.
namespace status {
inline constexpr JtagStatus kBadArgument = 2;   // null pointer, unknown register or final state, bad length
inline constexpr JtagStatus kNoDevice = 3;      // no listed device at that index
inline constexpr JtagStatus kUsb = 4;           // the driver refused a call
inline constexpr JtagStatus kShortTransfer = 5; // fewer bytes moved than asked for
inline constexpr JtagStatus kSequenceFull = 6;  // the command sequence has no room left
inline constexpr JtagStatus kNoRoom = 7;        // the read-back area cannot take the captures
inline constexpr JtagStatus kNoMemory = 8;
inline constexpr JtagStatus kOutOfStep = 9;     // the engine did not answer the sync probe as it must
}  // namespace status

// Replies not pushed out by send-immediate wait for the chip's latency timer:
// 2 ms, not the 16 ms it starts with.
inline constexpr uint8_t kLatencyMs = 2;
inline constexpr uint32_t kListingRoom = 8;

// Entries the command sequence holds: a block transfer queues 1032, a few
// times that leaves room for callers that queue more.
inline constexpr uint32_t kSequenceEntries = 4096;
inline constexpr uint32_t kDapScanBits = 35;
inline constexpr uint32_t kSequenceCommandBytes = kSequenceEntries * jtag_mpsse::CommandSize(kDapScanBits);
inline constexpr uint32_t kSequenceReplyBytes = kSequenceEntries * jtag_mpsse::ReplySize(kDapScanBits);
inline constexpr uint32_t kSendImmediateBytes = 1;
inline constexpr uint8_t kByteMask = 0xFF;
inline constexpr unsigned kHighByteShift = 8;
// Opcode, value, direction.
inline constexpr uint32_t kPinCommandSize = 3;
inline constexpr uint32_t kPinGroups = 2;

// TMS high and TCK low: however often the TAP is clocked from here it only
// heads for Test-Logic-Reset.
inline constexpr uint8_t kJtagIdleLevels = mpsse::pin::kTms;
// 40 bits, least significant first; the last 35 leave the DPACC/APACC
// register holding RnW 1, A[3:2] 01 (a read of CTRL/STAT or TAR), data 0,
// which the ABORT register also takes as doing nothing.
inline constexpr uint8_t kHarmlessScan[] = {0x60, 0x00, 0x00, 0x00, 0x00};

struct QueuedRead {
    uint32_t replyOffset;
    uint32_t bits;
};

struct Sequence {
    uint32_t entries = 0;
    uint32_t commandBytes = 0;
    uint32_t replyBytes = 0;
    uint32_t reads = 0;
    uint32_t captureBytes = 0;
    bool tdiAfter = false;  // TDI level once the queued scans ran
    std::array<uint8_t, kSequenceCommandBytes + kSendImmediateBytes> commands{};
    std::array<uint8_t, kSequenceReplyBytes> replies{};
    std::array<QueuedRead, kSequenceEntries> readList{};
};

struct Engine {
    const UsbDriver* usb = nullptr;
    UsbHandle device = nullptr;
    // The pins as last driven: JTAG levels and the general-purpose pins of the
    // last pin call, which every later low- or high-byte command repeats.
    uint8_t lowValue = kJtagIdleLevels;
    uint8_t lowDirection = mpsse::pin::kJtagOutputs;
    uint8_t highValue = 0;
    uint8_t highDirection = 0;
    // A failed exchange may still have replies on the way; they are dropped
    // before the next reply is waited for, or every later capture would be off.
    bool repliesStale = false;
    std::array<uint8_t, jtag_mpsse::CommandSize(jtag_mpsse::kMaxBits) + kSendImmediateBytes> scanCommands{};
    std::array<uint8_t, jtag_mpsse::ReplySize(jtag_mpsse::kMaxBits)> scanReply{};
    Sequence sequence;
};

Engine* AsEngine(JtagHandle handle) { return static_cast<Engine*>(handle); }

uint8_t LowByte(uint32_t value) { return static_cast<uint8_t>(value & kByteMask); }
uint8_t HighByte(uint32_t value) { return static_cast<uint8_t>((value >> kHighByteShift) & kByteMask); }

void SetTdi(Engine& engine, bool high) {
    engine.lowValue = static_cast<uint8_t>(high ? engine.lowValue | mpsse::pin::kTdi
                                                : engine.lowValue & ~mpsse::pin::kTdi);
}

// Sends `count` command bytes and waits for `replyCount` reply bytes. A read
// that brings some bytes but not all is asked again for the rest: at the
// slowest clock a long sequence outlasts one read timeout. A read that brings
// nothing fails the exchange, and no reply byte is handed on.
JtagStatus Exchange(Engine& engine, const uint8_t* commands, uint32_t count, uint8_t* reply, uint32_t replyCount) {
    const UsbDriver& usb = *engine.usb;
    if (replyCount != 0 && engine.repliesStale) {
        if (usb.purge(engine.device, purge::kReceive) != kUsbOk) return status::kUsb;
        engine.repliesStale = false;
    }
    uint32_t written = 0;
    if (usb.write(engine.device, commands, count, &written) != kUsbOk) {
        engine.repliesStale = true;
        return status::kUsb;
    }
    if (written != count) {
        engine.repliesStale = true;
        return status::kShortTransfer;
    }
    uint32_t received = 0;
    while (received < replyCount) {
        uint32_t got = 0;
        const UsbStatus read = usb.read(engine.device, reply + received, replyCount - received, &got);
        if (read != kUsbOk || got == 0 || got > replyCount - received) {
            engine.repliesStale = true;
            return read != kUsbOk ? status::kUsb : status::kShortTransfer;
        }
        received += got;
    }
    return kJtagOk;
}

bool ValidScan(JtagHandle handle, uint32_t reg, uint32_t bits, uint32_t finalState) {
    return handle != nullptr && (reg == jtag::kDataRegister || reg == jtag::kInstructionRegister) &&
           bits != 0 && bits <= jtag_mpsse::kMaxBits && finalState == jtag::kRunTestIdle;
}

bool ValidRequest(uint32_t bits, const uint8_t* data, uint32_t byteCount) {
    return data != nullptr && byteCount >= jtag_mpsse::ByteCount(bits);
}

Register ToRegister(uint32_t reg) {
    return reg == jtag::kInstructionRegister ? Register::Instruction : Register::Data;
}

// One scan on its own: commands, send-immediate when it reads, capture.
JtagStatus Scan(Engine& engine, Register reg, uint32_t bits, const uint8_t* tdi, uint8_t* capture,
                uint32_t* captureCount) {
    const bool read = capture != nullptr;
    uint32_t count = jtag_mpsse::BuildScan(engine.scanCommands.data(), reg, bits, tdi, read);
    if (read) engine.scanCommands[count++] = mpsse::kSendImmediate;
    const uint32_t replyCount = read ? jtag_mpsse::ReplySize(bits) : 0;
    const JtagStatus result =
        Exchange(engine, engine.scanCommands.data(), count, engine.scanReply.data(), replyCount);
    if (result != kJtagOk) return result;
    SetTdi(engine, jtag_mpsse::LastTdiBit(bits, tdi));
    if (read) {
        jtag_mpsse::UnpackCapture(engine.scanReply.data(), bits, capture);
        if (captureCount != nullptr) *captureCount = jtag_mpsse::ByteCount(bits);
    }
    return kJtagOk;
}

JtagStatus Enqueue(Engine& engine, Register reg, uint32_t bits, const uint8_t* tdi, bool read) {
    Sequence& sequence = engine.sequence;
    const uint32_t replyCount = read ? jtag_mpsse::ReplySize(bits) : 0;
    if (sequence.entries == kSequenceEntries ||
        sequence.commandBytes + jtag_mpsse::CommandSize(bits) > kSequenceCommandBytes ||
        sequence.replyBytes + replyCount > kSequenceReplyBytes) {
        return status::kSequenceFull;
    }
    sequence.commandBytes +=
        jtag_mpsse::BuildScan(sequence.commands.data() + sequence.commandBytes, reg, bits, tdi, read);
    if (read) {
        sequence.readList[sequence.reads++] = QueuedRead{sequence.replyBytes, bits};
        sequence.replyBytes += replyCount;
        sequence.captureBytes += jtag_mpsse::ByteCount(bits);
    }
    sequence.tdiAfter = jtag_mpsse::LastTdiBit(bits, tdi);
    ++sequence.entries;
    return kJtagOk;
}

void ClearSequence(Sequence& sequence) {
    sequence.entries = 0;
    sequence.commandBytes = 0;
    sequence.replyBytes = 0;
    sequence.reads = 0;
    sequence.captureBytes = 0;
}

uint32_t ListDevices(Description* listing, uint32_t room, uint32_t* count) {
    const UsbDriver* usb = ActiveBackend().usb;
    if (usb == nullptr) return status::kUsb;
    return usb->listByDescription(listing, room, count) == kUsbOk ? kJtagOk : status::kUsb;
}

// ---- the fourteen operations ----

JtagStatus DeviceCount(uint32_t* count) {
    if (count == nullptr) return status::kBadArgument;
    Description listing[kListingRoom];
    uint32_t found = 0;
    const JtagStatus result = ListDevices(listing, kListingRoom, &found);
    if (result != kJtagOk) return result;
    *count = found;
    return kJtagOk;
}

// The location is the device's index in the driver's listing; the driver opens
// by description alone, so it is reported but not needed to open.
JtagStatus DeviceName(uint32_t index, char* name, uint32_t nameSize, uint32_t* location) {
    if (name == nullptr || nameSize == 0 || location == nullptr) return status::kBadArgument;
    try {
        uint32_t room = kListingRoom;
        auto listing = std::make_unique<Description[]>(room);
        uint32_t count = 0;
        JtagStatus result = ListDevices(listing.get(), room, &count);
        if (result == kJtagOk && count > room && index >= room) {
            room = count;
            listing = std::make_unique<Description[]>(room);
            result = ListDevices(listing.get(), room, &count);
        }
        if (result != kJtagOk) return result;
        if (index >= std::min(count, room)) return status::kNoDevice;
        const char* entry = listing[index];
        const size_t length = strnlen(entry, kDescriptionSize - 1);
        const size_t copied = std::min<size_t>(length, nameSize - 1);
        std::memcpy(name, entry, copied);
        name[copied] = '\0';
        *location = index;
        return kJtagOk;
    } catch (...) {
        return status::kNoMemory;
    }
}

JtagStatus Open(const char* name, uint32_t /*location*/, JtagHandle* handle) {
    if (name == nullptr || handle == nullptr) return status::kBadArgument;
    const UsbDriver* usb = ActiveBackend().usb;
    if (usb == nullptr) return status::kUsb;
    std::unique_ptr<Engine> engine(new (std::nothrow) Engine);
    if (!engine) return status::kNoMemory;
    engine->usb = usb;
    const UsbStatus opened = usb->openByDescription(name, &engine->device);
    if (opened != kUsbOk) return opened;
    if (usb->setBitMode(engine->device, mpsse::pin::kJtagOutputs, bitmode::kMpsse) != kUsbOk ||
        usb->setLatencyTimer(engine->device, kLatencyMs) != kUsbOk) {
        (void)usb->close(engine->device);
        return status::kUsb;
    }
    *handle = engine.release();
    return kJtagOk;
}

// A failed close leaves the handle usable, so the caller may close it again.
JtagStatus Close(JtagHandle handle) {
    if (handle == nullptr) return status::kBadArgument;
    Engine* engine = AsEngine(handle);
    const UsbStatus closed = engine->usb->close(engine->device);
    if (closed == kUsbOk) delete engine;
    return closed;
}

// Also what brings the engine back after a failed exchange: a purge may leave
// a half-received command in the chip, and only leaving MPSSE mode drops it.
JtagStatus Initialise(JtagHandle handle, uint32_t divisor) {
    if (handle == nullptr) return status::kBadArgument;
    Engine& engine = *AsEngine(handle);
    const UsbDriver& usb = *engine.usb;
    divisor = std::min(divisor, mpsse::kMaxDivisor);
    if (usb.purge(engine.device, purge::kBoth) != kUsbOk ||
        usb.setBitMode(engine.device, mpsse::pin::kJtagOutputs, bitmode::kReset) != kUsbOk ||
        usb.setBitMode(engine.device, mpsse::pin::kJtagOutputs, bitmode::kMpsse) != kUsbOk ||
        usb.purge(engine.device, purge::kBoth) != kUsbOk) {
        return status::kUsb;
    }
    engine.repliesStale = false;
    engine.lowValue = static_cast<uint8_t>((engine.lowValue & mpsse::pin::kLowGpioMask) | kJtagIdleLevels);
    engine.lowDirection = static_cast<uint8_t>((engine.lowDirection & mpsse::pin::kLowGpioMask) |
                                               mpsse::pin::kJtagOutputs);
    // A scan cut short leaves the TAP in Shift-DR, and every way out passes
    // Update-DR: fill the register with a harmless read first (TMS low keeps
    // the TAP where it is in any other state). Then pins as last set (the
    // board's wiring select among them), the TAP walked to Run-Test/Idle, and
    // a bad opcode whose echo proves that every byte before it was taken as a
    // command.
    const uint8_t shiftLevels = static_cast<uint8_t>(engine.lowValue & ~mpsse::pin::kTms);
    const uint8_t commands[] = {
        mpsse::kSetDivisor,   LowByte(divisor),    HighByte(divisor),
        mpsse::kLoopbackOff,
        mpsse::kSetLowBits,   shiftLevels,         engine.lowDirection,
        mpsse::kSetHighBits,  engine.highValue,    engine.highDirection,
        mpsse::kBytesOutNeg,  mpsse::LengthLow(sizeof kHarmlessScan), mpsse::LengthHigh(sizeof kHarmlessScan),
        kHarmlessScan[0], kHarmlessScan[1], kHarmlessScan[2], kHarmlessScan[3], kHarmlessScan[4],
        mpsse::kSetLowBits,   engine.lowValue,     engine.lowDirection,
        mpsse::kTmsOutNeg,    mpsse::LengthLow(jtag_mpsse::tap::kResetToIdleClocks), jtag_mpsse::tap::kResetToIdle,
        mpsse::kSyncProbe,
        mpsse::kSendImmediate,
    };
    uint8_t echo[sizeof mpsse::kSyncEcho] = {};
    const JtagStatus result = Exchange(engine, commands, sizeof commands, echo, sizeof echo);
    if (result != kJtagOk) return result;
    if (!std::equal(echo, echo + sizeof echo, mpsse::kSyncEcho)) {
        engine.repliesStale = true;
        return status::kOutOfStep;
    }
    // The TMS command left TMS low (Run-Test/Idle) and TDI low.
    engine.lowValue = static_cast<uint8_t>(engine.lowValue & mpsse::pin::kLowGpioMask);
    return kJtagOk;
}

void ApplyGroup(const PinRecord& record, unsigned shift, uint8_t& value, uint8_t& direction) {
    for (uint32_t i = 0; i < jtag::kPinsPerGroup; ++i) {
        const uint8_t bit = static_cast<uint8_t>(1u << (shift + i));
        value = static_cast<uint8_t>(record.pin[i].high != 0 ? value | bit : value & ~bit);
        direction = static_cast<uint8_t>(record.pin[i].output != 0 ? direction | bit : direction & ~bit);
    }
}

JtagStatus SetPins(JtagHandle handle, uint32_t controlLow, const PinRecord* low, uint32_t controlHigh,
                   const PinRecord* high) {
    if (handle == nullptr || (controlLow != 0 && low == nullptr) || (controlHigh != 0 && high == nullptr)) {
        return status::kBadArgument;
    }
    Engine& engine = *AsEngine(handle);
    uint8_t lowValue = engine.lowValue;
    uint8_t lowDirection = engine.lowDirection;
    uint8_t highValue = engine.highValue;
    uint8_t highDirection = engine.highDirection;
    uint8_t commands[kPinCommandSize * kPinGroups];
    uint32_t count = 0;
    if (controlLow != 0) {
        ApplyGroup(*low, mpsse::pin::kLowGpioShift, lowValue, lowDirection);
        commands[count++] = mpsse::kSetLowBits;
        commands[count++] = lowValue;
        commands[count++] = lowDirection;
    }
    if (controlHigh != 0) {
        ApplyGroup(*high, mpsse::high_pin::kGpioShift, highValue, highDirection);
        commands[count++] = mpsse::kSetHighBits;
        commands[count++] = highValue;
        commands[count++] = highDirection;
    }
    if (count == 0) return kJtagOk;
    const JtagStatus result = Exchange(engine, commands, count, nullptr, 0);
    if (result != kJtagOk) return result;
    engine.lowValue = lowValue;
    engine.lowDirection = lowDirection;
    engine.highValue = highValue;
    engine.highDirection = highDirection;
    return kJtagOk;
}

JtagStatus ScanWrite(JtagHandle handle, uint32_t reg, uint32_t bits, const uint8_t* data, uint32_t byteCount,
                     uint32_t finalState) {
    if (!ValidScan(handle, reg, bits, finalState) || !ValidRequest(bits, data, byteCount)) {
        return status::kBadArgument;
    }
    return Scan(*AsEngine(handle), ToRegister(reg), bits, data, nullptr, nullptr);
}

JtagStatus ScanRead(JtagHandle handle, uint32_t reg, uint32_t bits, uint8_t* capture, uint32_t* captureCount,
                    uint32_t finalState) {
    if (!ValidScan(handle, reg, bits, finalState) || capture == nullptr) return status::kBadArgument;
    std::array<uint8_t, jtag_mpsse::ByteCount(jtag_mpsse::kMaxBits)> pattern{};
    jtag_mpsse::ReadOnlyPattern(ToRegister(reg), bits, pattern.data());
    return Scan(*AsEngine(handle), ToRegister(reg), bits, pattern.data(), capture, captureCount);
}

JtagStatus ScanWriteRead(JtagHandle handle, uint32_t reg, uint32_t bits, const uint8_t* data, uint32_t byteCount,
                         uint8_t* capture, uint32_t* captureCount, uint32_t finalState) {
    if (!ValidScan(handle, reg, bits, finalState) || !ValidRequest(bits, data, byteCount) || capture == nullptr) {
        return status::kBadArgument;
    }
    return Scan(*AsEngine(handle), ToRegister(reg), bits, data, capture, captureCount);
}

JtagStatus Clear(JtagHandle handle) {
    if (handle == nullptr) return status::kBadArgument;
    ClearSequence(AsEngine(handle)->sequence);
    return kJtagOk;
}

JtagStatus QueueWrite(JtagHandle handle, uint32_t reg, uint32_t bits, const uint8_t* data, uint32_t byteCount,
                      uint32_t finalState) {
    if (!ValidScan(handle, reg, bits, finalState) || !ValidRequest(bits, data, byteCount)) {
        return status::kBadArgument;
    }
    return Enqueue(*AsEngine(handle), ToRegister(reg), bits, data, false);
}

JtagStatus QueueRead(JtagHandle handle, uint32_t reg, uint32_t bits, uint32_t finalState) {
    if (!ValidScan(handle, reg, bits, finalState)) return status::kBadArgument;
    std::array<uint8_t, jtag_mpsse::ByteCount(jtag_mpsse::kMaxBits)> pattern{};
    jtag_mpsse::ReadOnlyPattern(ToRegister(reg), bits, pattern.data());
    return Enqueue(*AsEngine(handle), ToRegister(reg), bits, pattern.data(), true);
}

JtagStatus QueueWriteRead(JtagHandle handle, uint32_t reg, uint32_t bits, const uint8_t* data,
                          uint32_t byteCount, uint32_t finalState) {
    if (!ValidScan(handle, reg, bits, finalState) || !ValidRequest(bits, data, byteCount)) {
        return status::kBadArgument;
    }
    return Enqueue(*AsEngine(handle), ToRegister(reg), bits, data, true);
}

// Everything queued goes out in one write and its replies come back in one
// read: the drivers drain the chip's replies while a long write is still
// going, so the chip never stalls on a full reply buffer. Each capture takes
// ByteCount(bits) bytes of the read-back area, so 5 for a DAP scan. The
// sequence is empty afterwards, whatever happened.
JtagStatus Execute(JtagHandle handle, uint8_t* readBack, uint32_t capacity, uint32_t* byteCount) {
    if (handle == nullptr || byteCount == nullptr) return status::kBadArgument;
    Engine& engine = *AsEngine(handle);
    Sequence& sequence = engine.sequence;
    *byteCount = 0;
    JtagStatus result = kJtagOk;
    if (sequence.reads != 0 && (readBack == nullptr || capacity < sequence.captureBytes)) {
        result = status::kNoRoom;
    } else if (sequence.commandBytes != 0) {
        uint32_t count = sequence.commandBytes;
        if (sequence.reads != 0) sequence.commands[count++] = mpsse::kSendImmediate;
        result = Exchange(engine, sequence.commands.data(), count, sequence.replies.data(), sequence.replyBytes);
    }
    if (result == kJtagOk && sequence.entries != 0) {
        SetTdi(engine, sequence.tdiAfter);
        uint32_t offset = 0;
        for (uint32_t i = 0; i < sequence.reads; ++i) {
            const QueuedRead& read = sequence.readList[i];
            jtag_mpsse::UnpackCapture(sequence.replies.data() + read.replyOffset, read.bits, readBack + offset);
            offset += jtag_mpsse::ByteCount(read.bits);
        }
        *byteCount = offset;
    }
    ClearSequence(sequence);
    return result;
}

constexpr JtagEngine kEngine{
    .name = "mpsse",
    .deviceCount = DeviceCount,
    .deviceName = DeviceName,
    .open = Open,
    .close = Close,
    .initialise = Initialise,
    .setPins = SetPins,
    .scanWrite = ScanWrite,
    .scanRead = ScanRead,
    .scanWriteRead = ScanWriteRead,
    .clearSequence = Clear,
    .queueWrite = QueueWrite,
    .queueRead = QueueRead,
    .queueWriteRead = QueueWriteRead,
    .executeSequence = Execute,
};

}  // namespace

const JtagEngine& MpsseJtagEngine() { return kEngine; }

}  // namespace cm3probe::adapter
