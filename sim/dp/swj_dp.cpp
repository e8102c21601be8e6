#include "dp/swj_dp.h"

#include "dp/dp_registers.h"

namespace cm3sim {

// Both select sequences open with a low bit, which is what ends the run of
// ones in front of them.
static_assert((swj::kJtagToSwd & 1u) == 0 && (swj::kSwdToJtag & 1u) == 0);

SwjDp::SwjDp(SimConfig& config, DebugPortState& dp) : config_(config), swd_(config, dp), jtag_(config, dp) {}

void SwjDp::clockEdge(bool rising, bool swdioTms, bool tdi) {
    if (config_.noTarget) return;
    if (!rising) {
        if (protocol_ == WireProtocol::Jtag) jtag_.fallingEdge();
        return;
    }
    if (protocol_ == WireProtocol::Jtag) {
        jtag_.risingEdge(swdioTms, tdi);
    } else {
        swd_.risingEdge(swdioTms);
    }
    watchSelectSequence(swdioTms);
}

void SwjDp::watchSelectSequence(bool bit) {
    // A select sequence counts only right after a line reset (>= 50 ones).
    if (capturing_) {
        if (bit) pattern_ |= 1u << patternBits_;
        if (++patternBits_ == swj::kSelectBits) {
            capturing_ = false;
            if (protocol_ == WireProtocol::Jtag && pattern_ == swj::kJtagToSwd) {
                protocol_ = WireProtocol::Swd;
                jtag_.releaseTdo();
                swd_.lockOut();
            } else if (protocol_ == WireProtocol::Swd && pattern_ == swj::kSwdToJtag) {
                protocol_ = WireProtocol::Jtag;
                swd_.lockOut();
            }
        }
    } else if (!bit && ones_ >= swj::kLineResetCycles) {
        capturing_ = true;
        pattern_ = 0;
        patternBits_ = 1;
    }
    ones_ = bit ? ones_ + 1 : 0;
}

std::optional<bool> SwjDp::swdioDrive() const {
    if (config_.noTarget || protocol_ != WireProtocol::Swd) return std::nullopt;
    return swd_.drive();
}

std::optional<bool> SwjDp::tdoDrive() const {
    if (config_.noTarget || protocol_ != WireProtocol::Jtag) return std::nullopt;
    return jtag_.tdo();
}

}  // namespace cm3sim
