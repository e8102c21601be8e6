// A Cortex-M3 that executes Thumb-2 on Unicorn, behind target/core.h. See
// sim/cpu/README.md for what it models and where it departs from silicon.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "config.h"
#include "cpu/shadow_memory.h"
#include "cpu/unicorn_engine.h"
#include "target/bus.h"
#include "target/core.h"

namespace cm3sim {

// Matches CortexM3Target::CoreFactory.
std::unique_ptr<Core> MakeUnicornCore(const SimConfig& config, Bus& bus, CoreHooks& hooks);

class UnicornCore final : public Core {
public:
    // Throws std::runtime_error when Unicorn cannot be set up.
    UnicornCore(const SimConfig& config, Bus& bus, CoreHooks& hooks);
    ~UnicornCore() override;
    UnicornCore(const UnicornCore&) = delete;
    UnicornCore& operator=(const UnicornCore&) = delete;

    void reset() override;
    CoreRunResult run(uint64_t nanoseconds) override;
    CoreRunResult step() override;
    void halted() override;
    bool lockedUp() const override { return lockedUp_; }
    bool sleeping() const override { return sleeping_; }
    void clearActiveExceptions() override;
    bool exceptionActive(uint32_t exception) const override;
    std::optional<uint32_t> readRegister(uint8_t regsel) const override;
    bool writeRegister(uint8_t regsel, uint32_t value) override;

    // Unicorn callbacks.
    void onInstruction(uint32_t address, uint32_t size);
    void onInterrupt(uint32_t number);
    void onRamRead(uint32_t address, uint32_t size);
    void onRamWrite(uint32_t address, uint32_t size, uint64_t value);
    uint64_t onBusRead(uint32_t address, uint32_t size);
    void onBusWrite(uint32_t address, uint32_t size, uint64_t value);

    // Why a fault happened; decides the exception it is taken as.
    enum class Fault {
        UndefinedInstruction,
        InvalidState,
        InvalidExceptionReturn,
        NoCoprocessor,
        Unaligned,
        InstructionBus,
        DataBus,
        Stacking,
        Unstacking,
        ExecuteNever,  // a fetch from a region the default memory map never executes
        SupervisorCall,  // SVC its priority does not allow
        Breakpoint,  // BKPT with no debugger to take it
    };

private:
    // What ended one run of Unicorn besides the instruction budget.
    struct Stop {
        enum class Kind { Breakpoint, BkptInstruction, BusError, Interrupt, StaleCode, Watchpoint };
        Kind kind;
        uint32_t pc;           // the instruction concerned
        uint32_t detail = 0;   // QEMU exception number for Interrupt, the address for BusError
    };
    struct Hint {  // WFI, WFE or YIELD about to execute
        uint32_t kind;
        uint32_t next;
    };
    struct MmioWindow {
        UnicornCore* core;
        uint32_t base;
    };

    void mapMemory();
    // Runs until `budget` slots (retired instructions, exception entries and
    // returns) are used or something stops the core; `slots` may exceed the
    // budget by the tail of an IT block.
    CoreRunResult execute(uint64_t budget, uint64_t& slots);
    uc_err emulate(uint64_t budget);
    void dispatch(uc_err error, CoreRunResult& result);
    void busError(uint32_t address);
    bool misaligned(uint32_t address, uint32_t size);
    void noteWatch(DebugEvent event);
    void takeWatch(CoreRunResult& result);
    void fetchFault(uint32_t address);
    bool checkCode(uint32_t address, uint32_t size);
    void performReset();
    void applyDeferred();

    // Exceptions.
    // `faultAddress` goes to BFAR; `stack` is false for a fault derived from
    // stacking, which enters its handler without stacking again.
    void raiseFault(Fault fault, uint32_t returnAddress, std::optional<uint32_t> faultAddress = std::nullopt,
                    bool stack = true);
    void raiseSupervisorCall(uint32_t returnAddress);
    void raiseBreakpoint(uint32_t address);
    void enterException(uint32_t number, uint32_t returnAddress, uint32_t vectorCatch, bool stack = true);
    bool pushFrame(uint32_t returnAddress, uint32_t& frame);
    void returnFromException(uint32_t excReturn);
    void lockUp();
    int32_t priorityOf(uint32_t exception);
    int32_t executionPriority();
    void catchVector(uint32_t vectorCatch);
    bool haltingDebugEnabled();
    uint32_t itBlockRemaining() const;

    const SimConfig& config_;
    Bus& bus_;
    CoreHooks& hooks_;
    // The engine maps the shadow's storage and hands the windows to its
    // callbacks: both outlive it.
    ShadowMemory shadow_;
    std::vector<std::unique_ptr<MmioWindow>> windows_;
    UnicornEngine engine_;

    bool lockedUp_ = false;
    bool sleeping_ = false;
    std::vector<uint32_t> active_;  // active exceptions, oldest first
    uint64_t carry_ = 0;            // instruction-nanoseconds not yet worth an instruction
    uint64_t debt_ = 0;             // slots an IT block ran past the last budget
    uint64_t transitions_ = 0;      // exception entries and returns in this execute()
    bool caught_ = false;           // a vector catch ends this execute()
    DebugEvent watch_ = DebugEvent::None;  // a DWT match, taken at the next instruction boundary

    // One run of Unicorn.
    bool inEmulation_ = false;
    uint64_t budget_ = 0;
    uint64_t executed_ = 0;
    uint32_t itRemaining_ = 0;
    std::optional<uint32_t> lastInstruction_;
    bool checksAlignment_ = false;  // the instruction executing faults on unaligned accesses
    std::optional<Stop> stop_;
    std::optional<Hint> hint_;
    std::vector<ShadowMemory::Range> staleCode_;  // translations to drop after the run
    bool stopAtBoundary_ = false;

    // Requests that arrive through the bus while Unicorn runs.
    bool resetPending_ = false;
    bool clearActivePending_ = false;
    bool haltSignalled_ = false;
};

}  // namespace cm3sim
