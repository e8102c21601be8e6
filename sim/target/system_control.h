// The part's system-control block at 0x400FE000: identification and
// capability words, clock configuration, and the non-volatile user and flash
// protection registers. Addresses it does not model answer a bus error.
#pragma once

#include <array>
#include <cstdint>

#include "config.h"
#include "target/bus.h"

namespace cm3sim {

// The registers kept in flash outside the array. Writes can only clear bits,
// and last until the next system reset unless the flash controller commits
// them (FMC.COMT); committed values survive every reset.
struct NonVolatileRegisters {
    std::array<uint32_t, 4> readEnable{};     // FMPRE0..3
    std::array<uint32_t, 4> programEnable{};  // FMPPE0..3
    uint32_t userDbg = 0;
    std::array<uint32_t, 2> userReg{};
};

class SystemControlBlock : public WordRegisterDevice {
public:
    explicit SystemControlBlock(const SimConfig& config);

    // System and power-on resets: clock registers to their reset values,
    // non-volatile registers back to what was committed.
    void reset();

    // Whether the flash block holding `address` (an address in flash) may be
    // programmed or erased.
    bool programEnabled(uint32_t address) const;
    bool allProgramEnabled() const;
    // FMC.COMT with FMA = `selector`; false when it selects no register.
    bool commit(uint32_t selector);

    const NonVolatileRegisters& committed() const { return committed_; }

protected:
    BusRead readRegister(uint32_t wordOffset, uint32_t lanes) override;
    bool writeRegister(uint32_t wordOffset, uint32_t value) override;

private:
    // FMPREn / FMPPEn present for the configured flash size.
    uint32_t protectionRegisters() const;
    uint32_t* nonVolatile(NonVolatileRegisters& set, uint32_t wordOffset);
    uint32_t* clockRegister(uint32_t wordOffset);

    const SimConfig& config_;
    NonVolatileRegisters committed_;
    NonVolatileRegisters live_;
    uint32_t rcc_ = 0;
    uint32_t rcc2_ = 0;
    uint32_t usecrl_ = 0;
    uint32_t dslpClkCfg_ = 0;
    std::array<uint32_t, 9> gating_{};  // RCGC0..2, SCGC0..2, DCGC0..2
};

}  // namespace cm3sim
