// The guarantee, checked by one test: random sequences of the twenty exports
// on each transport path, against a small reference model of the target, with
// one fault injected at a random point (a driver call failing or moving half
// its bytes, AP transactions answering WAIT or ending in an error, one AHB
// transfer answering with an error). The call that meets the fault and the one
// after it may fail; everything else must be what the model predicts. Nothing
// may ever be reported DBG_OK that the target does not hold, and nothing may be
// written outside what a call was asked to write.
//
// CM3PROBE_CHECKER_CASES: cases per path (long sweeps by hand);
// CM3PROBE_CHECKER_SEED: the base seed; CM3PROBE_CHECKER_CASE: run that one
// case and print its calls.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "cm3probe.h"
#include "frame/connection.h"
#include "fault_injection.h"
#include "in_process.h"
#include "transport/timing.h"
#include "support.h"
#include "virtual_probe.h"

namespace cm3rel {
namespace {

using cm3sim::DriverOp;
using cm3sim::FaultPoint;
using cm3sim::InjectedFault;

inline constexpr uint32_t kDefaultCases = kFullSweeps ? 256 : 24;
inline constexpr uint64_t kDefaultSeed = 0x5EED0001;
inline constexpr size_t kCallsPerCase = 24;
inline constexpr unsigned kCaseWatchdogSeconds = 120;

inline constexpr uint32_t kFlashView = 0x1000;  // flash the sequences read: vectors and code
inline constexpr uint32_t kMaxBlock = 4096;
inline constexpr uint32_t kPageBytes = 1024;
inline constexpr uint32_t kNoMemory = 0x30000000;  // nothing answers here: every access is a bus error
inline constexpr uint32_t kNoMemorySpan = 0x1000;
inline constexpr uint32_t kFmd = 0x400FD004;  // flash controller data: reset by a system reset only
inline constexpr uint32_t kDeviceId0 = 0x400FE000;
inline constexpr uint32_t kDeviceId1 = 0x400FE004;
inline constexpr uint32_t kFpComp0 = 0xE0002008;
inline constexpr size_t kSlots = 6;
inline constexpr uint32_t kBreakpointBase = 0x100;  // never reached: the code is at 0x8
inline constexpr uint32_t kBreakpointAddresses = 10;
inline constexpr uint32_t kResetPc = 0x8;
inline constexpr uint32_t kDhcsrDebugEn = 1u << 0;
inline constexpr uint32_t kDhcsrSHalt = 1u << 17;
inline constexpr uint8_t kRegPc = 15;
inline constexpr uint8_t kWritableRegs = 13;  // r0-r12
inline constexpr uint8_t kReadableRegs[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18};
inline constexpr uint32_t kSizeByte = 0, kSizeHalfword = 1, kSizeWord = 2;
inline constexpr uint32_t kReplaceUpper = 0x80000000, kReplaceLower = 0x40000000, kCompMask = 0x1FFFFFFC;

struct Path {
    bool swd;
    bool batched;
};
inline constexpr Path kPaths[] = {{true, false}, {true, true}, {false, false}, {false, true}};

std::string PathName(const Path& path) {
    return std::string(path.swd ? "Swd" : "Jtag") + (path.batched ? "Batched" : "Direct");
}

enum class Op {
    Open, Close, Init, GetIdCode, DeviceInfo, ReadMem, WriteMem, ReadBlock, WriteBlock, Halt,
    Start, Step, CoreState, CoreReset, SystemReset, HardwareReset, ReadReg, WriteReg, SetBp, ClearBp,
};
const char* const kOpNames[] = {"Open", "Close", "Init", "GetIDCode", "GetDeviceInformation", "ReadMem", "WriteMem",
                                "ReadBlock", "WriteBlock", "HaltCore", "StartCore", "StepCore", "GetCoreState",
                                "CoreReset", "SystemReset", "HardwareReset", "ReadCoreRegister",
                                "WriteCoreRegister", "SetBreakpoint", "ClearBreakpoint"};
static_assert(std::size(kOpNames) == 20, "one name per export");

struct Call {
    Op op = Op::GetIdCode;
    uint32_t address = 0;
    uint32_t value = 0;  // WriteMem, WriteReg
    uint32_t selector = 0;  // ReadReg, WriteReg
    uint32_t size = 0;   // size code, or block length
    std::vector<uint8_t> data;
};

std::string Describe(const Call& call) {
    char text[128];
    std::snprintf(text, sizeof text, "%s(address 0x%08X, value 0x%X, size %u, selector %u)",
                  kOpNames[static_cast<size_t>(call.op)], call.address, call.value, call.size, call.selector);
    return text;
}

struct Slot {
    bool inUse = false;
    uint32_t address = 0;
    bool operator==(const Slot&) const = default;
};

// What the target holds, plus the library's own record of it where the
// exports' results depend on it (the halted cache, the breakpoint slots).
struct State {
    bool opened = false;
    bool initialised = false;
    bool halted = false;
    bool cache = false;
    bool debugEnabled = false;
    bool inReset = false;
    std::vector<uint8_t> sram;
    uint32_t fmd = 0;
    std::array<Slot, kSlots> slots{};
    std::array<uint32_t, kSlots> comparators{};
    std::array<uint32_t, kWritableRegs> regs{};
    uint64_t coreResets = 0;
    uint64_t systemResets = 0;
};

uint32_t BusWord(uint32_t address) {
    const cm3sim::BusRead read = Target().bus().read(address, cm3sim::AccessSize::Word);
    return read.value;
}

State Observe() {
    cm3sim::CortexM3Target& target = Target();
    const cm3probe::DebugConnection& c = cm3probe::g_connection;
    State s;
    s.opened = c.usbHandle != nullptr || c.jtagHandle != nullptr;
    s.initialised = c.initialised != 0;
    s.cache = c.coreHalted != 0;
    s.halted = target.halted();
    s.debugEnabled = (target.dhcsr() & kDhcsrDebugEn) != 0;
    s.inReset = target.inReset();
    s.sram = target.peekBytes(kSramBase, kSramSize);
    s.fmd = BusWord(kFmd);
    for (size_t i = 0; i < kSlots; ++i) {
        s.slots[i] = {c.breakpoints[i].inUse != 0, c.breakpoints[i].address};
        s.comparators[i] = target.fpb().comparator(static_cast<uint32_t>(i));
    }
    for (uint8_t r = 0; r < kWritableRegs; ++r) s.regs[r] = target.coreRegister(r).value_or(0);
    s.coreResets = target.counters().coreResets;
    s.systemResets = target.counters().systemResets;
    return s;
}

uint32_t Comparator(uint32_t address) {
    return ((address & 2) ? kReplaceUpper : kReplaceLower) | (address & kCompMask) | 1;
}

// Bytes a memory access of `size` code covers at `address`: lanes as the AHB
// access port takes them.
uint32_t AccessBytes(uint32_t size) { return size == kSizeByte ? 1 : size == kSizeHalfword ? 2 : 4; }

uint32_t TargetValue(uint32_t address, uint32_t size) {
    if (address == kFmd || address == kDeviceId0 || address == kDeviceId1) return BusWord(address);
    uint32_t value = 0;
    for (uint32_t i = 0; i < AccessBytes(size); ++i) value |= uint32_t{Target().peek8(address + i)} << (8 * i);
    return value;
}

struct Prediction {
    DebugResult result = DBG_OK;
    State after;
    bool pcAtResetVector = false;
    bool resetState = false;  // registers and run state come from the reset
    // The library's halted flag is a cache: once a fault has left it saying
    // halted of a running core, what a step or a register read does is the
    // core's business, not the model's.
    bool unpredictable = false;
};

bool IsOk(DebugResult r) { return r == DBG_OK || r == DBG_OPENED_AFTER_RETRY; }

Prediction Predict(const State& m, const Call& call, const Path& path) {
    Prediction p{DBG_OK, m};
    State& a = p.after;
    const bool memory = call.op == Op::ReadMem || call.op == Op::WriteMem || call.op == Op::ReadBlock ||
                        call.op == Op::WriteBlock;
    if (memory && m.initialised && call.address >= kNoMemory && call.address < kNoMemory + kNoMemorySpan) {
        p.result = DBG_STICKY_ERROR;
        return p;
    }
    const bool needsInit = call.op != Op::Open && call.op != Op::Close && call.op != Op::Init;
    if (needsInit && !m.initialised) {
        p.result = call.op == Op::DeviceInfo ? DBG_ERROR : DBG_NOT_INITIALISED;
        return p;
    }
    switch (call.op) {
    case Op::Open: a.opened = true; break;
    case Op::Close: a.opened = false; a.initialised = false; break;
    case Op::Init: a.initialised = true; a.cache = false; break;
    case Op::GetIdCode: case Op::DeviceInfo: case Op::ReadMem: case Op::ReadBlock: break;
    case Op::WriteMem:
        if (call.address == kFmd) {
            a.fmd = call.value;
        } else {
            for (uint32_t i = 0; i < AccessBytes(call.size); ++i) {
                a.sram[call.address - kSramBase + i] = static_cast<uint8_t>(call.value >> (8 * i));
            }
        }
        break;
    case Op::WriteBlock:
        std::memcpy(&a.sram[call.address - kSramBase], call.data.data(), call.data.size());
        break;
    case Op::Halt:
        if (!m.cache) { a.halted = a.cache = a.debugEnabled = true; }
        break;
    case Op::Start:
        if (m.cache) { a.halted = a.cache = false; }
        break;
    case Op::Step:
        if (!m.cache) p.result = DBG_NOT_HALTED;
        p.unpredictable = m.cache && !m.halted;
        break;
    case Op::CoreState: a.cache = m.halted; break;
    case Op::CoreReset:
        // The reset vector catch is armed by the call: the core stops if halting debug is on.
        ++a.coreResets;
        a.halted = a.cache = m.debugEnabled;
        p.pcAtResetVector = a.halted;
        p.resetState = true;
        break;
    case Op::SystemReset:
        // Halts by itself, and resets the peripherals, unlike a core reset.
        ++a.systemResets;
        a.halted = a.cache = a.debugEnabled = true;
        a.fmd = 0;
        p.pcAtResetVector = true;
        p.resetState = true;
        break;
    case Op::HardwareReset:
        ++a.systemResets;
        a.fmd = 0;
        a.initialised = false;
        p.resetState = true;
        break;
    case Op::ReadReg:
        if (!m.cache) p.result = DBG_NOT_HALTED;
        p.unpredictable = m.cache && !m.halted;
        break;
    case Op::WriteReg:
        a.cache = m.halted;
        if (!m.halted) {
            p.result = DBG_NOT_HALTED;
        } else {
            a.regs[call.selector] = call.value;
        }
        break;
    case Op::SetBp: {
        size_t n = 0;
        while (n < kSlots && m.slots[n].inUse) ++n;
        if (n == kSlots) {
            p.result = DBG_NO_BREAKPOINT_SLOT;
        } else {
            a.slots[n] = {true, call.address};
            a.comparators[n] = Comparator(call.address);
        }
        break;
    }
    case Op::ClearBp: {
        size_t n = 0;
        while (n < kSlots && !(m.slots[n].inUse && m.slots[n].address == call.address)) ++n;
        if (n == kSlots) {
            p.result = DBG_NO_BREAKPOINT_SLOT;
        } else {
            a.slots[n] = {};
            a.comparators[n] = 0;
        }
        break;
    }
    }
    (void)path;
    return p;
}

// Deterministic draws: the same seed gives the same case with any standard library.
class Draw {
public:
    explicit Draw(uint64_t seed) : rng_(seed) {}
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }
    uint32_t range(uint32_t lo, uint32_t hi) { return lo + below(hi - lo + 1); }
    uint32_t word() { return static_cast<uint32_t>(rng_()); }
    bool chance(uint32_t percent) { return below(100) < percent; }

private:
    std::mt19937_64 rng_;
};

uint32_t BlockLength(Draw& d) {
    const uint32_t kind = d.below(10);
    if (kind < 5) return d.range(1, 64);
    if (kind < 8) return d.range(65, 512);
    return d.range(513, kMaxBlock);
}

// A block near a page boundary half the time, anywhere in SRAM otherwise.
uint32_t BlockAddress(Draw& d, uint32_t length) {
    if (d.chance(50)) {
        const uint32_t boundary = kPageBytes * d.range(1, kSramSize / kPageBytes - 1);
        const uint32_t before = d.range(1, std::min(length, boundary));
        const uint32_t start = boundary - std::min(before, length);
        if (start + length <= kSramSize) return kSramBase + start;
    }
    return kSramBase + d.range(0, kSramSize - length);
}

uint32_t AlignedSram(Draw& d, uint32_t size) {
    return kSramBase + (d.below(kSramSize) & ~(AccessBytes(size) - 1));
}

bool NoMemory(const Call& c) { return c.address >= kNoMemory && c.address < kNoMemory + kNoMemorySpan; }

Call NextCall(Draw& d, const State& m) {
    Call c;
    if (!m.opened) {
        c.op = Op::Open;
        return c;
    }
    if (!m.initialised && d.chance(80)) {
        c.op = Op::Init;
        return c;
    }
    // Weights: memory traffic most, the rest evenly, connection changes rarely.
    const uint32_t pick = d.below(100);
    if (pick < 12) c.op = Op::ReadBlock;
    else if (pick < 26) c.op = Op::WriteBlock;
    else if (pick < 34) c.op = Op::ReadMem;
    else if (pick < 42) c.op = Op::WriteMem;
    else if (pick < 47) c.op = Op::ReadReg;
    else if (pick < 52) c.op = Op::WriteReg;
    else if (pick < 57) c.op = Op::Halt;
    else if (pick < 61) c.op = Op::Start;
    else if (pick < 64) c.op = Op::Step;
    else if (pick < 68) c.op = Op::CoreState;
    else if (pick < 73) c.op = Op::SetBp;
    else if (pick < 78) c.op = Op::ClearBp;
    else if (pick < 81) c.op = Op::GetIdCode;
    else if (pick < 84) c.op = Op::DeviceInfo;
    else if (pick < 88) c.op = Op::CoreReset;
    else if (pick < 92) c.op = Op::SystemReset;
    else if (pick < 94) c.op = Op::HardwareReset;
    else if (pick < 96) c.op = Op::Close;
    else if (pick < 98) c.op = Op::Init;
    else c.op = Op::Halt;
    switch (c.op) {
    case Op::ReadBlock:
        c.size = BlockLength(d);
        c.address = d.chance(20) ? d.range(0, kFlashView - c.size % kFlashView - 1) : BlockAddress(d, c.size);
        if (c.address < kSramBase) c.size = std::min(c.size, kFlashView - c.address);
        break;
    case Op::WriteBlock:
        c.size = BlockLength(d);
        c.address = BlockAddress(d, c.size);
        c.data.resize(c.size);
        for (uint8_t& byte : c.data) byte = static_cast<uint8_t>(d.word());
        break;
    case Op::ReadMem: {
        c.size = d.below(3);
        const uint32_t where = d.below(10);
        if (where == 0) {
            c.address = kFmd, c.size = kSizeWord;
        } else if (where == 1) {
            c.address = d.chance(50) ? kDeviceId0 : kDeviceId1, c.size = kSizeWord;
        } else if (where == 2) {
            c.address = d.below(kFlashView) & ~(AccessBytes(c.size) - 1);
        } else {
            c.address = AlignedSram(d, c.size);
        }
        break;
    }
    case Op::WriteMem:
        c.size = d.below(3);
        c.value = d.word();
        if (d.chance(10)) {
            c.address = kFmd, c.size = kSizeWord;
        } else {
            c.address = AlignedSram(d, c.size);
        }
        break;
    case Op::ReadReg: c.selector = kReadableRegs[d.below(std::size(kReadableRegs))]; break;
    case Op::WriteReg:
        c.selector = d.below(kWritableRegs);
        c.value = d.word();
        break;
    case Op::SetBp:
    case Op::ClearBp: c.address = kBreakpointBase + 2 * d.below(kBreakpointAddresses); break;
    default: break;
    }
    const bool memory = c.op == Op::ReadMem || c.op == Op::WriteMem || c.op == Op::ReadBlock || c.op == Op::WriteBlock;
    if (memory && d.chance(5)) {
        // A bus error by the target's own map: the model predicts DBG_STICKY_ERROR.
        c.size = c.op == Op::ReadBlock || c.op == Op::WriteBlock ? d.range(1, 64) : d.below(3);
        c.address = kNoMemory + (d.below(kNoMemorySpan - 64) & ~(AccessBytes(c.size) - 1));
        c.data.resize(c.op == Op::WriteBlock ? c.size : 0);
    }
    return c;
}

struct Outcome {
    DebugResult result = DBG_OK;
    uint32_t values[3] = {};
    std::vector<uint8_t> block;
};

Outcome Run(const Call& c, const Path& path) {
    Outcome o;
    switch (c.op) {
    case Op::Open: o.result = DebugOpen(kClockHz, kAdapter, path.swd ? 1 : 0); break;
    case Op::Close: o.result = DebugClose(); break;
    case Op::Init: o.result = DebugInit(path.batched ? 1 : 0); break;
    case Op::GetIdCode: o.result = DebugGetIDCode(&o.values[0]); break;
    case Op::DeviceInfo: o.result = DebugGetDeviceInformation(&o.values[0], &o.values[1], &o.values[2]); break;
    case Op::ReadMem: o.result = DebugReadMem(c.address, &o.values[0], c.size); break;
    case Op::WriteMem: o.result = DebugWriteMem(c.address, c.value, c.size); break;
    case Op::ReadBlock:
        o.block.assign(c.size, 0);
        o.result = DebugReadBlock(c.address, o.block.data(), c.size);
        break;
    case Op::WriteBlock: o.result = DebugWriteBlock(c.address, c.data.data(), c.size); break;
    case Op::Halt: o.result = DebugHaltCore(); break;
    case Op::Start: o.result = DebugStartCore(); break;
    case Op::Step: o.result = DebugStepCore(); break;
    case Op::CoreState: o.result = DebugGetCoreState(&o.values[0]); break;
    case Op::CoreReset: o.result = DebugCoreReset(); break;
    case Op::SystemReset: o.result = DebugSystemReset(); break;
    case Op::HardwareReset: o.result = DebugHardwareReset(); break;
    case Op::ReadReg: o.result = DebugReadCoreRegister(c.selector, &o.values[0]); break;
    case Op::WriteReg: o.result = DebugWriteCoreRegister(c.selector, c.value); break;
    case Op::SetBp: o.result = DebugSetBreakpoint(c.address); break;
    case Op::ClearBp: o.result = DebugClearBreakpoint(c.address); break;
    }
    return o;
}

// The range of SRAM a call may write, as [begin, end) offsets.
std::pair<uint32_t, uint32_t> WriteRange(const Call& c) {
    if (NoMemory(c)) return {0, 0};
    if (c.op == Op::WriteBlock) return {c.address - kSramBase, c.address - kSramBase + c.size};
    if (c.op == Op::WriteMem && c.address != kFmd) {
        return {c.address - kSramBase, c.address - kSramBase + AccessBytes(c.size)};
    }
    return {0, 0};
}

// Whether a DBG_OK read delivered what the target holds; the reason when not.
std::optional<std::string> WrongRead(const Call& c, const Outcome& o, const Path& path) {
    char text[160];
    const cm3sim::SimConfig& config = LiveConfig();
    if (NoMemory(c) && (c.op == Op::ReadMem || c.op == Op::ReadBlock)) return std::string("DBG_OK from no memory");
    switch (c.op) {
    case Op::GetIdCode: {
        const uint32_t id = path.swd ? config.swdpIdcode : config.jtagIdcode;
        if (o.values[0] == id) return std::nullopt;
        std::snprintf(text, sizeof text, "IDCODE 0x%08X, the port's is 0x%08X", o.values[0], id);
        return text;
    }
    case Op::DeviceInfo: {
        const uint32_t want[3] = {(config.deviceId0 >> 16) & 0xFF, (config.deviceId1 >> 16) & 0xFF,
                                  config.deviceId0 & 0xFFFF};
        if (std::memcmp(want, o.values, sizeof want) == 0) return std::nullopt;
        std::snprintf(text, sizeof text, "device information %X/%X/%X, the target's %X/%X/%X", o.values[0],
                      o.values[1], o.values[2], want[0], want[1], want[2]);
        return text;
    }
    case Op::ReadMem: {
        const uint32_t want = TargetValue(c.address, c.size);
        if (o.values[0] == want) return std::nullopt;
        std::snprintf(text, sizeof text, "read 0x%X, the target holds 0x%X", o.values[0], want);
        return text;
    }
    case Op::ReadBlock: {
        const std::vector<uint8_t> want = Target().peekBytes(c.address, c.size);
        for (uint32_t i = 0; i < c.size; ++i) {
            if (o.block[i] == want[i]) continue;
            std::snprintf(text, sizeof text, "byte %u of the block read 0x%02X, the target holds 0x%02X", i,
                          o.block[i], want[i]);
            return text;
        }
        return std::nullopt;
    }
    case Op::CoreState: {
        const bool halted = (o.values[0] & kDhcsrSHalt) != 0;
        if (halted == Target().halted()) return std::nullopt;
        std::snprintf(text, sizeof text, "DHCSR 0x%08X, the core is %s", o.values[0],
                      Target().halted() ? "halted" : "running");
        return text;
    }
    case Op::ReadReg: {
        const uint32_t want = Target().coreRegister(static_cast<uint8_t>(c.selector)).value_or(0);
        if (o.values[0] == want) return std::nullopt;
        std::snprintf(text, sizeof text, "register %u read 0x%X, the core holds 0x%X", c.selector, o.values[0], want);
        return text;
    }
    default: return std::nullopt;
    }
}

enum class Finding { Wrong, Outside, NotRecovered };
const char* const kFindingNames[] = {"wrong", "outside", "not recovered"};

struct CaseReport {
    bool found[3] = {};
    std::string first;
};

struct Checker {
    Path path;
    uint64_t seed;
    uint32_t caseIndex;
    bool verbose;
    bool noFault;
    CaseReport report;
    std::string trace;
    std::string faultText;

