#include "session.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <unistd.h>
#include <cerrno>

#include "common/fault_catch.h"
#include "common/target_registers.h"
#include "descriptions.h"
#include "packet.h"

namespace cm3tools::gdb {
namespace {

// The one thread GDB sees.
inline constexpr std::string_view kThreadId = "1";
inline constexpr std::string_view kAllThreads = "-1";
inline constexpr std::string_view kAnyThread = "0";

inline constexpr std::string_view kOk = "OK";

// Sent with every stop (GDB numbers): GDB reads the PC, the stack and frame
// pointers, the return address and the Thumb bit before anything else, and
// its M-profile unwinder both stack pointers. Missing one, it asks for `g`:
// every register.
inline constexpr std::array<uint32_t, 7> kExpedited = {7, 13, 14, 15, 16, 17, 18};

// Packets after which the registers read before still hold: they neither run
// the core nor write it (register writes keep the cache themselves).
bool KeepsRegisters(std::string_view packet) {
    switch (packet[0]) {
    case '?':
    case 'g':
    case 'G':
    case 'p':
    case 'P':
    case 'm':
    case 'M':
    case 'X':
    case 'H':
    case 'T':
    case 'Z':
    case 'z':
    case 'Q': return true;
    case 'q': return !packet.starts_with("qRcmd,");
    default: return false;
    }
}
inline constexpr std::string_view kEmpty = "";

namespace thumb {
inline constexpr uint16_t kBkpt0 = 0xBE00;  // BKPT #0: halts the core under a debugger
inline constexpr uint32_t kHalfword = 2;
inline constexpr uint32_t kByteBits = 8;
inline constexpr uint16_t kByteMask = 0xFF;
}  // namespace thumb

namespace breakpoint_type {
inline constexpr uint32_t kSoftware = 0;
inline constexpr uint32_t kHardware = 1;
inline constexpr uint32_t kWriteWatchpoint = 2;
inline constexpr uint32_t kReadWatchpoint = 3;
inline constexpr uint32_t kAccessWatchpoint = 4;
}  // namespace breakpoint_type

std::optional<WatchKind> WatchpointKind(uint32_t type) {
    switch (type) {
    case breakpoint_type::kWriteWatchpoint: return WatchKind::kWrite;
    case breakpoint_type::kReadWatchpoint: return WatchKind::kRead;
    case breakpoint_type::kAccessWatchpoint: return WatchKind::kAccess;
    default: return std::nullopt;
    }
}

// The stop reply's reason for a watchpoint, as GDB names the kinds.
std::string_view StopReason(WatchKind kind) {
    switch (kind) {
    case WatchKind::kWrite: return "watch";
    case WatchKind::kRead: return "rwatch";
    case WatchKind::kAccess: return "awatch";
    }
    return "watch";
}

DebugResult ReadTargetWord(void* target, uint32_t address, uint32_t* value) {
    return static_cast<Target*>(target)->readWord(address, value);
}
DebugResult WriteTargetWord(void* target, uint32_t address, uint32_t value) {
    return static_cast<Target*>(target)->writeWord(address, value);
}

inline constexpr uint64_t kAddressSpace = uint64_t{1} << 32;
inline constexpr uint32_t kWordBytes = 4;
// Memory reads up to this long are widened to whole words.
inline constexpr uint32_t kSmallRead = 16;
inline constexpr size_t kHexDigitsPerByte = 2;

std::string_view Rest(std::string_view packet, size_t prefix) {
    return packet.size() > prefix ? packet.substr(prefix) : std::string_view{};
}

// "a,b" with hex numbers.
std::optional<std::pair<uint32_t, uint32_t>> AddressLength(std::string_view text) {
    const size_t comma = text.find(',');
    if (comma == std::string_view::npos) return std::nullopt;
    const auto address = ParseHex32(text.substr(0, comma));
    const auto length = ParseHex32(text.substr(comma + 1));
    if (!address || !length) return std::nullopt;
    if (uint64_t{*address} + *length > kAddressSpace) return std::nullopt;
    return std::make_pair(*address, *length);
}

// "a,b:data"
struct AddressData {
    uint32_t address;
    uint32_t length;
    std::string_view data;
};
std::optional<AddressData> SplitAddressData(std::string_view text) {
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const auto range = AddressLength(text.substr(0, colon));
    if (!range) return std::nullopt;
    return AddressData{range->first, range->second, text.substr(colon + 1)};
}

std::span<const uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::string Trim(std::string_view text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    return std::string(text.substr(begin, end - begin));
}

std::string HexText(uint64_t value) {
    char text[sizeof(value) * kHexDigitsPerByte + 1];
    std::snprintf(text, sizeof(text), "%llx", static_cast<unsigned long long>(value));
    return text;
}

std::string Output(std::string_view text) {
    return "O" + ToHex(text);
}

// The target's side of semihosting: the Target interface.
semihosting::TargetAccess Access(Target& target) {
    return semihosting::TargetAccess{
        [](void* t, uint32_t selector, uint32_t* value) { return static_cast<Target*>(t)->readRegister(selector, value); },
        [](void* t, uint32_t selector, uint32_t value) { return static_cast<Target*>(t)->writeRegister(selector, value); },
        [](void* t, uint32_t address, uint8_t* buffer, uint32_t count) {
            return static_cast<Target*>(t)->readMemory(address, buffer, count);
        },
        [](void* t, uint32_t address, const uint8_t* data, uint32_t count) {
            return static_cast<Target*>(t)->writeMemory(address, data, count);
        },
        &target};
}

inline constexpr uint32_t kCentisecondsPerSecond = 100;

size_t ReadStdin(void*, std::span<char> buffer) {
    while (true) {
        const ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        return n < 0 ? 0 : static_cast<size_t>(n);
    }
}

bool ThreadMatches(std::string_view tid) {
    return tid.empty() || tid == kThreadId || tid == kAllThreads || tid == kAnyThread;
}

}  // namespace

Session::Session(Target& target, std::ostream* log, Options options)
    : target_(target), log_(log), watchpoints_(WordBus{ReadTargetWord, WriteTargetWord, &target}), options_(options) {
    semihostingHooks_ = semihosting::Hooks{
        // Both streams go to GDB's console.
        [](void* self, int, std::span<const char> bytes) {
            static_cast<Session*>(self)->output_.push_back(Output(std::string_view(bytes.data(), bytes.size())));
        },
        options.console ? ReadStdin : nullptr,
        [](void*) { return static_cast<uint64_t>(std::clock()) * kCentisecondsPerSecond / CLOCKS_PER_SEC; },
        [](void*) { return static_cast<uint64_t>(std::time(nullptr)); },
        this,
        {},
        {},
        memory_map::kSramBase + memory_map::kSramSize};
}

DebugResult Session::resumeCore() {
    if (!options_.semihosting) return target_.resume();
    // Firmware run as a test: a fault halts where it happened.
    uint32_t dhcsr = 0;
    return ResumeWithFaultCatch(WordAccess{ReadTargetWord, WriteTargetWord, &target_}, &dhcsr);
}

Session::Served Session::serveSemihosting(Reply& reply, bool stepping) {
    if (!options_.semihosting) return Served::kNotACall;
    // A breakpoint GDB set on the call stops there like any other; the step
    // off it serves the call.
    uint32_t pc = 0;
    if (!stepping && target_.readRegister(regsel::kPc, &pc) == DBG_OK && breakpoints_.contains(pc & ~kThumbBit)) {
        return Served::kNotACall;
    }
    const semihosting::TargetAccess access = Access(target_);
    DebugResult result = DBG_OK;
    if (!semihosting::AtSemihostingCall(access, result)) return Served::kNotACall;
    const semihosting::Outcome outcome = semihosting::ServeSemihostingCall(access, semihostingState_, semihostingHooks_);
    switch (outcome.kind) {
    case semihosting::Outcome::Kind::kContinue: return Served::kContinue;
    case semihosting::Outcome::Kind::kExit:
        // GDB's "exited with code N".
        reply = "W" + RegisterHex(static_cast<uint8_t>(outcome.exitCode), 1);
        return Served::kStopped;
    case semihosting::Outcome::Kind::kProbeFailure: break;
    }
    note("a semihosting call failed on the probe");
    reply = haltedReply();
    return Served::kStopped;
}

void Session::note(std::string_view text) const {
    if (log_ != nullptr) *log_ << "gdbserver: " << text << std::endl;
}

std::string Session::expedited() {
    std::string out;
    for (const uint32_t number : kExpedited) {
        const auto value = cachedRegister(Registers()[number].core.selector);
        if (value) out += RegisterHex(number, 1) + ":" + RegisterHex(*value, Registers()[number].bytes()) + ";";
    }
    return out;
}

Session::Reply Session::stopReply(uint8_t signal) {
    return "T" + RegisterHex(signal, sizeof(signal)) + expedited() + "thread:" + std::string(kThreadId) + ";";
}

Session::Reply Session::haltedReply() {
    lastSignal_ = signal_number::kTrap;
    if (watchpoints_.empty()) return stopReply(lastSignal_);
    uint32_t status = 0;
    if (target_.readWord(dfsr::kAddress, &status) != DBG_OK || (status & dfsr::kDwtTrap) == 0) {
        return stopReply(lastSignal_);
    }
    // Write ones to clear; left set, the next stop would only ask the comparators again.
    (void)target_.writeWord(dfsr::kAddress, status & dfsr::kAll);
    DebugResult result = DBG_OK;
    const auto hit = watchpoints_.matched(result);
    if (result != DBG_OK) note("could not read every DWT comparator after a watchpoint halt");
    if (!hit) return stopReply(lastSignal_);
    return "T" + RegisterHex(lastSignal_, sizeof(lastSignal_)) + std::string(StopReason(hit->kind)) + ":" +
           HexText(hit->address) + ";" + expedited() + "thread:" + std::string(kThreadId) + ";";
}

void Session::attach() {
    forgetCaches();
    running_ = false;
    lastSignal_ = signal_number::kTrap;
    uint32_t dhcsr = 0;
    const DebugResult state = target_.coreState(&dhcsr);
    const bool halted = state == DBG_OK && (dhcsr & dhcsr::kSHalt) != 0;
    if (!halted && target_.halt() != DBG_OK) {
        note("could not halt the core for the debugger");
        return;
    }
    // Locked up (a blank chip is): S_LOCKUP while it ran, or the PC it reads halted there.
    uint32_t pc = 0;
    const bool lockedUp = (state == DBG_OK && (dhcsr & dhcsr::kSLockup) != 0) ||
                          (target_.readRegister(regsel::kPc, &pc) == DBG_OK && pc == kLockupPc);
    if (lockedUp) lastSignal_ = signal_number::kSegv;
}

void Session::release() {
    forgetCaches();
    if (removeAllBreakpoints() != DBG_OK) note("could not remove every breakpoint");
    running_ = false;
}

Session::Response Session::handle(std::string_view packet) {
    if (packet.empty()) return {{std::string(kEmpty)}};
    if (!KeepsRegisters(packet)) forgetCaches();
    const std::string_view args = Rest(packet, 1);
    switch (packet[0]) {
    case '?': return {{stopReply(lastSignal_)}};
    case 'g': return {{args.empty() ? readRegisters() : std::string(error_reply::kMalformed)}};
    case 'G': return {{writeRegisters(args)}};
    case 'p': return {{readRegister(args)}};
    case 'P': return {{writeRegister(args)}};
    case 'm': return {{readMemory(args)}};
    case 'M': return {{writeMemoryHex(args)}};
    case 'X': return {{writeMemoryBinary(args)}};
    case 'c': return resumeAction(args, false);
    case 's': return resumeAction(args, true);
    case 'C':
    case 'S': {
        // The signal is not delivered: the target has no signals.
        const size_t semicolon = args.find(';');
        if (!ParseHex32(args.substr(0, semicolon))) return {{std::string(error_reply::kMalformed)}};
        const std::string_view address = semicolon == std::string_view::npos ? kEmpty : args.substr(semicolon + 1);
        return resumeAction(address, packet[0] == 'S');
    }
    case 'Z': return {{insertBreakpoint(args)}};
    case 'z': return {{removeBreakpoint(args)}};
    case 'D': return detach();
    case 'k': return kill();
    case 'H':
    case 'T': return {{std::string(kOk)}};
    case 'q': return query(packet);
    case 'Q':
        if (packet == "QStartNoAckMode") {
            noAck_ = true;
            return {{std::string(kOk)}};
        }
        return {{std::string(kEmpty)}};
    case 'v': return vPacket(packet);
    default: return {{std::string(kEmpty)}};
    }
}

Session::Response Session::query(std::string_view packet) {
    if (packet.starts_with("qSupported")) {
        // vContSupported: the s in our vCont is real hardware stepping, which
        // GDB otherwise replaces with a breakpoint and a continue.
        return {{"PacketSize=" + HexText(kPacketSize) +
                 ";qXfer:features:read+;qXfer:memory-map:read+;QStartNoAckMode+;vContSupported+"}};
    }
    if (packet.starts_with("qXfer:")) return {{xfer(Rest(packet, sizeof("qXfer:") - 1))}};
    if (packet.starts_with("qRcmd,")) return monitor(Rest(packet, sizeof("qRcmd,") - 1));
    if (packet == "qAttached") return {{"1"}};
    if (packet == "qC") return {{"QC" + std::string(kThreadId)}};
    if (packet == "qfThreadInfo") return {{"m" + std::string(kThreadId)}};
    if (packet == "qsThreadInfo") return {{"l"}};
    if (packet.starts_with("qSymbol")) return {{std::string(kOk)}};
    return {{std::string(kEmpty)}};
}

Session::Response Session::vPacket(std::string_view packet) {
    if (packet == "vCont?") return {{"vCont;c;C;s;S"}};
    if (packet.starts_with("vCont;")) return vCont(Rest(packet, sizeof("vCont") - 1));
    if (packet.starts_with("vFlashErase:")) return {{flashErase(Rest(packet, sizeof("vFlashErase:") - 1))}};
    if (packet.starts_with("vFlashWrite:")) return {{flashWrite(Rest(packet, sizeof("vFlashWrite:") - 1))}};
    if (packet == "vFlashDone") return {{flashDone()}};
    if (packet.starts_with("vKill")) {
        Response response = kill();
        response.packets = {std::string(kOk)};
        return response;
    }
    return {{std::string(kEmpty)}};
}

// --- registers --------------------------------------------------------------

std::optional<uint32_t> Session::readCoreRegister(uint32_t number, std::optional<uint32_t>& specialWord) {
    const GdbRegister& reg = Registers()[number];
    if (reg.core.fieldShift) {
        if (!specialWord) specialWord = cachedRegister(reg.core.selector);
        if (!specialWord) return std::nullopt;
        return FieldValue(reg.core, *specialWord);
    }
    return cachedRegister(reg.core.selector);
}

std::optional<uint32_t> Session::cachedRegister(uint32_t selector) {
    // Registers are read only while halted: the transfer is undefined on a running core.
    if (running_ || selector >= registerCache_.size()) return std::nullopt;
    std::optional<uint32_t>& cached = registerCache_[selector];
    if (!cached) {
        uint32_t value = 0;
        if (target_.readRegister(selector, &value) != DBG_OK) return std::nullopt;
        cached = value;
    }
    return cached;
}

DebugResult Session::writeCachedRegister(uint32_t selector, uint32_t value) {
    const DebugResult result = target_.writeRegister(selector, value);
    // A failed write may have landed or not: read it again when asked.
    if (selector < registerCache_.size()) {
        registerCache_[selector] = result == DBG_OK ? std::optional<uint32_t>(value) : std::nullopt;
    }
    return result;
}

bool Session::coreHalted() {
    uint32_t dhcsr = 0;
    return target_.coreState(&dhcsr) == DBG_OK && (dhcsr & dhcsr::kSHalt) != 0;
}

Session::Reply Session::readRegisters() {
    std::string out;
    std::optional<uint32_t> special;
    for (uint32_t number = 0; number < Registers().size(); ++number) {
        const auto value = readCoreRegister(number, special);
        if (!value) return std::string(coreHalted() ? error_reply::kTargetFailed : error_reply::kNotHalted);
        out += RegisterHex(*value, Registers()[number].bytes());
    }
    return out;
}

Session::Reply Session::writeRegisters(std::string_view hex) {
    std::vector<uint32_t> values;
    size_t offset = 0;
    for (const GdbRegister& reg : Registers()) {
        const size_t digits = reg.bytes() * kHexDigitsPerByte;
        const auto value = offset + digits <= hex.size() ? ParseRegisterHex(hex.substr(offset, digits), reg.bytes())
                                                         : std::nullopt;
        if (!value) return std::string(error_reply::kMalformed);
        values.push_back(*value);
        offset += digits;
    }
    if (offset != hex.size()) return std::string(error_reply::kMalformed);

    std::optional<uint32_t> special;
    for (uint32_t number = 0; number < Registers().size(); ++number) {
        const GdbRegister& reg = Registers()[number];
        if (!reg.core.fieldShift) {
            if (writeCachedRegister(reg.core.selector, values[number]) != DBG_OK) {
                return std::string(coreHalted() ? error_reply::kTargetFailed : error_reply::kNotHalted);
            }
            continue;
        }
        if (!special && !readCoreRegister(number, special)) return std::string(error_reply::kTargetFailed);
        special = MergeField(reg.core, *special, values[number]);
    }
    if (special && writeCachedRegister(regsel::kSpecial, *special) != DBG_OK) {
        return std::string(error_reply::kTargetFailed);
    }
    return std::string(kOk);
}

Session::Reply Session::readRegister(std::string_view args) {
    const auto number = ParseHex32(args);
    if (!number || *number >= Registers().size()) return std::string(error_reply::kMalformed);
    std::optional<uint32_t> special;
    const auto value = readCoreRegister(*number, special);
    if (!value) return std::string(coreHalted() ? error_reply::kTargetFailed : error_reply::kNotHalted);
    return RegisterHex(*value, Registers()[*number].bytes());
}

Session::Reply Session::writeRegister(std::string_view args) {
    const size_t equals = args.find('=');
    if (equals == std::string_view::npos) return std::string(error_reply::kMalformed);
    const auto number = ParseHex32(args.substr(0, equals));
    if (!number || *number >= Registers().size()) return std::string(error_reply::kMalformed);
    const GdbRegister& reg = Registers()[*number];
    const auto value = ParseRegisterHex(args.substr(equals + 1), reg.bytes());
    if (!value) return std::string(error_reply::kMalformed);
    uint32_t whole = *value;
    if (reg.core.fieldShift) {
        std::optional<uint32_t> special;
        if (!readCoreRegister(*number, special)) {
            return std::string(coreHalted() ? error_reply::kTargetFailed : error_reply::kNotHalted);
        }
        whole = MergeField(reg.core, *special, *value);
    }
    if (writeCachedRegister(reg.core.selector, whole) != DBG_OK) {
        return std::string(coreHalted() ? error_reply::kTargetFailed : error_reply::kNotHalted);
    }
    return std::string(kOk);
}

// --- memory -----------------------------------------------------------------

Session::Reply Session::readMemory(std::string_view args) {
    const auto range = AddressLength(args);
    if (!range) return std::string(error_reply::kMalformed);
    const auto [address, requested] = *range;
    // A reply may be shorter than asked; GDB asks again for the rest.
    const uint32_t length = std::min<uint32_t>(requested, kPacketSize / kHexDigitsPerByte);
    std::vector<uint8_t> bytes(length);
    uint32_t done = 0;
    const uint32_t first = address & ~(kWordBytes - 1);
    const uint64_t end = (uint64_t{address} + length + kWordBytes - 1) & ~uint64_t{kWordBytes - 1};
    // A small read of plain memory (Code, SRAM) as the words it covers, one
    // word access each, where the odd bytes would each cost one. Peripherals
    // keep the widths asked for: a wider read of a FIFO or a read-to-clear
    // register takes more than GDB asked for.
    if (length != 0 && length <= kSmallRead && end <= memory_map::kSramBase &&
        readCodeCached(address, bytes.data(), length)) {
        done = length;
    }
    if (done == 0 && length != 0 && length <= kSmallRead && end <= memory_map::kPeripheralBase) {
        std::array<uint8_t, kSmallRead + 2 * kWordBytes> words{};
        uint32_t at = first;
        for (; at < end; at += kWordBytes) {
            uint32_t word = 0;
            if (target_.readWord(at, &word) != DBG_OK) break;
            for (uint32_t i = 0; i < kWordBytes; ++i) words[at - first + i] = static_cast<uint8_t>(word >> (thumb::kByteBits * i));
        }
        if (at == end) {
            std::copy_n(words.begin() + (address - first), length, bytes.begin());
            done = length;
        }
    }
    while (done < length) {
        const uint32_t piece = std::min(kBlockSize, length - done);
        if (target_.readMemory(address + done, bytes.data() + done, piece) != DBG_OK) break;
        done += piece;
    }
    if (done == 0 && length != 0) return std::string(error_reply::kTargetFailed);
    bytes.resize(done);
    // GDB sees the instructions, not our BKPTs.
    for (const auto& [at, breakpoint] : breakpoints_) {
        if (breakpoint.hardware) continue;
        for (uint32_t i = 0; i < thumb::kHalfword; ++i) {
            const uint64_t offset = uint64_t{at} + i - address;
            if (at + i >= address && offset < bytes.size()) {
                bytes[offset] = static_cast<uint8_t>((breakpoint.original >> (thumb::kByteBits * i)) & thumb::kByteMask);
            }
        }
    }
    return ToHex(bytes);
}

bool Session::readCodeCached(uint32_t address, uint8_t* buffer, uint32_t length) {
    if (running_) return false;
    uint32_t done = 0;
    while (done < length) {
        const uint32_t at = address + done;
        auto line = std::find_if(codeLines_.begin(), codeLines_.end(), [at](const std::optional<CodeLine>& l) {
            return l && at >= l->base && at - l->base < kCodeLineBytes;
        });
        if (line == codeLines_.end()) {
            // Centred on the address: GDB reads on both sides of the PC.
            constexpr uint32_t kHalfLine = kCodeLineBytes / 2;
            const uint32_t centred = at >= kHalfLine ? (at - kHalfLine) & ~(kWordBytes - 1) : 0;
            const uint32_t base = std::min(centred, memory_map::kSramBase - kCodeLineBytes);
            CodeLine fresh{base, {}};
            if (target_.readMemory(base, fresh.bytes.data(), kCodeLineBytes) != DBG_OK) return false;
            line = codeLines_.begin() + static_cast<std::ptrdiff_t>(nextCodeLine_);
            nextCodeLine_ = (nextCodeLine_ + 1) % codeLines_.size();
            *line = fresh;
        }
        const uint32_t base = (*line)->base;
        const uint32_t take = std::min(length - done, base + kCodeLineBytes - at);
        std::copy_n((*line)->bytes.begin() + (at - base), take, buffer + done);
        done += take;
    }
    return true;
}

DebugResult Session::writeBlocks(uint32_t address, std::span<const uint8_t> bytes) {
    // The core's registers are reached through the PPB (DCRSR, DCRDR, DHCSR).
    if (uint64_t{address} + bytes.size() > memory_map::kPpbBase) forgetRegisters();
    // A write to the flash controller may change the Code region.
    forgetCode();
    // A write over one of our BKPTs changes the instruction kept under it.
    std::vector<uint8_t> data(bytes.begin(), bytes.end());
    for (auto& [at, breakpoint] : breakpoints_) {
        if (breakpoint.hardware) continue;
        for (uint32_t i = 0; i < thumb::kHalfword; ++i) {
            const uint64_t offset = uint64_t{at} + i - address;
            if (at + i < address || offset >= data.size()) continue;
            const uint32_t shift = thumb::kByteBits * i;
            breakpoint.original = static_cast<uint16_t>((breakpoint.original & ~(thumb::kByteMask << shift)) |
                                                        (data[offset] << shift));
            data[offset] = static_cast<uint8_t>((thumb::kBkpt0 >> shift) & thumb::kByteMask);
        }
    }
    for (size_t done = 0; done < data.size(); done += kBlockSize) {
        const uint32_t piece = static_cast<uint32_t>(std::min<size_t>(kBlockSize, data.size() - done));
        const DebugResult result = target_.writeMemory(address + static_cast<uint32_t>(done), data.data() + done, piece);
        if (result != DBG_OK) return result;
    }
    return DBG_OK;
}

Session::Reply Session::writeMemoryHex(std::string_view args) {
    const auto parts = SplitAddressData(args);
    if (!parts) return std::string(error_reply::kMalformed);
    const auto bytes = FromHex(parts->data);
    if (!bytes || bytes->size() != parts->length) return std::string(error_reply::kMalformed);
    return std::string(writeBlocks(parts->address, *bytes) == DBG_OK ? kOk : error_reply::kTargetFailed);
}

Session::Reply Session::writeMemoryBinary(std::string_view args) {
    const auto parts = SplitAddressData(args);
    if (!parts || parts->data.size() != parts->length) return std::string(error_reply::kMalformed);
    return std::string(writeBlocks(parts->address, Bytes(parts->data)) == DBG_OK ? kOk : error_reply::kTargetFailed);
}

// --- run control ------------------------------------------------------------

Session::Response Session::resume(bool step, std::optional<uint32_t> address) {
    if (address && target_.writeRegister(regsel::kPc, *address) != DBG_OK) {
        return {{std::string(error_reply::kTargetFailed)}};
    }
    // The library decides from its cached state; read the real one first.
    uint32_t dhcsr = 0;
    if (target_.coreState(&dhcsr) != DBG_OK) return {{std::string(error_reply::kTargetFailed)}};
    if (step) {
        Reply reply;
        switch (serveSemihosting(reply, true)) {
        case Served::kContinue: return {{haltedReply()}};
        case Served::kStopped: return {{reply}};
        case Served::kNotACall: break;
        }
        const DebugResult result = target_.step(dhcsr);
        if (result != DBG_OK) return settleAfterFailedRun(result);
        return {{haltedReply()}};
    }
    const DebugResult result = resumeCore();
    if (result != DBG_OK) return settleAfterFailedRun(result);
    running_ = true;
    return {{}, After::WaitForStop};
}

Session::Response Session::settleAfterFailedRun(DebugResult failure) {
    // A core that locks up at once never retires the instruction the library
    // waits for, yet it runs: GDB gets its stop once the poll sees it.
    uint32_t dhcsr = 0;
    if (target_.coreState(&dhcsr) == DBG_OK && (dhcsr & dhcsr::kSHalt) == 0) {
        running_ = true;
        return {{}, After::WaitForStop};
    }
    return {{std::string(failure == DBG_NOT_HALTED ? error_reply::kNotHalted : error_reply::kTargetFailed)}};
}

std::optional<std::string> Session::haltLockedUp() {
    if (target_.halt() != DBG_OK) {
        note("the core locked up and would not halt");
        return std::nullopt;
    }
    running_ = false;
    lastSignal_ = signal_number::kSegv;
    return stopReply(lastSignal_);
}

Session::Response Session::resumeAction(std::string_view args, bool step) {
    if (args.empty()) return resume(step, std::nullopt);
    const auto address = ParseHex32(args);
    if (!address) return {{std::string(error_reply::kMalformed)}};
    return resume(step, address);
}

Session::Response Session::vCont(std::string_view actions) {
    // ";action[:thread]" repeated; the first that names our thread applies.
    while (!actions.empty()) {
        if (actions[0] != ';') return {{std::string(error_reply::kMalformed)}};
        actions.remove_prefix(1);
        const size_t end = std::min(actions.find(';'), actions.size());
        const std::string_view action = actions.substr(0, end);
        actions.remove_prefix(end);
        const size_t colon = action.find(':');
        const std::string_view verb = action.substr(0, colon);
        const std::string_view tid = colon == std::string_view::npos ? kEmpty : action.substr(colon + 1);
        if (verb.empty()) return {{std::string(error_reply::kMalformed)}};
        const char kind = verb[0];
        const bool withSignal = kind == 'C' || kind == 'S';
        if (!(kind == 'c' || kind == 's' || withSignal)) return {{std::string(error_reply::kMalformed)}};
        if (withSignal ? !ParseHex32(verb.substr(1)) : verb.size() != 1) {
            return {{std::string(error_reply::kMalformed)}};
        }
        if (ThreadMatches(tid)) return resume(kind == 's' || kind == 'S', std::nullopt);
    }
    return {{std::string(error_reply::kMalformed)}};
}

std::optional<std::string> Session::pollStop() {
    if (!running_) return std::nullopt;
    uint32_t dhcsr = 0;
    if (target_.coreState(&dhcsr) != DBG_OK) return std::nullopt;
    if ((dhcsr & dhcsr::kSHalt) == 0) {
        if ((dhcsr & dhcsr::kSLockup) != 0) return haltLockedUp();
        return std::nullopt;
    }
    if (options_.semihosting) {
        // A caught fault stops where it happened, as a segmentation fault.
        uint32_t status = 0;
        if (target_.readWord(dfsr::kAddress, &status) == DBG_OK && CaughtFault(status)) {
            (void)target_.writeWord(dfsr::kAddress, status & dfsr::kAll);  // write ones to clear
            running_ = false;
            lastSignal_ = signal_number::kSegv;
            return stopReply(lastSignal_);
        }
    }
    Reply reply;
    switch (serveSemihosting(reply, false)) {
    case Served::kContinue:
        if (resumeCore() == DBG_OK) return std::nullopt;
        note("could not resume after a semihosting call");
        running_ = false;
        return haltedReply();
    case Served::kStopped: running_ = false; return reply;
    case Served::kNotACall: break;
    }
    running_ = false;
    return haltedReply();
}

std::optional<std::string> Session::interrupt() {
    if (!running_) return std::nullopt;
    uint32_t dhcsr = 0;
    if (target_.coreState(&dhcsr) == DBG_OK && (dhcsr & (dhcsr::kSHalt | dhcsr::kSLockup)) != 0) return pollStop();
    if (target_.halt() != DBG_OK) {
        note("the interrupt could not halt the core");
        return std::nullopt;
    }
    running_ = false;
    lastSignal_ = signal_number::kInterrupt;
    return stopReply(lastSignal_);
}

// --- breakpoints ------------------------------------------------------------

Session::Reply Session::insertBreakpoint(std::string_view args) {
    const size_t comma = args.find(',');
    const auto type = ParseHex32(args.substr(0, comma));
    if (!type) return std::string(error_reply::kMalformed);
    const auto watch = WatchpointKind(*type);
    if (*type != breakpoint_type::kSoftware && *type != breakpoint_type::kHardware && !watch) {
        return std::string(kEmpty);
    }
    const auto where = comma == std::string_view::npos ? std::nullopt : AddressLength(args.substr(comma + 1));
    if (watch) {
        if (!where) return std::string(error_reply::kMalformed);
        return insertWatchpoint(*watch, where->first, where->second);
    }
    if (!where || where->first % thumb::kHalfword != 0) return std::string(error_reply::kMalformed);
    const uint32_t address = where->first;
    if (breakpoints_.contains(address)) return std::string(kOk);

    if (address < memory_map::kSramBase) {
        // The Code region: the FPB, whatever GDB asked for; flash cannot take a BKPT.
        const DebugResult result = target_.setBreakpoint(address);
        if (result != DBG_OK) {
            if (result == DBG_NO_BREAKPOINT_SLOT) note("every hardware breakpoint is in use");
            return std::string(error_reply::kTargetFailed);
        }
        breakpoints_[address] = {true, 0};
        return std::string(kOk);
    }
    std::array<uint8_t, thumb::kHalfword> original{};
    if (target_.readMemory(address, original.data(), thumb::kHalfword) != DBG_OK) {
        return std::string(error_reply::kTargetFailed);
    }
    const std::array<uint8_t, thumb::kHalfword> bkpt{static_cast<uint8_t>(thumb::kBkpt0 & thumb::kByteMask),
                                                     static_cast<uint8_t>(thumb::kBkpt0 >> thumb::kByteBits)};
    std::array<uint8_t, thumb::kHalfword> check{};
    if (target_.writeMemory(address, bkpt.data(), thumb::kHalfword) != DBG_OK ||
        target_.readMemory(address, check.data(), thumb::kHalfword) != DBG_OK || check != bkpt) {
        // Not writable memory: put back what may have changed.
        (void)target_.writeMemory(address, original.data(), thumb::kHalfword);
        return std::string(error_reply::kTargetFailed);
    }
    breakpoints_[address] = {false, static_cast<uint16_t>(original[0] | (original[1] << thumb::kByteBits))};
    return std::string(kOk);
}

Session::Reply Session::insertWatchpoint(WatchKind kind, uint32_t address, uint32_t length) {
    const Watchpoints::Status status = watchpoints_.add(kind, address, length);
    if (status.ok()) return std::string(kOk);
    note(status.message);
    // GDB takes "E." and text as an error like "Enn".
    return "E." + status.message;
}

DebugResult Session::remove(uint32_t address, const Breakpoint& breakpoint) {
    if (breakpoint.hardware) return target_.clearBreakpoint(address);
    const std::array<uint8_t, thumb::kHalfword> original{
        static_cast<uint8_t>(breakpoint.original & thumb::kByteMask),
        static_cast<uint8_t>(breakpoint.original >> thumb::kByteBits)};
    return target_.writeMemory(address, original.data(), thumb::kHalfword);
}

Session::Reply Session::removeBreakpoint(std::string_view args) {
    const size_t comma = args.find(',');
    const auto type = ParseHex32(args.substr(0, comma));
    if (!type) return std::string(error_reply::kMalformed);
    const auto watch = WatchpointKind(*type);
    if (*type != breakpoint_type::kSoftware && *type != breakpoint_type::kHardware && !watch) {
        return std::string(kEmpty);
    }
    const auto where = comma == std::string_view::npos ? std::nullopt : AddressLength(args.substr(comma + 1));
    if (!where) return std::string(error_reply::kMalformed);
    if (watch) {
        const bool removed = watchpoints_.remove(*watch, where->first, where->second) == DBG_OK;
        return std::string(removed ? kOk : error_reply::kTargetFailed);
    }
    const auto found = breakpoints_.find(where->first);
    if (found == breakpoints_.end()) return std::string(kOk);
    if (remove(found->first, found->second) != DBG_OK) return std::string(error_reply::kTargetFailed);
    breakpoints_.erase(found);
    return std::string(kOk);
}

DebugResult Session::removeAllBreakpoints() {
    DebugResult first = DBG_OK;
    for (const auto& [address, breakpoint] : breakpoints_) {
        const DebugResult result = remove(address, breakpoint);
        if (first == DBG_OK) first = result;
    }
    breakpoints_.clear();
    const DebugResult watches = watchpoints_.removeAll();
    return first == DBG_OK ? watches : first;
}

// --- target description and memory map --------------------------------------

Session::Reply Session::xfer(std::string_view args) {
    // object:read:annex:offset,length
    const size_t first = args.find(':');
    if (first == std::string_view::npos) return std::string(error_reply::kMalformed);
    const std::string_view object = args.substr(0, first);
    const std::string_view rest = args.substr(first + 1);
    if (!rest.starts_with("read:")) return std::string(kEmpty);
    const std::string_view annexAndRange = rest.substr(sizeof("read:") - 1);
    const size_t colon = annexAndRange.find(':');
    if (colon == std::string_view::npos) return std::string(error_reply::kMalformed);
    const std::string_view annex = annexAndRange.substr(0, colon);
    const auto range = AddressLength(annexAndRange.substr(colon + 1));
    if (!range) return std::string(error_reply::kMalformed);

    const std::string* document = nullptr;
    if (object == "features") {
        if (annex != "target.xml") return std::string(error_reply::kUnknownAnnex);
        document = &TargetXml();
    } else if (object == "memory-map") {
        if (!annex.empty()) return std::string(error_reply::kUnknownAnnex);
        document = &MemoryMapXml();
    } else {
        return std::string(kEmpty);
    }
    const auto [offset, length] = *range;
    if (offset >= document->size()) return "l";
    const size_t take = std::min<size_t>({length, document->size() - offset, kPacketSize - 1});
    const bool last = offset + take >= document->size();
    return (last ? "l" : "m") + document->substr(offset, take);
}

// --- flash ------------------------------------------------------------------

Session::Reply Session::flashErase(std::string_view args) {
    const auto range = AddressLength(args);
    if (!range) return std::string(error_reply::kMalformed);
    // Firmware running from flash would fight the controller.
    if (!coreHalted() && target_.halt() != DBG_OK) return std::string(error_reply::kNotHalted);
    const flash::Status status = target_.eraseFlash(range->first, range->second);
    if (!status.ok()) {
        note("flash erase failed: " + status.message);
        return std::string(error_reply::kTargetFailed);
    }
    return std::string(kOk);
}

Session::Reply Session::flashWrite(std::string_view args) {
    const size_t colon = args.find(':');
    if (colon == std::string_view::npos) return std::string(error_reply::kMalformed);
    const auto address = ParseHex32(args.substr(0, colon));
    const std::string_view data = args.substr(colon + 1);
    if (!address || uint64_t{*address} + data.size() > kAddressSpace) return std::string(error_reply::kMalformed);
    // Programmed at vFlashDone, as the protocol allows: GDB's packets of one
    // section follow each other, and one call per run of them saves and
    // restores the loader's SRAM and registers once instead of per packet.
    if (!flashWritten_.empty()) {
        auto& [lastAddress, lastBytes] = flashWritten_.back();
        if (uint64_t{lastAddress} + lastBytes.size() == *address) {
            lastBytes.insert(lastBytes.end(), data.begin(), data.end());
            return std::string(kOk);
        }
    }
    flashWritten_.emplace_back(*address, std::vector<uint8_t>(data.begin(), data.end()));
    return std::string(kOk);
}

Session::Reply Session::flashDone() {
    auto written = std::move(flashWritten_);
    flashWritten_.clear();
    for (const auto& [address, bytes] : written) {
        const flash::Status status = target_.programFlash(address, bytes);
        if (!status.ok()) {
            note("flash programming failed: " + status.message);
            return std::string(error_reply::kTargetFailed);
        }
    }
    for (const auto& [address, bytes] : written) {
        const flash::Status status = target_.verifyFlash(address, bytes);
        if (!status.ok()) {
            note("flash verification failed: " + status.message);
            return std::string(error_reply::kTargetFailed);
        }
    }
    // The core took its stack pointer and reset vector from the flash as it
    // was; a reset takes them from the new image (GDB sets the PC after this).
    if (!written.empty() && target_.systemReset() != DBG_OK) {
        note("reset after programming flash failed");
        return std::string(error_reply::kTargetFailed);
    }
    return std::string(kOk);
}

// --- monitor commands, detach, kill ----------------------------------------

Session::Response Session::monitor(std::string_view hexCommand) {
    const auto raw = FromHex(hexCommand);
    if (!raw) return {{std::string(error_reply::kMalformed)}};
    const std::string command = Trim(std::string_view(reinterpret_cast<const char*>(raw->data()), raw->size()));
    // OK even when the command failed: GDB takes an error reply to qRcmd as a
    // protocol error; the text says what went wrong.
    auto done = [](std::string text) { return Response{{Output(text), std::string(kOk)}}; };
    auto stateText = [this] {
        uint32_t dhcsr = 0;
        if (target_.coreState(&dhcsr) != DBG_OK) return std::string("the core state could not be read");
        return std::string((dhcsr & dhcsr::kSHalt) != 0 ? "the core is halted" : "the core is running");
    };
    if (command == "reset halt" || command == "reset") {
        const bool ok = target_.systemReset() == DBG_OK;
        lastSignal_ = signal_number::kTrap;
        return done(ok ? "system reset; the core is halted at the reset vector\n" : "system reset failed\n");
    }
    if (command == "reset run") {
        uint32_t dhcsr = 0;
        const bool ok = target_.systemReset() == DBG_OK && target_.coreState(&dhcsr) == DBG_OK &&
                        target_.resume() == DBG_OK;
        return done(ok ? "system reset; the core is running\n" : "system reset failed\n");
    }
    if (command == "reset hardware") {
        const bool ok = target_.hardwareReset() == DBG_OK;
        return done(ok ? "reset line pulsed; " + stateText() + "\n" : "hardware reset failed\n");
    }
    if (command == "halt") {
        uint32_t dhcsr = 0;
        const bool ok = target_.coreState(&dhcsr) == DBG_OK && target_.halt() == DBG_OK;
        lastSignal_ = signal_number::kTrap;
        return done(ok ? "the core is halted\n" : "halt failed\n");
    }
    const std::string help =
        "monitor commands:\n"
        "  reset halt      system reset, halt at the reset vector\n"
        "  reset run       system reset, then run\n"
        "  reset hardware  pulse the reset line\n"
        "  halt            halt the core\n"
        "  semihosting enable|disable  serve the target's BKPT 0xAB calls (console on GDB's)\n";
    if (command == "semihosting enable" || command == "semihosting disable") {
        options_.semihosting = command == "semihosting enable";
        return done(std::string("semihosting ") + (options_.semihosting ? "enabled\n" : "disabled\n"));
    }
    if (command == "semihosting") return done(std::string("semihosting is ") + (options_.semihosting ? "enabled\n" : "disabled\n"));
    if (command == "help") return done(help);
    // Not an error: a script written for another server goes on.
    return done("unknown monitor command '" + command + "'\n" + help);
}

Session::Response Session::detach() {
    const bool removed = removeAllBreakpoints() == DBG_OK;
    uint32_t dhcsr = 0;
    bool resumed = target_.coreState(&dhcsr) == DBG_OK && target_.resume() == DBG_OK;
    // A core that locked up at once runs all the same, as detach promised.
    if (!resumed) resumed = target_.coreState(&dhcsr) == DBG_OK && (dhcsr & dhcsr::kSHalt) == 0;
    if (!removed || !resumed) note("detach: the target may still be halted or hold breakpoints");
    running_ = false;
    return {{std::string(removed && resumed ? kOk : error_reply::kTargetFailed)}, After::Close};
}

Session::Response Session::kill() {
    // Nothing to end on bare metal: breakpoints come out and the core stays halted.
    if (removeAllBreakpoints() != DBG_OK) note("kill: some breakpoints could not be removed");
    running_ = false;
    return {{}, After::Close};
}

}  // namespace cm3tools::gdb
