// The JTAG-DP face: an IEEE 1149.1 TAP with the ADIv5 4-bit instruction set.
#pragma once

#include <cstdint>
#include <optional>

#include "config.h"
#include "dp/debug_port_state.h"
#include "dp/dp_registers.h"

namespace cm3sim {

enum class TapState : uint8_t {
    TestLogicReset,
    RunTestIdle,
    SelectDrScan,
    CaptureDr,
    ShiftDr,
    Exit1Dr,
    PauseDr,
    Exit2Dr,
    UpdateDr,
    SelectIrScan,
    CaptureIr,
    ShiftIr,
    Exit1Ir,
    PauseIr,
    Exit2Ir,
    UpdateIr,
};

TapState NextTapState(TapState state, bool tms);

class JtagDp {
public:
    JtagDp(SimConfig& config, DebugPortState& dp) : config_(config), dp_(dp) {}

    // TMS and TDI are sampled on the rising TCK edge, TDO changes on the falling one.
    void risingEdge(bool tms, bool tdi);
    void fallingEdge();
    std::optional<bool> tdo() const { return tdo_; }
    void releaseTdo() { tdo_.reset(); }

    TapState state() const { return state_; }
    uint8_t instruction() const { return ir_; }

private:
    uint32_t drLength() const;
    void captureDr();
    void updateDr();
    uint32_t readDpRegister(uint8_t address);

    SimConfig& config_;
    DebugPortState& dp_;
    TapState state_ = TapState::TestLogicReset;
    uint8_t ir_ = jtag_ir::kIdcode;
    uint8_t irShift_ = 0;
    uint64_t drShift_ = 0;
    std::optional<bool> tdo_;
    uint32_t readResult_ = 0;
    bool apInProgress_ = false;  // an AP access held up by the WAIT fault
    bool dropUpdate_ = false;    // this scan was answered WAIT
};

}  // namespace cm3sim
