// The fault firmware on the Unicorn core, one table: each fault is taken by its
// own handler when SHCSR enables it, escalates to HardFault (HFSR.FORCED) when
// not, and halts on its DEMCR vector catch with DFSR.VCATCH; the DWT's
// comparators halt after the instruction that matched (DFSR.DWTTRAP,
// FUNCTION.MATCHED until read) or enter DebugMonitor without halting debug;
// CYCCNT counts the instructions executed and stands still in Debug state.
#include <gtest/gtest.h>

#include "cpu_test_support.h"

#ifdef CM3PROBE_FAULT_FIRMWARE
#include "fault_kinds.h"
#endif

namespace cm3sim::cpu_testing {
namespace {

#ifdef CM3PROBE_FAULT_FIRMWARE

namespace reg {
constexpr uint32_t kShcsr = 0xE000ED24;
constexpr uint32_t kCfsr = 0xE000ED28;
constexpr uint32_t kHfsr = 0xE000ED2C;
constexpr uint32_t kBfar = 0xE000ED38;
constexpr uint32_t kBusFaultPriority = 0xE000ED19;  // SHPR1 byte 1
constexpr uint32_t kBusFaultPriorityLane = 1;
constexpr uint32_t kBasePriShift = 8;  // in the REGSEL 20 word
constexpr uint32_t kDwtCtrl = 0xE0001000;
constexpr uint32_t kCycCnt = 0xE0001004;
constexpr uint32_t kComp0 = 0xE0001020;
constexpr uint32_t kComparatorStride = 0x10;
constexpr uint32_t kMaskOffset = 0x4;
constexpr uint32_t kFunctionOffset = 0x8;
}  // namespace reg

// SHCSR enables.
constexpr uint32_t kMem = 1u << 16;
constexpr uint32_t kBus = 1u << 17;
constexpr uint32_t kUsage = 1u << 18;
// DEMCR.
constexpr uint32_t kVcCoreReset = 1u << 0;
constexpr uint32_t kVcMmErr = 1u << 4;
constexpr uint32_t kVcNoCpErr = 1u << 5;
constexpr uint32_t kVcChkErr = 1u << 6;
constexpr uint32_t kVcStatErr = 1u << 7;
constexpr uint32_t kVcBusErr = 1u << 8;
constexpr uint32_t kVcIntErr = 1u << 9;
constexpr uint32_t kVcHardErr = 1u << 10;
constexpr uint32_t kMonEn = 1u << 16;
constexpr uint32_t kTrcEna = 1u << 24;
// DFSR.
constexpr uint32_t kHalted = 1u << 0;
constexpr uint32_t kDwtTrap = 1u << 2;
constexpr uint32_t kVCatch = 1u << 3;
constexpr uint32_t kDfsrAll = 0x1F;
// CFSR and HFSR.
constexpr uint32_t kIaccViol = 1u << 0;
constexpr uint32_t kPreciseErr = 1u << 9;
constexpr uint32_t kStkErr = 1u << 12;
constexpr uint32_t kBfarValid = 1u << 15;
constexpr uint32_t kUndefInstr = 1u << 16;
constexpr uint32_t kInvState = 1u << 17;
constexpr uint32_t kNoCp = 1u << 19;
constexpr uint32_t kUnaligned = 1u << 24;
constexpr uint32_t kForced = 1u << 30;
// Exception numbers in IPSR.
constexpr uint32_t kThread = 0;
constexpr uint32_t kHardFault = 3;
constexpr uint32_t kMemManage = 4;
constexpr uint32_t kBusFault = 5;
constexpr uint32_t kUsageFault = 6;
constexpr uint32_t kDebugMonitor = 12;
// SHCSR's active bit for the handler in IPSR.
uint32_t ActiveBit(uint32_t ipsr) {
    switch (ipsr) {
    case kMemManage: return 1u << 0;
    case kBusFault: return 1u << 1;
    case kUsageFault: return 1u << 3;
    case kDebugMonitor: return 1u << 8;
    default: return 0;
    }
}
// DWT.
constexpr uint32_t kCycCntEna = 1;
constexpr uint32_t kPc = 0b0100;
constexpr uint32_t kRead = 0b0101;
constexpr uint32_t kWrite = 0b0110;
constexpr uint32_t kReadWrite = 0b0111;
constexpr uint32_t kMatched = 1u << 24;
constexpr uint32_t kWordBytes = 4;

constexpr uint32_t kRunMicroseconds = 100;

struct Watch {
    uint32_t comparator;
    uint32_t function;  // 0: no watchpoint
    uint32_t mask;
    const char* symbol;
    uint32_t offset;
};

struct Case {
    const char* name;
    FaultKind kind;
    uint32_t shcsr;
    uint32_t demcr;
    bool haltingDebug;
    Watch watch;
    // What the core does.
    bool stopsItself;
    uint32_t dfsr;  // once the test has halted it too
    uint32_t ipsr;
    const char* pcSymbol;  // nullptr: anywhere
    uint32_t cfsr;
    uint32_t hfsr;
    // Priorities: a handler preempts only with a lower number than BASEPRI's.
    uint32_t busFaultPriority = 0;
    uint32_t basePri = 0;
};

constexpr Watch kNoWatch{};
constexpr uint32_t kT = kTrcEna;

const Case kCases[] = {
    // Faults taken by their own handler, escalated, or caught.
    {"BusErrorTakesBusFault", FAULT_KIND_BUS_LOAD, kBus, kT, true, kNoWatch,
     false, kHalted, kBusFault, "BusFault_Handler", kPreciseErr | kBfarValid, 0},
    {"BusErrorEscalates", FAULT_KIND_BUS_LOAD, kMem | kUsage, kT, true, kNoWatch,
     false, kHalted, kHardFault, "HardFault_Handler", kPreciseErr | kBfarValid, kForced},
    {"BusErrorCaught", FAULT_KIND_BUS_LOAD, kBus, kT | kVcBusErr, true, kNoWatch,
     true, kVCatch, kBusFault, "BusFault_Handler", kPreciseErr | kBfarValid, 0},
    {"EscalatedBusErrorCaughtAsHardFault", FAULT_KIND_BUS_LOAD, 0, kT | kVcBusErr | kVcHardErr, true, kNoWatch,
     true, kVCatch, kHardFault, "HardFault_Handler", kPreciseErr | kBfarValid, kForced},
    {"EscalatedBusErrorNotCaughtAsBusFault", FAULT_KIND_BUS_LOAD, 0, kT | kVcBusErr, true, kNoWatch,
     false, kHalted, kHardFault, "HardFault_Handler", kPreciseErr | kBfarValid, kForced},
    {"BusFaultAboveBasepriTaken", FAULT_KIND_BUS_LOAD, kBus, kT, true, kNoWatch,
     false, kHalted, kBusFault, "BusFault_Handler", kPreciseErr | kBfarValid, 0, 0x20, 0x40},
    {"BusFaultAtBasepriEscalates", FAULT_KIND_BUS_LOAD, kBus, kT, true, kNoWatch,
     false, kHalted, kHardFault, "HardFault_Handler", kPreciseErr | kBfarValid, kForced, 0x40, 0x40},
    {"UndefinedTakesUsageFault", FAULT_KIND_UNDEFINED, kUsage, kT, true, kNoWatch,
     false, kHalted, kUsageFault, "UsageFault_Handler", kUndefInstr, 0},
    {"UndefinedEscalates", FAULT_KIND_UNDEFINED, kBus | kMem, kT, true, kNoWatch,
     false, kHalted, kHardFault, "HardFault_Handler", kUndefInstr, kForced},
    {"UndefinedCaught", FAULT_KIND_UNDEFINED, kUsage, kT | kVcStatErr, true, kNoWatch,
     true, kVCatch, kUsageFault, "UsageFault_Handler", kUndefInstr, 0},
    {"InvalidStateCaught", FAULT_KIND_INVALID_STATE, kUsage, kT | kVcStatErr, true, kNoWatch,
     true, kVCatch, kUsageFault, "UsageFault_Handler", kInvState, 0},
    {"NoCoprocessorCaught", FAULT_KIND_NO_COPROCESSOR, kUsage, kT | kVcNoCpErr, true, kNoWatch,
     true, kVCatch, kUsageFault, "UsageFault_Handler", kNoCp, 0},
    {"UnalignedCaught", FAULT_KIND_UNALIGNED, kUsage, kT | kVcChkErr, true, kNoWatch,
     true, kVCatch, kUsageFault, "UsageFault_Handler", kUnaligned, 0},
    {"ExecuteNeverTakesMemManage", FAULT_KIND_EXECUTE_NEVER, kMem, kT, true, kNoWatch,
     false, kHalted, kMemManage, "MemManage_Handler", kIaccViol, 0},
    {"ExecuteNeverEscalates", FAULT_KIND_EXECUTE_NEVER, kBus | kUsage, kT, true, kNoWatch,
     false, kHalted, kHardFault, "HardFault_Handler", kIaccViol, kForced},
    {"ExecuteNeverCaught", FAULT_KIND_EXECUTE_NEVER, kMem, kT | kVcMmErr, true, kNoWatch,
     true, kVCatch, kMemManage, "MemManage_Handler", kIaccViol, 0},
    {"StackingErrorCaught", FAULT_KIND_STACKING, kUsage | kBus, kT | kVcIntErr, true, kNoWatch,
     true, kVCatch, kBusFault, "BusFault_Handler", kUndefInstr | kStkErr, 0},
    {"SystemResetCaught", FAULT_KIND_SYSTEM_RESET, 0, kT | kVcCoreReset, true, kNoWatch,
     true, kVCatch, kThread, "Reset_Handler", 0, 0},
    // DWT comparators: the core stops after the instruction that matched.
    {"PcMatch", FAULT_KIND_WATCH, 0, kT, true, {0, kPc, 0, "watch_pc", 0},
     true, kDwtTrap, kThread, "watch_load", 0, 0},
    {"ReadMatch", FAULT_KIND_WATCH, 0, kT, true, {1, kRead, 0, "watched", kWordBytes},
     true, kDwtTrap, kThread, "after_load", 0, 0},
    {"WriteMatch", FAULT_KIND_WATCH, 0, kT, true, {2, kWrite, 0, "watched", 2 * kWordBytes},
     true, kDwtTrap, kThread, "after_store", 0, 0},
    {"ReadWriteMatchesAWrite", FAULT_KIND_WATCH, 0, kT, true, {3, kReadWrite, 0, "watched", 2 * kWordBytes},
     true, kDwtTrap, kThread, "after_store", 0, 0},
    {"ReadDoesNotMatchAWrite", FAULT_KIND_WATCH, 0, kT, true, {1, kRead, 0, "watched", 2 * kWordBytes},
     false, kHalted, kThread, nullptr, 0, 0},
    {"WriteDoesNotMatchARead", FAULT_KIND_WATCH, 0, kT, true, {2, kWrite, 0, "watched", kWordBytes},
     false, kHalted, kThread, nullptr, 0, 0},
    {"MaskWidensTheMatch", FAULT_KIND_WATCH, 0, kT, true, {3, kReadWrite, 3, "watched", 0},
     true, kDwtTrap, kThread, "after_load", 0, 0},
    {"MaskTooNarrowMissesIt", FAULT_KIND_WATCH, 0, kT, true, {0, kReadWrite, 2, "watched", 0},
     false, kHalted, kThread, nullptr, 0, 0},
    {"MatchWithoutHaltingDebugEntersDebugMonitor", FAULT_KIND_WATCH, 0, kT | kMonEn, false,
     {1, kRead, 0, "watched", kWordBytes}, false, kDwtTrap | kHalted, kDebugMonitor, "DebugMon_Handler", 0, 0},
    {"NoMatchWithoutTrcena", FAULT_KIND_WATCH, 0, 0, true, {1, kRead, 0, "watched", kWordBytes},
     false, kHalted, kThread, nullptr, 0, 0},
};

class CpuFaultFirmwareTest : public CpuTest, public ::testing::WithParamInterface<Case> {
protected:
    void SetUp() override {
        config.images.push_back({CM3PROBE_FAULT_FIRMWARE, std::nullopt});
        symbols = ReadSymbols(CM3PROBE_FAULT_FIRMWARE);
        boot();
    }
    uint32_t symbol(const char* name) {
        EXPECT_EQ(symbols.count(name), 1u) << name;
        return symbols[name];
    }
    uint32_t comparator(uint32_t index, uint32_t offset) {
        return reg::kComp0 + index * reg::kComparatorStride + offset;
    }

