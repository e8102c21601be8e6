// The virtual board behind channel A: how ADBUS reaches the target.
//   ADBUS0 SK   -> SWCLK/TCK
//   ADBUS7      selects the wiring; as an input it reads pulled high.
//     low:  SWD wiring, DO drives SWDIO/TMS while it is an output, DI reads it
//     high: JTAG wiring, CS drives TMS, DO drives TDI, DI reads TDO
//   ADBUS5      the target's active-low reset (pulled high while an input)
//   ADBUS4, ADBUS6 and ACBUS: not connected.
// When the host and the target drive a line at once, the target wins (there
// is a series resistor on DO) and the board counts the contention. A line
// nobody drives reads high.
//
// Timing: at each SK edge every sample is taken before anything changes. The
// host's sample comes first, then the target samples and launches, then the
// host's own outputs move. The SWD target samples and launches on rising
// edges (cycle by cycle in dp/sw_dp.cpp); the JTAG TAP samples TMS and TDI on
// rising edges and changes TDO on falling ones.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "dp/access_port_bus.h"
#include "dp/swj_dp.h"
#include "mpsse/pin_bus.h"

namespace cm3sim {

// The lines between the adapter and the target as they are driven now.
struct BoardLines {
    bool swdWiring = true;
    bool clock = false;    // SWCLK/TCK
    bool swdioTms = true;  // SWDIO on the SWD wiring, TMS on the JTAG wiring
    bool tdi = true;
    bool tdo = true;
    bool reset = true;     // nRESET: high while released
    bool operator==(const BoardLines&) const = default;
};

// Sees the lines after every change the host makes (sim/trace).
class LineObserver {
public:
    virtual ~LineObserver() = default;
    // `clockEdge`: SWCLK/TCK moved; data lines that changed with it were
    // launched by that edge, after it sampled them.
    virtual void linesChanged(const BoardLines& lines, bool clockEdge) = 0;
};

class TargetBoard : public PinBus {
public:
    TargetBoard(SwjDp& dp, TargetSystem& target) : dp_(dp), target_(target) {}

    void hostPinsChanged(const PinBank& low, const PinBank& high) override;
    uint8_t lowLevels() const override;
    uint8_t highLevels() const override;

    // Line-state updates (edges and pin writes) at which host and target both drove a line.
    uint64_t contentionCount() const { return contention_; }
    void clearContentionCount() { contention_ = 0; }
    bool swdWiring() const;
    bool swdioTmsLevel() const;
    bool tdiLevel() const;
    bool tdoLevel() const;
    bool resetAsserted() const { return resetAsserted_; }
    BoardLines lines() const;
    void addObserver(LineObserver* observer) { observers_.push_back(observer); }
    void clearObservers() { observers_.clear(); }

private:
    std::optional<bool> hostSwdioTmsDrive() const;
    std::optional<bool> hostTdoDrive() const;
    std::optional<bool> hostTdiDrive() const;

    SwjDp& dp_;
    TargetSystem& target_;
    PinBank low_;
    PinBank high_;
    uint64_t contention_ = 0;
    bool resetAsserted_ = false;
    std::vector<LineObserver*> observers_;
};

}  // namespace cm3sim