    void find(Finding kind, size_t step, const Call& c, const std::string& what) {
        if (report.first.empty()) {
            report.first = std::string(kFindingNames[static_cast<size_t>(kind)]) + " at call " +
                           std::to_string(step) + " " + Describe(c) + ": " + what;
        }
        report.found[static_cast<size_t>(kind)] = true;
        trace += std::string("   !! ") + kFindingNames[static_cast<size_t>(kind)] + ": " + what + "\n";
    }

    // Differences of `actual` from `expected` outside what the call was
    // asked to change, then inside it (a write missing or partial).
    void compareState(size_t step, const Call& c, const State& expected, const State& actual, bool strict,
                      bool resetState) {
        const auto [begin, end] = WriteRange(c);
        for (uint32_t i = 0; i < kSramSize; ++i) {
            if (expected.sram[i] == actual.sram[i]) continue;
            const bool inside = i >= begin && i < end;
            if (inside && !strict) continue;
            char text[96];
            std::snprintf(text, sizeof text, "SRAM 0x%08X holds 0x%02X, expected 0x%02X", kSramBase + i,
                          actual.sram[i], expected.sram[i]);
            find(inside ? Finding::Wrong : Finding::Outside, step, c, text);
            break;
        }
        const bool writesFmd = c.op == Op::WriteMem && c.address == kFmd;
        const bool resets = c.op == Op::CoreReset || c.op == Op::SystemReset || c.op == Op::HardwareReset;
        if (expected.fmd != actual.fmd && (strict || !(writesFmd || resets))) {
            find(strict && (writesFmd || resets) ? Finding::Wrong : Finding::Outside, step, c,
                 "the flash controller's data register changed wrongly");
        }
        const bool bp = c.op == Op::SetBp || c.op == Op::ClearBp;
        if (expected.comparators != actual.comparators && (strict || !bp)) {
            find(bp ? Finding::Wrong : Finding::Outside, step, c, "breakpoint comparators differ from the model");
        }
        if (!resetState) {
            for (uint8_t r = 0; r < kWritableRegs; ++r) {
                if (expected.regs[r] == actual.regs[r]) continue;
                const bool own = c.op == Op::WriteReg && c.selector == r;
                if (own && !strict) continue;
                find(own ? Finding::Wrong : Finding::Outside, step, c, "register r" + std::to_string(r) + " changed");
                break;
            }
        }
        const bool runControl = c.op == Op::Halt || c.op == Op::Start || c.op == Op::Step || resets;
        if (expected.halted != actual.halted && (strict || !runControl)) {
            find(runControl ? Finding::Wrong : Finding::Outside, step, c,
                 std::string("the core is ") + (actual.halted ? "halted" : "running") + ", the model says otherwise");
        }
        if (expected.coreResets != actual.coreResets || expected.systemResets != actual.systemResets) {
            if (strict || !resets) {
                find(resets ? Finding::Wrong : Finding::Outside, step, c,
                     "core resets " + std::to_string(actual.coreResets) + " (model " +
                         std::to_string(expected.coreResets) + "), system resets " +
                         std::to_string(actual.systemResets) + " (model " + std::to_string(expected.systemResets) +
                         "): not the reset asked for");
            }
        }
        if (strict && (expected.slots != actual.slots || expected.initialised != actual.initialised)) {
            find(Finding::Wrong, step, c, "the library's breakpoint table or initialised flag differs from the model");
        }
    }