    std::map<std::string, uint32_t> symbols;
};

TEST_P(CpuFaultFirmwareTest, Behaves) {
    const Case& c = GetParam();
    // The reset has just ended: nothing has run yet.
    halt();
    write(arch::kDfsr, kDfsrAll);
    write(symbol("fault_kind"), c.kind);
    write(reg::kShcsr, c.shcsr);
    ap->setCsw(csw::kSize8);  // SHPR takes byte writes
    ap->setTar(reg::kBusFaultPriority);
    ap->write(ap_reg::kDrw, c.busFaultPriority << (8 * reg::kBusFaultPriorityLane));
    setReg(arch::kRegSpecial, c.basePri << reg::kBasePriShift);
    write(arch::kDemcr, c.demcr);
    write(reg::kDwtCtrl, kCycCntEna);
    if (c.watch.function != 0) {
        write(comparator(c.watch.comparator, 0), symbol(c.watch.symbol) + c.watch.offset);
        write(comparator(c.watch.comparator, reg::kMaskOffset), c.watch.mask);
        write(comparator(c.watch.comparator, reg::kFunctionOffset), c.watch.function);
    }
    writeDhcsr(c.haltingDebug ? arch::kCDebugEn : 0);
    // In slices, as wire traffic moves time: a reset the core asks for runs out in the next one.
    for (uint32_t i = 0; i < kRunMicroseconds; ++i) runFor(1);

    EXPECT_EQ((dhcsr() & arch::kSHalt) != 0, c.stopsItself);
    halt();
    EXPECT_EQ(read(arch::kDfsr), c.dfsr);
    EXPECT_EQ(reg(arch::kRegXpsr) & arch::kIpsrMask, c.ipsr);
    if (c.pcSymbol) {
        EXPECT_EQ(pc(), symbol(c.pcSymbol));
    }
    EXPECT_EQ(read(reg::kShcsr), c.shcsr | ActiveBit(c.ipsr));
    EXPECT_EQ(read(reg::kCfsr), c.cfsr);
    EXPECT_EQ(read(reg::kHfsr), c.hfsr);
    if (c.cfsr & kBfarValid) {
        EXPECT_EQ(read(reg::kBfar), FAULT_NOTHING_THERE);
    }
    if (c.watch.function != 0) {
        const uint32_t function = comparator(c.watch.comparator, reg::kFunctionOffset);
        EXPECT_EQ(read(function), c.watch.function | ((c.dfsr & kDwtTrap) ? kMatched : 0));
        EXPECT_EQ(read(function), c.watch.function) << "MATCHED clears when read";
    }
    // One cycle per instruction, counted only outside Debug state.
    const uint32_t cycles = read(reg::kCycCnt);
    EXPECT_EQ(cycles, (c.demcr & kTrcEna) ? target->retiredInstructions() : 0u);
    EXPECT_GT(target->retiredInstructions(), 0u);
    runFor(kRunMicroseconds);
    EXPECT_EQ(read(reg::kCycCnt), cycles);
}

INSTANTIATE_TEST_SUITE_P(Cases, CpuFaultFirmwareTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

#endif

}  // namespace
}  // namespace cm3sim::cpu_testing
