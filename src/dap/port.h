// The debug port as memory and core see it: one constant record of
// operations, chosen by DebugOpen for the wire protocol it opened and kept in
// the connection. Its two implementations sit beside their wire code:
// dap/swd_port.cpp (the SWD link, its batch and its recovery) and
// dap/jtag_port.cpp (DPACC/APACC scans and the engine's command sequence).
#pragma once

#include <cstdint>

#include "transport/wire_status.h"

namespace cm3probe::dap {

// A register name: the DP or AP register number, and kApBit for an AP
// register (its number's high nibble is the bank written to SELECT).
using Reg = uint16_t;
inline constexpr Reg kApBit = 0x100;
inline constexpr Reg kNumberMask = 0xFF;
constexpr Reg Dp(uint8_t reg) { return reg; }
constexpr Reg Ap(uint8_t reg) { return static_cast<Reg>(kApBit | reg); }
constexpr bool IsAp(Reg reg) { return (reg & kApBit) != 0; }
constexpr uint8_t Number(Reg reg) { return static_cast<uint8_t>(reg & kNumberMask); }

struct Port {
    // One register, call by call; an AP register's bank is selected first.
    WireStatus (*read)(Reg reg, uint32_t* value);
    WireStatus (*write)(Reg reg, uint32_t value);

    // Makes AP 0's registers in `bank` reachable by apWrite, apRead and the
    // queued AP operations. With batching on, the JTAG port sends this
    // through the engine's sequence.
    WireStatus (*selectAp)(uint8_t bank);
    // An AP register of the selected bank, call by call. A read returns its
    // own result: the posted read is collected.
    WireStatus (*apWrite)(uint8_t reg, uint32_t value);
    WireStatus (*apRead)(uint8_t reg, uint32_t* value);
    // One AP read request of the selected bank, not collected: its answer
    // carries the data of the AP read before it.
    WireStatus (*apReadPosted)(uint8_t reg, uint32_t* value);
    // The AP register whose posted read collects the last read's data and
    // ends a stream of reads.
    uint8_t collectingRead;
    // One write call by call (an AP register of the selected bank), with the
    // data its answer carries where writes answer, else 0.
    WireStatus (*writeAnswered)(Reg reg, uint32_t value, uint32_t* answer);

    // The batch: what is queued goes out together at flush. AP registers are
    // those of the selected bank, and a queued AP read is posted: its answer
    // carries the data of the AP read before it.
    // Queueing answers false when there was no room: then nothing queued
    // since the last reset may go out.
    void (*queueReset)();
    bool (*queueSelectAp)(uint8_t bank);
    bool (*queueWrite)(Reg reg, uint32_t value);
    bool (*queueRead)(Reg reg);
    WireStatus (*flush)();
    // A flush whose every answer must be Ok (a stream of writes): the first
    // refusal, else Ok.
    WireStatus (*flushExpectingOk)();
    // One answer per queued operation, in queue order: its acknowledge, and
    // the data it carries (0 when not Ok). A queued write answers with data
    // only where the wire brings some back (JTAG captures every scan).
    WireStatus (*nextAnswer)(uint32_t* value);
    // Over JTAG every scan answers, writes too; over SWD only reads do.
    bool writesAnswer;
    // What batching does to a single access: SWD sends a single write as one
    // batch (a single read goes call by call); JTAG sends every single
    // access's bank selection and closing check through the engine's
    // sequence, and its register writes call by call.
    enum class SingleBatching : uint8_t { WholeWrite, SelectionAndCheck };
    SingleBatching singleBatching;

    // Clears every sticky flag set in `ctrlStat`; ends an AP transaction
    // stalled behind a WAIT.
    void (*clearSticky)(uint32_t ctrlStat);
    void (*abortAp)();

    // A refused request the port ignored: not performed, nothing sticky (a
    // JTAG-DP's WAIT). Over SWD overrun detection makes every refusal sticky.
    bool (*ignored)(WireStatus status);
    // A CTRL/STAT read that proves nothing either way: the caller repeats.
    bool (*inconclusive)(WireStatus status);
    // A read's status that left the port out of frame, and the line reset
    // and IDCODE read that bring it back.
    bool (*lostFraming)(WireStatus status);
    void (*recoverFraming)();

    // The debug port's IDCODE, read the way the wire protocol offers it.
    WireStatus (*readIdcode)(uint32_t* value);

    // Pulses the target's reset line (10 ms), released on every path.
    WireStatus (*pulseReset)();

    // CTRL/STAT bits asked for beside the power-up requests (SWD: overrun
    // detection, which keeps the data phase after WAIT and FAULT so the link
    // never loses its framing).
    uint32_t ctrlStatRequest;
    // Whether sticky flags clear when written back to CTRL/STAT (JTAG-DP);
    // the SW-DP ignores that and needs ABORT.
    bool stickyClearsOnWrite;

    // Brings the link back to a known state: the adapter's engine reset and
    // proven in step, then the wire (SWD: line reset and IDCODE read; JTAG:
    // TAP to Run-Test/Idle), and the sticky flags cleared. False when the
    // link is still down.
    bool (*recoverLink)();
    // Clears every sticky flag without reading CTRL/STAT first (SWD: ABORT
    // with every clear bit and DAPABORT; JTAG: CTRL/STAT written with a value
    // of our own).
    void (*clearLeftBehind)();
};

extern const Port kSwdPort;
extern const Port kJtagPort;

// The port DebugOpen chose: the connection's, JTAG before any open (as a
// zeroed connection's swdMode says).
const Port& ActivePort();
// Records the wire protocol the connection's traffic takes, and its port.
void UseTransport(uint32_t swdMode);

}  // namespace cm3probe::dap