    void runCase() {
        Draw d(seed ^ (uint64_t{caseIndex} * 0x9E3779B97F4A7C15ull) ^ (uint64_t{path.swd} << 1 | path.batched));
        // The SRAM starts random so a lost or misplaced byte shows.
        std::vector<uint8_t> fill(kSramSize);
        for (uint8_t& byte : fill) byte = static_cast<uint8_t>(d.word());
        Target().pokeBytes(kSramBase, fill);
        State model = Observe();

        const size_t armAt = noFault ? kCallsPerCase : d.range(2, kCallsPerCase - 6);
        FaultPoint fault;
        // Mostly early in the next call, sometimes deep into a long one.
        const uint32_t driverCalls = d.chance(70) ? d.below(6) : d.below(64);
        const uint32_t transfers = d.chance(70) ? d.below(40) : d.below(1200);
        switch (d.below(5)) {
        case 0: fault = {InjectedFault::DriverFail, d.chance(50) ? DriverOp::Write : DriverOp::Read, driverCalls, 1}; break;
        case 1: fault = {InjectedFault::DriverShort, d.chance(50) ? DriverOp::Write : DriverOp::Read, driverCalls, 1}; break;
        case 2: fault = {InjectedFault::ApWait, DriverOp::Write, 0, d.chance(70) ? d.range(1, 4) : 1000}; break;
        case 3: fault = {InjectedFault::ApFault, DriverOp::Write, 0, 1}; break;
        default: fault = {InjectedFault::BusError, DriverOp::Write, transfers, 1}; break;
        }
        const char* const kinds[] = {"driver fail", "driver short", "AP WAIT", "AP FAULT", "bus error"};
        faultText = std::string(kinds[static_cast<size_t>(fault.kind)]) + " (" +
                    (fault.op == DriverOp::Write ? "write" : "read") + ", after " + std::to_string(fault.after) +
                    ", count " + std::to_string(fault.count) + ")";
        trace += std::string("fault: ") + kinds[static_cast<size_t>(fault.kind)] + " " +
                 (fault.op == DriverOp::Write ? "write" : "read") + " after " + std::to_string(fault.after) +
                 " count " + std::to_string(fault.count) + " armed before call " + std::to_string(armAt) + "\n";

        std::optional<size_t> met;
        bool afterLineReset = false;
        for (size_t step = 0; step < kCallsPerCase; ++step) {
            const Call call = NextCall(d, model);
            if (step == armAt) cm3sim::ArmFault(cm3sim::GlobalProbe(), Target(), fault);
            const uint64_t pendingBefore = cm3sim::FaultsPending(cm3sim::GlobalProbe(), Target());
            const Prediction p = Predict(model, call, path);
            const Outcome o = Run(call, path);
            if (!met && cm3sim::FaultsPending(cm3sim::GlobalProbe(), Target()) < pendingBefore) {
                met = step;
                faultText += " met by call " + std::to_string(step) + " " + Describe(call) + " -> " +
                             std::to_string(o.result);
            }
            const bool strict = !met || step > *met + 1;
            State actual = Observe();
            trace += std::to_string(step) + " " + Describe(call) + " -> " + std::to_string(o.result) +
                     (met && *met == step ? "  <- met the fault" : "") + "\n";

            if (p.unpredictable) {
                model = std::move(actual);
                continue;
            }
            if (IsOk(o.result)) {
                if (auto wrong = WrongRead(call, o, path)) find(Finding::Wrong, step, call, *wrong);
                if (p.pcAtResetVector && Target().coreRegister(kRegPc).value_or(0) != kResetPc) {
                    find(Finding::Wrong, step, call, "the core did not stop at the reset vector");
                }
            }
            const bool mismatch = IsOk(o.result) != IsOk(p.result) || (!IsOk(o.result) && o.result != p.result);
            if (strict && mismatch) {
                const bool linkDown = o.result == DBG_ERROR || o.result == DBG_TIMEOUT || o.result == DBG_STICKY_ERROR;
                find(linkDown && IsOk(p.result) ? Finding::NotRecovered : Finding::Wrong, step, call,
                     "answered " + std::to_string(o.result) + ", the model predicts " + std::to_string(p.result));
            }
            // A call that did what was predicted (or, at the fault, succeeded)
            // must have left exactly the predicted state; one that failed may
            // have done part of its work, within what it was asked to do.
            const bool asPredicted = IsOk(o.result) ? !strict || !mismatch : strict && !mismatch;
            State expected = asPredicted ? p.after : model;
            if (asPredicted && (p.resetState || call.op == Op::Open || call.op == Op::Close)) {
                expected.regs = actual.regs;
                expected.debugEnabled = actual.debugEnabled;
            }
            // The reset line's reset ends, and the core comes out of it, once
            // traffic advances the target's time: by the next DebugOpen or
            // DebugInit at the latest, since every other export waits for it.
            if (call.op == Op::HardwareReset || afterLineReset) {
                expected.halted = actual.halted;
                expected.regs = actual.regs;
            } else if (strict && actual.inReset) {
                find(Finding::NotRecovered, step, call, "the target is held in reset");
            }
            if (call.op == Op::HardwareReset) {
                afterLineReset = true;
            } else if (call.op == Op::Init || call.op == Op::Open) {
                afterLineReset = false;
            }
            compareState(step, call, expected, actual, asPredicted, p.resetState);
            // Go on from what is there: one finding does not cascade into more.
            model = std::move(actual);
            // A caller whose DebugOpen failed opens again, whatever handle it left.
            if (call.op == Op::Open && !IsOk(o.result)) model.opened = false;
            if (!report.first.empty() && !verbose) break;
        }
    }
};

const char* g_case = "";
char g_caseText[256];

void Hung(int) {
    const char prefix[] = "\nchecker: case hung: ";
    (void)write(STDERR_FILENO, prefix, sizeof prefix - 1);
    (void)write(STDERR_FILENO, g_case, strnlen(g_case, sizeof g_caseText));
    (void)write(STDERR_FILENO, "\n", 1);
    _exit(EXIT_FAILURE);
}

uint64_t EnvNumber(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 0) : fallback;
}

