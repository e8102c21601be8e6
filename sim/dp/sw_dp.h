// The SW-DP face: the SWD line protocol, clocked one rising SWCLK edge at a time.
#pragma once

#include <cstdint>
#include <optional>

#include "config.h"
#include "dp/debug_port_state.h"

namespace cm3sim {

class SwDp {
public:
    enum class Phase {
        LockedOut,  // after a protocol error or a protocol switch: deaf until a line reset
        LineReset,  // the line has been high for a line reset and still is
        Idle,       // looking for a start bit
        Request,
        Response,
    };

    SwDp(SimConfig& config, DebugPortState& dp) : config_(config), dp_(dp) {}

    // Selected by the SWJ switch, or deselected: either way it waits for a line reset.
    void lockOut();
    // A rising SWCLK edge: `line` is SWDIO as sampled before anything changes.
    void risingEdge(bool line);
    std::optional<bool> drive() const { return drive_; }
    Phase phase() const { return phase_; }

private:
    void decodeRequest();
    void respond(bool line);
    void finishWrite(bool parity);
    uint32_t readDpRegister(uint8_t address);
    void writeDpRegister(uint8_t address, uint32_t value);
    void protocolError();
    WireTransaction transaction(uint32_t data) const;

    SimConfig& config_;
    DebugPortState& dp_;
    Phase phase_ = Phase::LockedOut;
    std::optional<bool> drive_;
    uint32_t ones_ = 0;
    uint32_t cycle_ = 0;  // of the transaction, the start bit being cycle 1
    uint8_t request_ = 0;
    bool needIdcodeRead_ = false;
    uint8_t ack_ = 0;
    bool dataPhase_ = false;
    uint32_t data_ = 0;
    uint32_t lastRead_ = 0;  // for RESEND
};

}  // namespace cm3sim
