// What the debug logic needs of a processor core: the register-level model
// (register_core.h) and the Unicorn CPU (sim/cpu) implement it.
#pragma once

#include <cstdint>
#include <optional>

namespace cm3sim {

// What a DWT match asks of the core.
enum class DebugEvent {
    None,     // no comparator matched, or nothing takes the event
    Halt,     // enter Debug state
    Monitor,  // take the DebugMonitor exception
};

// Status a fault leaves in CFSR and HFSR, and its fault address.
struct FaultRecord {
    uint32_t cfsr = 0;
    uint32_t hfsr = 0;
    std::optional<uint32_t> bfar;
};

// The core's view of the system around it.
class CoreHooks {
public:
    virtual ~CoreHooks() = default;
    // Whether an instruction fetch at `address` hits a breakpoint that halts
    // the core (halting debug enabled and an FPB comparator matching).
    virtual bool breakpointAt(uint32_t address) = 0;
    // Whether code can be fetched from `address` at all.
    virtual bool executable(uint32_t address) = 0;
    // A word of the vector table; nullopt on a bus error.
    virtual std::optional<uint32_t> readVector(uint32_t address) = 0;
    // DWT comparators: an instruction at `address` executes, or the processor
    // makes a data access. Sets FUNCTION.MATCHED on every comparator matching.
    virtual DebugEvent watchInstruction(uint32_t address) = 0;
    virtual DebugEvent watchData(uint32_t address, uint32_t size, bool write) = 0;
    // The core took a fault: its status goes to the SCS.
    virtual void recordFault(const FaultRecord& record) = 0;
};

enum class CoreStop {
    Budget,      // used the time or step it was given
    Breakpoint,  // stopped before an instruction that hit a breakpoint
    Lockup,      // cannot execute: locked up
    VectorCatch, // halted on the first instruction of a caught exception
    Watchpoint,  // a DWT comparator matched the instruction before PC
};

struct CoreRunResult {
    uint64_t retired = 0;
    CoreStop stop = CoreStop::Budget;
};

class Core {
public:
    virtual ~Core() = default;

    // Leaves reset: registers to their reset values, SP from word 0 and PC
    // from word 4 of the vector table. A table the core cannot use locks it up.
    virtual void reset() = 0;
    // Runs for this much virtual time, retiring instructions at the
    // configured rate.
    virtual CoreRunResult run(uint64_t nanoseconds) = 0;
    // Executes exactly one instruction.
    virtual CoreRunResult step() = 0;
    // The core entered Debug state (which ends a lockup).
    virtual void halted() = 0;

    virtual bool lockedUp() const = 0;
    virtual bool sleeping() const = 0;
    // AIRCR.VECTCLRACTIVE
    virtual void clearActiveExceptions() = 0;
    // Whether an exception is active (SHCSR's active bits).
    virtual bool exceptionActive(uint32_t /*exception*/) const { return false; }

    // Registers by DCRSR.REGSEL; nullopt / false for a REGSEL with no register.
    virtual std::optional<uint32_t> readRegister(uint8_t regsel) const = 0;
    virtual bool writeRegister(uint8_t regsel, uint32_t value) = 0;
};

}  // namespace cm3sim
