// Halting debug as ARMv7-M defines it (DHCSR, DCRSR, DCRDR, DEMCR, DFSR)
// and the core's run and reset state.
#pragma once

#include <cstdint>
#include <optional>

#include "config.h"
#include "target/registers.h"
#include "target/core.h"
#include "target/coresight.h"
#include "target/counters.h"

namespace cm3sim {

enum class ResetKind {
    PowerOn,  // everything, debug logic included
    System,   // SYSRESETREQ or the reset pin: core and peripherals
    Core,     // VECTRESET: the core only
};

class CoreDebug {
public:
    // `dwt` counts the core's cycles in CYCCNT.
    CoreDebug(const SimConfig& config, Core& core, TargetCounters& counters, Dwt& dwt)
        : config_(config), core_(core), counters_(counters), dwt_(dwt) {}

    // `lanes` has bit n set for each byte lane the bus read covers.
    uint32_t readDhcsr(uint32_t lanes);
    uint32_t peekDhcsr() const;  // no side effects
    void writeDhcsr(uint32_t value);
    void writeDcrsr(uint32_t value);
    uint32_t readDcrdr();
    void writeDcrdr(uint32_t value);
    uint32_t demcr() const { return demcr_; }
    void writeDemcr(uint32_t value);
    uint32_t dfsr() const { return dfsr_; }
    void clearDfsr(uint32_t bits);
    // A debug event the DebugMonitor exception takes, outside Debug state.
    void recordDebugEvent(uint32_t reason) { dfsr_ |= reason & dfsr::kMask; }

    bool haltingDebugEnabled() const;
    bool halted() const { return halted_; }
    bool inReset() const { return inReset_; }
    uint64_t retiredInstructions() const { return retired_; }

    // Starts a reset of this kind; the core leaves it after the modeled reset
    // time, unless the pin still holds it or the reset is set never to end.
    void reset(ResetKind kind);
    void setResetPin(bool asserted);
    void advance(uint64_t nanoseconds);

private:
    struct Transfer {
        uint8_t regsel;
        bool write;
        uint64_t remainingNs;
    };

    void enterDebugState(uint32_t reason);
    void resume();
    void stepOnce();
    void runCore(uint64_t nanoseconds);
    void retired(const CoreRunResult& result);
    void settle();  // applies whatever is due at the current time
    void leaveReset();

    const SimConfig& config_;
    Core& core_;
    TargetCounters& counters_;
    Dwt& dwt_;

    uint32_t control_ = 0;  // DHCSR C_* bits
    uint32_t demcr_ = 0;
    uint32_t dfsr_ = 0;
    uint32_t dcrdr_ = 0;
    bool halted_ = false;
    bool regReady_ = true;
    bool retireSticky_ = false;
    bool resetSticky_ = false;
    std::optional<Transfer> transfer_;

    bool pinAsserted_ = false;
    bool inReset_ = false;
    uint64_t resetRemainingNs_ = 0;
    uint64_t retired_ = 0;
};

}  // namespace cm3sim
