#include "cpu/unicorn_core.h"

#include <algorithm>
#include <array>
#include <bit>

#include "cpu/armv7m.h"
#include "cpu/bus_access.h"
#include "target/registers.h"

namespace cm3sim {

namespace {

constexpr uint64_t kNanosecondsPerMicrosecond = 1000;
constexpr uint32_t kThumbBit = core_reset::kThumbBit;
constexpr uint32_t kWordBytes = exception_frame::kWordBytes;
constexpr uint32_t kHalfwordBytes = 2;
constexpr uint32_t kGeneralRegisters = regsel::kR12 + 1;
constexpr uint32_t kBitMask = 1;
constexpr uint32_t kNoVectorCatch = 0;
constexpr uint32_t kAlwaysEnabled = 0;  // no SHCSR enable bit: HardFault
// Unicorn hooks given an empty range cover every address.
constexpr uint64_t kAllAddressesBegin = 1;
constexpr uint64_t kAllAddressesEnd = 0;

constexpr std::array<int, kGeneralRegisters> kGeneral = {
    UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3,  UC_ARM_REG_R4,  UC_ARM_REG_R5, UC_ARM_REG_R6,
    UC_ARM_REG_R7, UC_ARM_REG_R8, UC_ARM_REG_R9, UC_ARM_REG_R10, UC_ARM_REG_R11, UC_ARM_REG_R12};

// Registers in exception frame order, up to LR.
constexpr std::array<int, exception_frame::kLr + 1> kFrameRegisters = {
    UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3, UC_ARM_REG_R12, UC_ARM_REG_LR};
static_assert(exception_frame::kR12 == exception_frame::kArgumentRegisters);

// The exception a fault is taken as when its handler is enabled, the enable
// bit in SHCSR, the DEMCR vector catch that halts on it, and the CFSR bit it
// sets.
struct FaultRoute {
    uint32_t exception;
    uint32_t enable;
    uint32_t vectorCatch;
    uint32_t status;
};

FaultRoute RouteOf(UnicornCore::Fault fault) {
    using Fault = UnicornCore::Fault;
    constexpr uint32_t kUsage = exception_number::kUsageFault;
    constexpr uint32_t kBus = exception_number::kBusFault;
    switch (fault) {
    case Fault::UndefinedInstruction: return {kUsage, shcsr::kUsgFaultEna, demcr::kVcStatErr, cfsr::kUndefInstr};
    case Fault::InvalidState: return {kUsage, shcsr::kUsgFaultEna, demcr::kVcStatErr, cfsr::kInvState};
    case Fault::InvalidExceptionReturn: return {kUsage, shcsr::kUsgFaultEna, demcr::kVcIntErr, cfsr::kInvPc};
    case Fault::NoCoprocessor: return {kUsage, shcsr::kUsgFaultEna, demcr::kVcNoCpErr, cfsr::kNoCp};
    case Fault::Unaligned: return {kUsage, shcsr::kUsgFaultEna, demcr::kVcChkErr, cfsr::kUnaligned};
    case Fault::InstructionBus: return {kBus, shcsr::kBusFaultEna, demcr::kVcBusErr, cfsr::kIbusErr};
    case Fault::DataBus: return {kBus, shcsr::kBusFaultEna, demcr::kVcBusErr, cfsr::kPreciseErr};
    case Fault::Stacking: return {kBus, shcsr::kBusFaultEna, demcr::kVcIntErr, cfsr::kStkErr};
    case Fault::Unstacking: return {kBus, shcsr::kBusFaultEna, demcr::kVcIntErr, cfsr::kUnstkErr};
    case Fault::ExecuteNever:
        return {exception_number::kMemManage, shcsr::kMemFaultEna, demcr::kVcMmErr, cfsr::kIaccViol};
    case Fault::SupervisorCall:
    case Fault::Breakpoint: break;
    }
    return {exception_number::kHardFault, kAlwaysEnabled, demcr::kVcHardErr, 0};
}

// With no MPU the default memory map decides: the peripheral, device and
// system regions never execute.
bool ExecuteNever(uint32_t address) {
    return (address >= default_map::kPeripheralBase && address < default_map::kPeripheralEnd) ||
           address >= default_map::kDeviceBase;
}

bool IsExcReturn(uint32_t value) {
    return value == exc_return::kHandlerMsp || value == exc_return::kThreadMsp || value == exc_return::kThreadPsp;
}

UnicornCore* Self(void* user) { return static_cast<UnicornCore*>(user); }

}  // namespace

std::unique_ptr<Core> MakeUnicornCore(const SimConfig& config, Bus& bus, CoreHooks& hooks) {
    return std::make_unique<UnicornCore>(config, bus, hooks);
}

UnicornCore::UnicornCore(const SimConfig& config, Bus& bus, CoreHooks& hooks)
    : config_(config), bus_(bus), hooks_(hooks), shadow_(config, bus) {
    shadow_.setPageSize(engine_.pageSize());
    mapMemory();
}

UnicornCore::~UnicornCore() = default;

// Flash and SRAM become Unicorn RAM backed by the shadow copies; every other
// address reaches the bus through MMIO, so the bus decides what answers and
// what errors, and fetches from anywhere else fault.
void UnicornCore::mapMemory() {
    struct Span {
        uint64_t begin;
        uint64_t end;
    };
    std::vector<Span> ram;
    const auto ramAccess = [](uc_engine*, uc_mem_type type, uint64_t address, int size, int64_t value, void* user) {
        if (type == UC_MEM_READ) {
            Self(user)->onRamRead(static_cast<uint32_t>(address), static_cast<uint32_t>(size));
        } else {
            Self(user)->onRamWrite(static_cast<uint32_t>(address), static_cast<uint32_t>(size),
                                   static_cast<uint64_t>(value));
        }
    };
    using RamAccessHook = void (*)(uc_engine*, uc_mem_type, uint64_t, int, int64_t, void*);
    const RamAccessHook ramHook = ramAccess;
    for (const AddressRange& range : {config_.flash, config_.sram}) {
        if (range.size == 0) continue;
        ShadowMemory::Region& region = shadow_.add(range);
        const auto size = static_cast<uint32_t>(region.bytes.size());
        if (!engine_.mapRam(region.base, size, region.bytes.data())) {
            // Overlapping regions: the target refuses such a configuration.
            shadow_.removeLast();
            continue;
        }
        engine_.addHook(UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(ramHook), this, region.base,
                        uint64_t{region.base} + size - 1);
        ram.push_back({region.base, uint64_t{region.base} + size});
    }
    std::sort(ram.begin(), ram.end(), [](const Span& a, const Span& b) { return a.begin < b.begin; });

    const uc_cb_mmio_read_t busRead = [](uc_engine*, uint64_t offset, unsigned size, void* user) -> uint64_t {
        const auto* window = static_cast<MmioWindow*>(user);
        return window->core->onBusRead(static_cast<uint32_t>(window->base + offset), size);
    };
    const uc_cb_mmio_write_t busWrite = [](uc_engine*, uint64_t offset, unsigned size, uint64_t value, void* user) {
        const auto* window = static_cast<MmioWindow*>(user);
        window->core->onBusWrite(static_cast<uint32_t>(window->base + offset), size, value);
    };
    const auto mapBus = [&](uint64_t begin, uint64_t end) {
        if (begin >= end) return;
        windows_.push_back(std::make_unique<MmioWindow>(MmioWindow{this, static_cast<uint32_t>(begin)}));
        engine_.mapMmio(begin, end - begin, busRead, busWrite, windows_.back().get());
    };
    uint64_t cursor = 0;
    for (const Span& span : ram) {
        mapBus(cursor, span.begin);
        cursor = std::max(cursor, span.end);
    }
    mapBus(cursor, address_space::kEnd);

    using CodeHook = void (*)(uc_engine*, uint64_t, uint32_t, void*);
    const CodeHook code = [](uc_engine*, uint64_t address, uint32_t size, void* user) {
        Self(user)->onInstruction(static_cast<uint32_t>(address), size);
    };
    using InterruptHook = void (*)(uc_engine*, uint32_t, void*);
    const InterruptHook interrupt = [](uc_engine*, uint32_t number, void* user) { Self(user)->onInterrupt(number); };
    // Hooks go in before anything is translated: Unicorn does not call a hook
    // from code translated before the hook existed.
    engine_.addHook(UC_HOOK_CODE, reinterpret_cast<void*>(code), this, kAllAddressesBegin, kAllAddressesEnd);
    engine_.addHook(UC_HOOK_INTR, reinterpret_cast<void*>(interrupt), this, kAllAddressesBegin, kAllAddressesEnd);
}

// ---------------------------------------------------------------------------
// Run control

CoreRunResult UnicornCore::run(uint64_t nanoseconds) {
    const uint64_t rate = config_.instructionsPerMicrosecond;
    const uint64_t partial = carry_ + (nanoseconds % kNanosecondsPerMicrosecond) * rate;
    carry_ = partial % kNanosecondsPerMicrosecond;
    uint64_t budget = nanoseconds / kNanosecondsPerMicrosecond * rate + partial / kNanosecondsPerMicrosecond;
    const uint64_t paid = std::min(budget, debt_);
    debt_ -= paid;
    budget -= paid;
    if (budget == 0) return {};
    uint64_t slots = 0;
    const CoreRunResult result = execute(budget, slots);
    if (slots > budget) debt_ += slots - budget;
    return result;
}

CoreRunResult UnicornCore::step() {
    uint64_t slots = 0;
    return execute(1, slots);
}

CoreRunResult UnicornCore::execute(uint64_t budget, uint64_t& slots) {
    CoreRunResult result;
    if (lockedUp_) return {0, CoreStop::Lockup};
    if (sleeping_) return result;
    // Code pages are checked against the bus afresh in every run and step.
    shadow_.forgetVerified();
    haltSignalled_ = false;
    stopAtBoundary_ = false;
    transitions_ = 0;
    caught_ = false;
    watch_ = DebugEvent::None;
    while (result.retired + transitions_ < budget) {
        if (!engine_.thumb()) {
            // Execution with EPSR.T clear faults before the instruction.
            raiseFault(Fault::InvalidState, engine_.pc());
        } else {
            const uc_err error = emulate(budget - result.retired - transitions_);
            if (resetPending_ || clearActivePending_) {
                result.retired += executed_;
                applyDeferred();
                break;
            }
            dispatch(error, result);
            result.retired += executed_;
            if (stopAtBoundary_ && !stop_) break;
        }
        if (lockedUp_) {
            result.stop = CoreStop::Lockup;
            break;
        }
        if (caught_) {
            result.stop = CoreStop::VectorCatch;
            break;
        }
        if (watch_ != DebugEvent::None) takeWatch(result);
        if (sleeping_ || haltSignalled_ || result.stop != CoreStop::Budget) break;
    }
    slots = result.retired + transitions_;
    return result;
}

uc_err UnicornCore::emulate(uint64_t budget) {
    budget_ = budget;
    executed_ = 0;
    itRemaining_ = itBlockRemaining();
    lastInstruction_.reset();
    stop_.reset();
    hint_.reset();
    inEmulation_ = true;
    const uc_err error = engine_.start();
    inEmulation_ = false;
    for (const ShadowMemory::Range& range : staleCode_) engine_.forgetCode(range.begin, range.end);
    staleCode_.clear();
    return error;
}

// Turns what stopped Unicorn into the architectural outcome.
void UnicornCore::dispatch(uc_err error, CoreRunResult& result) {
    const uint32_t pc = engine_.pc();
    // An instruction that faults does not retire: Unicorn abandons it with PC
    // still pointing at it.
    const auto abandon = [&](uint32_t address) {
        if (lastInstruction_ == address && executed_ > 0) --executed_;
    };
    if (stop_) {
        const Stop stop = *stop_;
        switch (stop.kind) {
        case Stop::Kind::Breakpoint: result.stop = CoreStop::Breakpoint; return;
        case Stop::Kind::BkptInstruction:
            if (haltingDebugEnabled()) {
                result.stop = CoreStop::Breakpoint;
            } else {
                raiseBreakpoint(stop.pc);
            }
            return;
        case Stop::Kind::BusError:
            abandon(stop.pc);
            raiseFault(Fault::DataBus, stop.pc, stop.detail);
            return;
        case Stop::Kind::StaleCode: return;  // runs again from fresh code
        case Stop::Kind::Watchpoint: return;  // taken by execute()
        case Stop::Kind::Interrupt: break;
        }
        switch (stop.detail) {
        case unicorn_exception::kSupervisorCall: raiseSupervisorCall(stop.pc); return;
        case unicorn_exception::kPrefetchAbort:
        case unicorn_exception::kExceptionExit:
            // A branch to EXC_RETURN in Handler mode; elsewhere a fetch that
            // nothing answers.
            if (engine_.ipsr() != exception_number::kThreadMode && stop.pc >= exc_return::kMinimum) {
                returnFromException(stop.pc | kThumbBit);
            } else {
                fetchFault(stop.pc);
            }
            return;
        case unicorn_exception::kBreakpoint:
            abandon(stop.pc);
            if (haltingDebugEnabled()) {
                result.stop = CoreStop::Breakpoint;
            } else {
                raiseBreakpoint(stop.pc);
            }
            return;
        case unicorn_exception::kNoCoprocessor: abandon(stop.pc); raiseFault(Fault::NoCoprocessor, stop.pc); return;
        case unicorn_exception::kUnaligned: abandon(stop.pc); raiseFault(Fault::Unaligned, stop.pc); return;
        case unicorn_exception::kInvalidState: abandon(stop.pc); raiseFault(Fault::InvalidState, stop.pc); return;
        case unicorn_exception::kDataAbort: abandon(stop.pc); raiseFault(Fault::DataBus, stop.pc); return;
        default: abandon(stop.pc); raiseFault(Fault::UndefinedInstruction, stop.pc); return;
        }
    }
    // Unicorn ends a run after WFI, and reports YIELD and WFE as invalid
    // instructions with PC already past them.
    if (hint_ && pc == hint_->next && (error == UC_ERR_OK || error == UC_ERR_INSN_INVALID)) {
        if (hint_->kind == thumb::kHintWfi || hint_->kind == thumb::kHintWfe) sleeping_ = true;
        return;
    }
    switch (error) {
    case UC_ERR_OK: return;
    case UC_ERR_FETCH_UNMAPPED:
    case UC_ERR_FETCH_PROT:
    case UC_ERR_FETCH_UNALIGNED: fetchFault(pc); return;
    case UC_ERR_READ_UNMAPPED:
    case UC_ERR_WRITE_UNMAPPED:
    case UC_ERR_READ_PROT:
    case UC_ERR_WRITE_PROT:
        abandon(pc);
        raiseFault(Fault::DataBus, pc);
        return;
    default:
        abandon(pc);
        raiseFault(engine_.thumb() ? Fault::UndefinedInstruction : Fault::InvalidState, pc);
        return;
    }
}

void UnicornCore::applyDeferred() {
    if (resetPending_) {
        resetPending_ = false;
        clearActivePending_ = false;
        performReset();
    }
    if (clearActivePending_) {
        clearActivePending_ = false;
        clearActiveExceptions();
    }
}

// Unicorn translated the instruction from the copy before the hook ran: when
// the bus holds other code now, the run ends before the instruction and
// starts again from fresh translations.
bool UnicornCore::checkCode(uint32_t address, uint32_t size) {
    bool changed = false;
    for (uint32_t end : {address, address + size - 1}) {
        if (const std::optional<ShadowMemory::Range> page = shadow_.verify(end)) {
            staleCode_.push_back(*page);
            changed = true;
        }
    }
    return changed;
}

uint32_t UnicornCore::itBlockRemaining() const {
    const uint32_t value = engine_.read(UC_ARM_REG_XPSR);
    const uint32_t it = ((value >> it_state::kLowShift) & it_state::kLowBits) |
                        ((value >> it_state::kHighShift) & it_state::kHighBits) << it_state::kHighFieldShift;
    const uint32_t mask = it & it_state::kMaskBits;
    if (mask == 0) return 0;
    return it_state::kMaxBlock - static_cast<uint32_t>(std::countr_zero(mask));
}

// ---------------------------------------------------------------------------
// Unicorn callbacks

void UnicornCore::onInstruction(uint32_t address, uint32_t size) {
    // Unicorn cannot stop inside an IT block: the block runs to its end.
    if (itRemaining_ > 0) {
        checkCode(address, size);
        checksAlignment_ = thumb::ChecksAlignment(shadow_.halfword(address).value_or(0));
        noteWatch(hooks_.watchInstruction(address));
        --itRemaining_;
        lastInstruction_ = address;
        ++executed_;
        return;
    }
    // A DWT match is taken once the instruction that made it has completed.
    if (watch_ != DebugEvent::None) {
        stop_ = Stop{Stop::Kind::Watchpoint, address};
        engine_.stop();
        return;
    }
    if (stopAtBoundary_ || executed_ >= budget_) {
        engine_.stop();
        return;
    }
    if (checkCode(address, size)) {
        stop_ = Stop{Stop::Kind::StaleCode, address};
        engine_.stop();
        return;
    }
    // Breakpoints halt before the instruction executes.
    if (hooks_.breakpointAt(address)) {
        stop_ = Stop{Stop::Kind::Breakpoint, address};
        engine_.stop();
        return;
    }
    checksAlignment_ = false;
    if (const std::optional<uint16_t> first = shadow_.halfword(address)) {
        checksAlignment_ = thumb::ChecksAlignment(*first);
        std::optional<uint32_t> hint;
        if ((*first & thumb::kBkptMask) == thumb::kBkpt) {
            stop_ = Stop{Stop::Kind::BkptInstruction, address};
            engine_.stop();
            return;
        }
        if ((*first & thumb::kItOrHintMask) == thumb::kItOrHint) {
            const uint32_t mask = *first & thumb::kItMask;
            if (mask != 0) {
                itRemaining_ = it_state::kMaxBlock - static_cast<uint32_t>(std::countr_zero(mask));
            } else {
                hint = (*first & thumb::kHintMask) >> thumb::kHintShift;
            }
        } else if (size == thumb::kWideBytes && *first == thumb::kHint32First) {
            const std::optional<uint16_t> second = shadow_.halfword(address + kHalfwordBytes);
            if (second && (*second & thumb::kHint32SecondMask) == thumb::kHint32Second) {
                hint = *second & thumb::kHint32Field;
            }
        }
        if (hint == thumb::kHintYield || hint == thumb::kHintWfe || hint == thumb::kHintWfi) {
            hint_ = Hint{*hint, address + size};
        }
    }
    noteWatch(hooks_.watchInstruction(address));
    lastInstruction_ = address;
    ++executed_;
}

void UnicornCore::onInterrupt(uint32_t number) {
    if (!stop_) stop_ = Stop{Stop::Kind::Interrupt, engine_.pc(), number};
    engine_.stop();
}

// Stopping from a memory callback abandons the instruction with PC on it:
// a bus error is a precise fault.
void UnicornCore::busError(uint32_t address) {
    if (!stop_) stop_ = Stop{Stop::Kind::BusError, lastInstruction_.value_or(engine_.pc()), address};
    engine_.stop();
}

// Unicorn lets these instructions make unaligned accesses: the core faults
// them as ARMv7-M does, before the access.
bool UnicornCore::misaligned(uint32_t address, uint32_t size) {
    if (!checksAlignment_ || address % std::min(size, thumb::kWordBytes) == 0) return false;
    if (!stop_) {
        stop_ = Stop{Stop::Kind::Interrupt, lastInstruction_.value_or(engine_.pc()), unicorn_exception::kUnaligned};
    }
    engine_.stop();
    return true;
}

// The first match of an instruction wins; the core takes it at the next boundary.
void UnicornCore::noteWatch(DebugEvent event) {
    if (watch_ == DebugEvent::None) watch_ = event;
}

void UnicornCore::takeWatch(CoreRunResult& result) {
    const DebugEvent event = watch_;
    watch_ = DebugEvent::None;
    if (event == DebugEvent::Halt) {
        result.stop = CoreStop::Watchpoint;
    } else if (priorityOf(exception_number::kDebugMonitor) < executionPriority()) {
        // The return address is the next instruction: a watchpoint is asynchronous.
        enterException(exception_number::kDebugMonitor, engine_.pc(), kNoVectorCatch);
    }
}

void UnicornCore::fetchFault(uint32_t address) {
    raiseFault(ExecuteNever(address) ? Fault::ExecuteNever : Fault::InstructionBus, address);
}

void UnicornCore::onRamRead(uint32_t address, uint32_t size) {
    if (stop_ || misaligned(address, size)) return;
    if (!shadow_.pull(address, size)) {
        busError(address);
        return;
    }
    noteWatch(hooks_.watchData(address, size, false));
}

void UnicornCore::onRamWrite(uint32_t address, uint32_t size, uint64_t value) {
    if (stop_ || misaligned(address, size)) return;
    if (!shadow_.push(address, size, value)) {
        busError(address);
        return;
    }
    noteWatch(hooks_.watchData(address, size, true));
}

uint64_t UnicornCore::onBusRead(uint32_t address, uint32_t size) {
    if (stop_ || misaligned(address, size)) return 0;
    const std::optional<uint64_t> value = ReadBus(bus_, address, size);
    if (!value) {
        busError(address);
        return 0;
    }
    noteWatch(hooks_.watchData(address, size, false));
    return *value;
}

void UnicornCore::onBusWrite(uint32_t address, uint32_t size, uint64_t value) {
    if (stop_ || misaligned(address, size)) return;
    if (!WriteBus(bus_, address, size, value)) {
        busError(address);
        return;
    }
    noteWatch(hooks_.watchData(address, size, true));
    // A reset the core asks for through AIRCR: nothing runs past the store.
    const auto word = static_cast<uint32_t>(value);
    if (address == aircr::kAddress && (word >> aircr::kKeyShift) == aircr::kVectKey &&
        (word & (aircr::kVectReset | aircr::kSysResetReq)) != 0) {
        stopAtBoundary_ = true;
    }
}

// ---------------------------------------------------------------------------
// Debug and reset

void UnicornCore::halted() {
    // Debug state ends a lockup and wakes a sleeping core.
    lockedUp_ = false;
    sleeping_ = false;
    haltSignalled_ = true;
    if (inEmulation_) stopAtBoundary_ = true;
}

void UnicornCore::reset() {
    if (inEmulation_) {
        resetPending_ = true;
        stopAtBoundary_ = true;
        return;
    }
    performReset();
}

void UnicornCore::performReset() {
    lockedUp_ = false;
    sleeping_ = false;
    active_.clear();
    carry_ = 0;
    debt_ = 0;
    engine_.setIpsr(exception_number::kThreadMode);
    engine_.setControl(0);
    for (int reg : kGeneral) engine_.write(reg, 0);
    engine_.write(UC_ARM_REG_LR, core_reset::kLrResetValue);
    engine_.write(UC_ARM_REG_XPSR, xpsr::kThumb);
    for (int reg : {UC_ARM_REG_PRIMASK, UC_ARM_REG_BASEPRI, UC_ARM_REG_FAULTMASK, UC_ARM_REG_PSP}) {
        engine_.setSpecial(reg, 0);
    }
    const std::optional<uint32_t> sp = hooks_.readVector(core_reset::kInitialSpAddress);
    const std::optional<uint32_t> entry = hooks_.readVector(core_reset::kResetVectorAddress);
    engine_.setSpecial(UC_ARM_REG_MSP, sp.value_or(0) & core_reset::kStackAlignMask);
    if (!sp || !entry) {
        // A vector table the bus refuses: the reset's HardFault cannot be
        // taken either.
        lockUp();
        return;
    }
    // An entry without the Thumb bit, or one nothing answers at, faults on
    // the first instruction like any other.
    engine_.setPc(*entry & ~kThumbBit, (*entry & kThumbBit) != 0);
}

void UnicornCore::clearActiveExceptions() {
    if (inEmulation_) {
        clearActivePending_ = true;
        stopAtBoundary_ = true;
        return;
    }
    active_.clear();
    engine_.setIpsr(exception_number::kThreadMode);
}

bool UnicornCore::exceptionActive(uint32_t exception) const {
    return std::find(active_.begin(), active_.end(), exception) != active_.end();
}

bool UnicornCore::haltingDebugEnabled() {
    // The low byte only: a read of the top byte would clear DHCSR's sticky bits.
    const BusRead control = bus_.read(dhcsr::kAddress, AccessSize::Byte);
    return !control.error && (control.value & dhcsr::kCDebugEn) != 0;
}

// A vector catch halts the core on the first instruction of the handler.
void UnicornCore::catchVector(uint32_t vectorCatch) {
    if (vectorCatch == kNoVectorCatch || !haltingDebugEnabled()) return;
    const BusRead catches = bus_.read(demcr::kAddress, AccessSize::Word);
    if (!catches.error && (catches.value & vectorCatch) != 0) caught_ = true;
}

// ---------------------------------------------------------------------------
// Exceptions

int32_t UnicornCore::priorityOf(uint32_t exception) {
    if (exception == exception_number::kNmi) return exception_priority::kNmi;
    if (exception < shpr::kFirstException) return exception_priority::kHardFault;
    const BusRead byte = bus_.read(shpr::ByteAddress(exception), AccessSize::Byte);
    const uint32_t priority = byte.error ? 0 : byte.value & exception_priority::kImplementedMask;
    // Only the group priority decides preemption.
    const BusRead control = bus_.read(aircr::kAddress, AccessSize::Word);
    const uint32_t group =
        control.error ? 0 : (control.value >> aircr_fields::kPriGroupShift) & aircr_fields::kPriGroupBits;
    return static_cast<int32_t>(priority & ~aircr_fields::SubpriorityMask(group) & exception_priority::kByteMask);
}

int32_t UnicornCore::executionPriority() {
    int32_t priority = exception_priority::kNone;
    for (uint32_t exception : active_) priority = std::min(priority, priorityOf(exception));
    const uint32_t current = engine_.ipsr();
    if (current != exception_number::kThreadMode) priority = std::min(priority, priorityOf(current));
    const uint32_t basePri = engine_.special(UC_ARM_REG_BASEPRI) & exception_priority::kImplementedMask;
    if (basePri != 0) priority = std::min(priority, static_cast<int32_t>(basePri));
    if (engine_.special(UC_ARM_REG_PRIMASK) & kBitMask) {
        priority = std::min(priority, exception_priority::kPriMaskBoost);
    }
    if (engine_.special(UC_ARM_REG_FAULTMASK) & kBitMask) {
        priority = std::min(priority, exception_priority::kHardFault);
    }
    return priority;
}

// Configurable faults are taken as themselves when SHCSR enables them and
// their priority allows, else they escalate to HardFault (HFSR.FORCED); a
// fault HardFault cannot take locks the core up.
void UnicornCore::raiseFault(Fault fault, uint32_t returnAddress, std::optional<uint32_t> faultAddress, bool stack) {
    const FaultRoute route = RouteOf(fault);
    FaultRecord record{route.status, 0, faultAddress};
    const int32_t current = executionPriority();
    if (route.enable != kAlwaysEnabled) {
        const BusRead enables = bus_.read(shcsr::kAddress, AccessSize::Word);
        if (!enables.error && (enables.value & route.enable) != 0 && priorityOf(route.exception) < current) {
            hooks_.recordFault(record);
            enterException(route.exception, returnAddress, route.vectorCatch, stack);
            return;
        }
    }
    if (exception_priority::kHardFault < current) {
        record.hfsr = fault == Fault::Breakpoint ? hfsr::kDebugEvt : hfsr::kForced;
        hooks_.recordFault(record);
        enterException(exception_number::kHardFault, returnAddress, demcr::kVcHardErr, stack);
        return;
    }
    hooks_.recordFault(record);
    lockUp();
}

void UnicornCore::raiseSupervisorCall(uint32_t returnAddress) {
    if (priorityOf(exception_number::kSvCall) < executionPriority()) {
        enterException(exception_number::kSvCall, returnAddress, kNoVectorCatch);
    } else {
        raiseFault(Fault::SupervisorCall, returnAddress);  // escalates as any synchronous exception
    }
}

// BKPT with halting debug off: the DebugMonitor exception when DEMCR.MON_EN
// asks for it, else a HardFault.
void UnicornCore::raiseBreakpoint(uint32_t address) {
    const BusRead monitor = bus_.read(demcr::kAddress, AccessSize::Word);
    if (!monitor.error && (monitor.value & demcr::kMonEn) != 0 &&
        priorityOf(exception_number::kDebugMonitor) < executionPriority()) {
        enterException(exception_number::kDebugMonitor, address, kNoVectorCatch);
        return;
    }
    raiseFault(Fault::Breakpoint, address);
}

bool UnicornCore::pushFrame(uint32_t returnAddress, uint32_t& frame) {
    const uint32_t sp = engine_.read(UC_ARM_REG_SP);
    frame = (sp - exception_frame::kBytes) & exception_frame::kAlignMask;
    std::array<uint32_t, exception_frame::kWords> words{};
    for (uint32_t i = 0; i < kFrameRegisters.size(); ++i) words[i] = engine_.read(kFrameRegisters[i]);
    words[exception_frame::kReturnAddress] = returnAddress;
    words[exception_frame::kXpsr] =
        engine_.read(UC_ARM_REG_XPSR) | ((sp & exception_frame::kPadding) ? exception_frame::kPaddingBit : 0);
    for (uint32_t i = 0; i < words.size(); ++i) {
        const uint32_t address = frame + i * kWordBytes;
        if (!bus_.write(address, AccessSize::Word, words[i])) return false;
        shadow_.mirror(address, kWordBytes, words[i]);
    }
    return true;
}

void UnicornCore::enterException(uint32_t number, uint32_t returnAddress, uint32_t vectorCatch, bool stack) {
    uint32_t frame = (engine_.read(UC_ARM_REG_SP) - exception_frame::kBytes) & exception_frame::kAlignMask;
    if (stack && !pushFrame(returnAddress, frame)) {
        // A derived fault, taken instead without stacking again; one HardFault
        // cannot take locks the core up.
        if (number == exception_number::kHardFault) {
            hooks_.recordFault({cfsr::kStkErr, 0, std::nullopt});
            lockUp();
        } else {
            raiseFault(Fault::Stacking, returnAddress, std::nullopt, false);
        }
        return;
    }
    const BusRead table = bus_.read(vtor::kAddress, AccessSize::Word);
    const uint32_t base = table.error ? 0 : table.value & vtor::kMask;
    std::optional<uint32_t> vector = hooks_.readVector(base + number * kWordBytes);
    if (!vector && number != exception_number::kHardFault) {
        hooks_.recordFault({0, hfsr::kVectTbl, std::nullopt});
        number = exception_number::kHardFault;
        vectorCatch = demcr::kVcHardErr;
        vector = hooks_.readVector(base + number * kWordBytes);
    }
    if (!vector) {
        lockUp();
        return;
    }
    const bool fromThread = engine_.ipsr() == exception_number::kThreadMode;
    const bool processStack = fromThread && (engine_.control() & control_reg::kSpSel) != 0;
    if (processStack) {
        engine_.setSpecial(UC_ARM_REG_PSP, frame);
        engine_.setControl(engine_.control() & ~control_reg::kSpSel);
    } else {
        engine_.setSpecial(UC_ARM_REG_MSP, frame);
    }
    const uint32_t status = engine_.read(UC_ARM_REG_XPSR) & ~(it_state::kFieldMask | xpsr::kExceptionMask);
    engine_.write(UC_ARM_REG_XPSR, status | number);
    engine_.write(UC_ARM_REG_LR, !fromThread     ? exc_return::kHandlerMsp
                                 : processStack ? exc_return::kThreadPsp
                                                : exc_return::kThreadMsp);
    engine_.setPc(*vector & ~kThumbBit, (*vector & kThumbBit) != 0);
    active_.push_back(number);
    ++transitions_;
    catchVector(vectorCatch);
}

void UnicornCore::returnFromException(uint32_t excReturn) {
    const uint32_t returning = engine_.ipsr();
    const auto found = std::find(active_.rbegin(), active_.rend(), returning);
    std::vector<uint32_t> remaining = active_;
    if (found != active_.rend()) remaining.erase(std::next(found).base() - active_.begin() + remaining.begin());
    const bool toThread = (excReturn & exc_return::kToThread) != 0;
    const bool processStack = (excReturn & exc_return::kProcessStack) != 0;
    // Thread mode only once nothing else is active (CCR.NONBASETHRDENA is 0).
    if (!IsExcReturn(excReturn) || toThread != remaining.empty()) {
        raiseFault(Fault::InvalidExceptionReturn, excReturn & ~kThumbBit);
        return;
    }
    const uint32_t frame = engine_.special(processStack ? UC_ARM_REG_PSP : UC_ARM_REG_MSP);
    std::array<uint32_t, exception_frame::kWords> words{};
    for (uint32_t i = 0; i < words.size(); ++i) {
        const BusRead word = bus_.read(frame + i * kWordBytes, AccessSize::Word);
        if (word.error) {
            raiseFault(Fault::Unstacking, excReturn & ~kThumbBit);
            return;
        }
        words[i] = word.value;
    }
    active_ = std::move(remaining);
    const uint32_t status = words[exception_frame::kXpsr];
    const uint32_t number = toThread ? exception_number::kThreadMode : status & xpsr::kExceptionMask;
    engine_.write(UC_ARM_REG_XPSR, (status & xpsr::kImplementedMask & ~xpsr::kExceptionMask) | number);
    if (toThread) {
        engine_.setControl((engine_.control() & ~control_reg::kSpSel) | (processStack ? control_reg::kSpSel : 0));
    }
    const uint32_t padding = (status & exception_frame::kPaddingBit) ? exception_frame::kPadding : 0;
    engine_.setSpecial(processStack ? UC_ARM_REG_PSP : UC_ARM_REG_MSP, frame + exception_frame::kBytes + padding);
    for (uint32_t i = 0; i < kFrameRegisters.size(); ++i) engine_.write(kFrameRegisters[i], words[i]);
    engine_.setPc(words[exception_frame::kReturnAddress] & ~kThumbBit, (status & xpsr::kThumb) != 0);
    ++transitions_;
}

void UnicornCore::lockUp() {
    lockedUp_ = true;
    engine_.setPc(core_reset::kLockupAddress, true);
}

// ---------------------------------------------------------------------------
// Registers

std::optional<uint32_t> UnicornCore::readRegister(uint8_t regsel) const {
    if (regsel <= regsel::kR12) return engine_.read(kGeneral[regsel]);
    switch (regsel) {
    case regsel::kSp: return engine_.read(UC_ARM_REG_SP);
    case regsel::kLr: return engine_.read(UC_ARM_REG_LR);
    case regsel::kDebugReturnAddress: return engine_.pc() & ~kThumbBit;
    case regsel::kXpsr: return engine_.read(UC_ARM_REG_XPSR) & xpsr::kImplementedMask;
    case regsel::kMsp: return engine_.special(UC_ARM_REG_MSP);
    case regsel::kPsp: return engine_.special(UC_ARM_REG_PSP);
    case regsel::kSpecial:
        return (engine_.control() & special_regs::kControlMask) << special_regs::kControlShift |
               (engine_.special(UC_ARM_REG_FAULTMASK) & special_regs::kFaultMaskMask) << special_regs::kFaultMaskShift |
               (engine_.special(UC_ARM_REG_BASEPRI) & special_regs::kBasePriMask) << special_regs::kBasePriShift |
               (engine_.special(UC_ARM_REG_PRIMASK) & special_regs::kPriMaskMask) << special_regs::kPriMaskShift;
    default: return std::nullopt;
    }
}

bool UnicornCore::writeRegister(uint8_t regsel, uint32_t value) {
    if (inEmulation_) return false;
    if (regsel <= regsel::kR12) {
        engine_.write(kGeneral[regsel], value);
        return true;
    }
    switch (regsel) {
    case regsel::kSp: engine_.write(UC_ARM_REG_SP, value & core_reset::kStackAlignMask); return true;
    case regsel::kLr: engine_.write(UC_ARM_REG_LR, value); return true;
    case regsel::kDebugReturnAddress: engine_.setPc(value & ~kThumbBit, engine_.thumb()); return true;
    case regsel::kXpsr: engine_.write(UC_ARM_REG_XPSR, value & xpsr::kImplementedMask); return true;
    case regsel::kMsp: engine_.setSpecial(UC_ARM_REG_MSP, value & core_reset::kStackAlignMask); return true;
    case regsel::kPsp: engine_.setSpecial(UC_ARM_REG_PSP, value & core_reset::kStackAlignMask); return true;
    case regsel::kSpecial:
        engine_.setSpecial(UC_ARM_REG_PRIMASK, value >> special_regs::kPriMaskShift & special_regs::kPriMaskMask);
        engine_.setSpecial(UC_ARM_REG_BASEPRI, value >> special_regs::kBasePriShift & special_regs::kBasePriMask);
        engine_.setSpecial(UC_ARM_REG_FAULTMASK,
                           value >> special_regs::kFaultMaskShift & special_regs::kFaultMaskMask);
        engine_.setControl(value >> special_regs::kControlShift & special_regs::kControlMask);
        return true;
    default: return false;
    }
}

}  // namespace cm3sim
