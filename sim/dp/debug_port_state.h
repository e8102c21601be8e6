// The DP's registers, shared by its SW-DP and JTAG-DP faces, and its side of
// the AP bus. The faces decide acknowledges; this object holds what they act on.
#pragma once

#include <cstdint>
#include <vector>

#include "config.h"
#include "dp/dp_registers.h"
#include "dp/access_port_bus.h"
#include "wire/virtual_time.h"

namespace cm3sim {

enum class WireProtocol { Swd, Jtag };

struct WireTransaction {
    WireProtocol protocol = WireProtocol::Swd;
    bool ap = false;
    bool read = false;
    uint8_t address = 0;  // A[3:2] << 2
    uint8_t ack = 0;      // swd_ack / jtag_ack value, kNotAnswered when the port stayed silent
    uint32_t data = 0;    // written, or read back on the wire
    bool operator==(const WireTransaction&) const = default;
};
// What a host reads from a line nobody drives.
inline constexpr uint8_t kNotAnswered = 0x7;

class DebugPortState {
public:
    DebugPortState(SimConfig& config, AccessPortBus& bus, VirtualTime& time);

    void powerOnReset();

    uint32_t ctrlStat();
    // The JTAG-DP clears sticky flags written as ones; the SW-DP only through ABORT.
    void writeCtrlStat(uint32_t value, WireProtocol face);
    void writeAbort(uint32_t value, WireProtocol face);
    uint32_t select() const { return select_; }
    void writeSelect(uint32_t value) { select_ = value; }
    uint32_t wcr() const { return wcr_; }
    void writeWcr(uint32_t value) { wcr_ = value; }

    uint32_t stickyFlags() const { return status_ & ctrl_stat::kStickyFlags; }
    void raise(uint32_t flags) { status_ |= flags; }
    void setReadOk(bool ok);
    bool overrunDetect() const { return (control_ & ctrl_stat::kOrunDetect) != 0; }

    // True while the stalled-AP fault asks for one more WAIT; consumes it.
    bool takeApWait();
    // The next `count` AP transactions end in an error response from the AP:
    // nothing reaches the AP's registers or the bus, STICKYERR is raised.
    void failNextApTransactions(uint32_t count) { apFailures_ = count; }
    uint32_t pendingApFailures() const { return apFailures_; }
    // An AP access as the DP issues it (APSEL and APBANKSEL from SELECT).
    // Raises STICKYERR on an error response, and runs pushed verify/compare
    // for writes when TRNMODE asks for them.
    ApResponse apRead(uint8_t a32);
    void apWrite(uint8_t a32, uint32_t value);

    // The posted-read buffer (SW-DP RDBUFF).
    uint32_t readBuffer() const { return readBuffer_; }
    void setReadBuffer(uint32_t value) { readBuffer_ = value; }

    void log(const WireTransaction& transaction);
    const std::vector<WireTransaction>& wireLog() const { return log_; }
    void clearWireLog() { log_.clear(); }

private:
    void updatePower();
    uint8_t apAddress(uint8_t a32) const;

    bool takeApFailure();

    SimConfig& config_;
    AccessPortBus& bus_;
    uint32_t apFailures_ = 0;
    VirtualTime& time_;
    uint32_t control_ = 0;  // the writable CTRL/STAT bits
    uint32_t status_ = 0;   // sticky flags and READOK
    uint32_t select_ = 0;
    uint32_t wcr_ = wcr::kResetValue;
    uint32_t readBuffer_ = 0;
    bool debugPowered_ = false;
    bool systemPowered_ = false;
    std::vector<WireTransaction> log_;
};

}  // namespace cm3sim
