// The board's flash controller: FMA (address), FMD (data), FMC (command).
#pragma once

#include <cstdint>
#include <optional>

#include "config.h"
#include "target/bus.h"
#include "target/memory.h"

namespace cm3sim {

struct FlashCounters {
    uint64_t programs = 0;
    uint64_t pageErases = 0;
    uint64_t massErases = 0;
    uint64_t rejectedCommands = 0;  // wrong key, busy, several bits, address outside flash
};

class FlashController : public WordRegisterDevice {
public:
    FlashController(const SimConfig& config, MemoryBlock& flash) : config_(config), flash_(flash) {}

    // Operations finish, and take effect, when their modeled time has passed.
    void advance(uint64_t nanoseconds);
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
        uint64_t remainingNs;
    };
    void command(uint32_t value);
    void finish(const Operation& operation);

    const SimConfig& config_;
    MemoryBlock& flash_;
    uint32_t fma_ = 0;
    uint32_t fmd_ = 0;
    std::optional<Operation> pending_;
    FlashCounters counters_;
};

}  // namespace cm3sim