class Guarantee : public ::testing::TestWithParam<size_t> {
protected:
    void SetUp() override {
        lock_ = UniqueName("lock");
        UsePrivateLock(lock_);
        signal(SIGALRM, Hung);
    }
    void TearDown() override {
        alarm(0);
        (void)CloseInProcess();
        cm3probe::connection::CloseLockForTesting(cm3probe::connection::OpenLock(lock_.c_str()), true);
    }
    std::string lock_;
};

TEST_P(Guarantee, OneFaultAnywhereLeavesEveryCallRight) {
    const Path path = kPaths[GetParam()];
    const uint64_t seed = EnvNumber("CM3PROBE_CHECKER_SEED", kDefaultSeed);
    const uint64_t only = EnvNumber("CM3PROBE_CHECKER_CASE", UINT64_MAX);
    const uint32_t cases = static_cast<uint32_t>(EnvNumber("CM3PROBE_CHECKER_CASES", kDefaultCases));
    uint32_t run = 0, counts[3] = {};
    for (uint32_t i = 0; i < cases || (only != UINT64_MAX && i <= only); ++i) {
        if (only != UINT64_MAX && i != only) continue;
        FreshInProcess(cm3sim::SimConfig{}, lock_);
        LoadBranchToSelf();
        Checker checker{path, seed, i, only != UINT64_MAX, EnvNumber("CM3PROBE_CHECKER_NO_FAULT", 0) != 0, {}, {}, {}};
        std::snprintf(g_caseText, sizeof g_caseText, "%s seed 0x%llX case %u", PathName(path).c_str(),
                      static_cast<unsigned long long>(seed), i);
        g_case = g_caseText;
        alarm(kCaseWatchdogSeconds);
        checker.runCase();
        alarm(0);
        (void)CloseInProcess();
        ++run;
        for (size_t k = 0; k < 3; ++k) counts[k] += checker.report.found[k] ? 1 : 0;
        if (checker.verbose) std::printf("%s", checker.trace.c_str());
        EXPECT_TRUE(checker.report.first.empty())
            << PathName(path) << ": " << checker.report.first << "\n  fault: " << checker.faultText << "\n  reproduce: CM3PROBE_CHECKER_SEED=0x" << std::hex
            << seed << std::dec << " CM3PROBE_CHECKER_CASE=" << i
            << " --gtest_filter='*Guarantee*" << PathName(path) << "*'";
    }
    std::printf("[figures] checker %s: %u cases, %u wrong results, %u writes outside, %u links not recovered\n",
                PathName(path).c_str(), run, counts[0], counts[1], counts[2]);
}

