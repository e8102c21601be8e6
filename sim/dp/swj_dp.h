// The SWJ-DP: one SWDIO/TMS line shared by the SW-DP and the JTAG-DP, with the
// select sequences that switch between them. It starts in JTAG after power-on.
#pragma once

#include <cstdint>
#include <optional>

#include "config.h"
#include "dp/debug_port_state.h"
#include "dp/jtag_dp.h"
#include "dp/sw_dp.h"

namespace cm3sim {

class SwjDp {
public:
    SwjDp(SimConfig& config, DebugPortState& dp);

    // A SWCLK/TCK edge; the levels are those before anything changes.
    void clockEdge(bool rising, bool swdioTms, bool tdi);
    // What the target drives; nothing while `noTarget` is set.
    std::optional<bool> swdioDrive() const;
    std::optional<bool> tdoDrive() const;

    WireProtocol protocol() const { return protocol_; }
    const SwDp& swd() const { return swd_; }
    const JtagDp& jtag() const { return jtag_; }

private:
    void watchSelectSequence(bool bit);

    SimConfig& config_;
    SwDp swd_;
    JtagDp jtag_;
    WireProtocol protocol_ = WireProtocol::Jtag;
    uint32_t ones_ = 0;
    bool capturing_ = false;
    uint32_t pattern_ = 0;
    uint32_t patternBits_ = 0;
};

}  // namespace cm3sim
