// The part's flash controller at 0x400FD000: FMA (address), FMD (data), FMC
// (command), FCRIS / FCIM / FCMISC (raw status, mask, masked status).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <utility>

#include "config.h"
#include "target/bus.h"
#include "target/memory.h"
#include "target/system_control.h"

namespace cm3sim {

struct FlashCounters {
    uint64_t programs = 0;
    uint64_t pageErases = 0;
    uint64_t massErases = 0;
    uint64_t commits = 0;
    uint64_t rejectedCommands = 0;  // wrong key, busy, not one command bit
    uint64_t accessErrors = 0;      // protected or absent address: FCRIS.ARIS
};

class FlashController : public WordRegisterDevice {
public:
    // Virtual time now, also in the middle of a run of the core.
    using Clock = std::function<uint64_t()>;

    FlashController(const SimConfig& config, MemoryBlock& flash, SystemControlBlock& systemControl, Clock clock)
        : config_(config), flash_(flash), systemControl_(systemControl), clock_(std::move(clock)) {}

    // Completes the operation in flight if its time has come. Register
    // accesses settle first, so whoever polls sees the same moment.
    void settle();
    // When the operation in flight completes; nullopt when idle.
    std::optional<uint64_t> dueNs() const;
    // Peripheral reset: registers cleared, an operation in flight abandoned.
    void reset();

    bool busy() const { return pending_.has_value(); }
    const FlashCounters& counters() const { return counters_; }

protected:
    BusRead readRegister(uint32_t wordOffset, uint32_t lanes) override;
    bool writeRegister(uint32_t wordOffset, uint32_t value) override;

private:
    struct Operation {
        uint32_t command;  // one of the FMC command bits
        uint32_t address;
        uint32_t data;
        uint64_t dueNs;
    };
    void command(uint32_t value);
    // Whether the command may touch what FMA selects; sets ARIS when not.
    bool permitted(uint32_t bits);
    void finish(const Operation& operation);

    const SimConfig& config_;
    MemoryBlock& flash_;
    SystemControlBlock& systemControl_;
    Clock clock_;
    uint32_t fma_ = 0;
    uint32_t fmd_ = 0;
    uint32_t fcris_ = 0;
    uint32_t fcim_ = 0;
    std::optional<Operation> pending_;
    FlashCounters counters_;
};

}  // namespace cm3sim