// Writes the backend holds go out before a pause: the reset line is down
// while the library times its pulse, not only after.
TEST_P(Guarantee, TheResetPulseIsOnTheWireWhileItIsTimed) {
    FreshInProcess(cm3sim::SimConfig{}, lock_);
    LoadBranchToSelf();
    const Path path = kPaths[GetParam()];
    const DebugResult opened = DebugOpen(kClockHz, kAdapter, path.swd ? 1 : 0);
    ASSERT_TRUE(opened == DBG_OK || opened == DBG_OPENED_AFTER_RETRY);
    ASSERT_EQ(DebugInit(path.batched ? 1 : 0), DBG_OK);
    static std::vector<bool> inResetAtPause;
    inResetAtPause.clear();
    cm3probe::timing::SetSleepForTesting([](uint32_t) { inResetAtPause.push_back(Target().inReset()); });
    EXPECT_EQ(DebugHardwareReset(), DBG_OK);
    cm3probe::timing::SetSleepForTesting([](uint32_t) {});
    ASSERT_FALSE(inResetAtPause.empty());
    EXPECT_TRUE(inResetAtPause.front());
}

INSTANTIATE_TEST_SUITE_P(AllPaths, Guarantee, ::testing::Range<size_t>(0, std::size(kPaths)),
                         [](const ::testing::TestParamInfo<size_t>& info) { return PathName(kPaths[info.param]); });

}  // namespace
}  // namespace cm3rel
