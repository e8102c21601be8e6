// The port over SWD: single transactions on the link, the batch, and the
// line reset that brings a port out of frame back.
#include "adapter/backend.h"
#include "frame/connection.h"
#include "frame/link_state.h"
#include "dap/ap_registers.h"
#include "dap/dp_registers.h"
#include "dap/port.h"
#include "dap/swd_port.h"
#include "transport/swd_batch.h"
#include "transport/swd_link.h"
#include "transport/swd_protocol.h"

namespace cm3probe::dap {
namespace {

adapter::UsbHandle Link() { return g_connection.usbHandle; }

uint8_t InBank(Reg reg) { return Number(reg) & ap::kRegisterMask; }
uint8_t BankOf(Reg reg) { return Number(reg) & ap::kBankMask; }

WireStatus SelectBank(uint8_t bank) { return SwdWriteTransfer(Link(), dp::kSelect, swd::kDebugPort, bank); }

WireStatus Read(Reg reg, uint32_t* value) {
    if (!IsAp(reg)) return SwdReadWithRecovery(Number(reg), swd::kDebugPort, value);
    // A bank that was not selected would read another register.
    const WireStatus selected = SelectBank(BankOf(reg));
    if (!IsOk(selected)) return selected;
    // AP reads are posted: the second read returns the first one's result.
    const WireStatus first = SwdReadWithRecovery(InBank(reg), swd::kAccessPort, value);
    if (SwdLostFraming(first)) return first;
    return SwdReadWithRecovery(InBank(reg), swd::kAccessPort, value);
}

WireStatus Write(Reg reg, uint32_t value) {
    if (!IsAp(reg)) return SwdWriteTransfer(Link(), Number(reg), swd::kDebugPort, value);
    const WireStatus selected = SelectBank(BankOf(reg));
    if (!IsOk(selected)) return selected;
    return SwdWriteTransfer(Link(), InBank(reg), swd::kAccessPort, value);
}

WireStatus ApWrite(uint8_t reg, uint32_t value) {
    return SwdWriteTransfer(Link(), reg & ap::kRegisterMask, swd::kAccessPort, value);
}

// Posted: the first read starts the access, the second returns it. The
// first one's failure stands unless the second lost the port's framing.
WireStatus ApRead(uint8_t reg, uint32_t* value) {
    const uint8_t inBank = reg & ap::kRegisterMask;
    const WireStatus first = SwdReadWithRecovery(inBank, swd::kAccessPort, value);
    if (SwdLostFraming(first)) return first;
    const WireStatus second = SwdReadWithRecovery(inBank, swd::kAccessPort, value);
    if (IsOk(first) || SwdLostFraming(second)) return second;
    return first;
}

WireStatus ApReadPosted(uint8_t reg, uint32_t* value) {
    return SwdReadWithRecovery(reg & ap::kRegisterMask, swd::kAccessPort, value);
}

WireStatus WriteAnswered(Reg reg, uint32_t value, uint32_t* answer) {
    *answer = 0;
    if (!IsAp(reg)) return SwdWriteTransfer(Link(), Number(reg), swd::kDebugPort, value);
    return ApWrite(Number(reg), value);
}

void QueueReset() { BatchReset(); }

bool QueueSelectAp(uint8_t bank) { return BatchQueueWrite(dp::kSelect, swd::kDebugPort, bank); }

bool QueueWrite(Reg reg, uint32_t value) {
    if (!IsAp(reg)) return BatchQueueWrite(Number(reg), swd::kDebugPort, value);
    return BatchQueueWrite(InBank(reg), swd::kAccessPort, value);
}

bool QueueRead(Reg reg) {
    if (!IsAp(reg)) return BatchQueueRead(Number(reg), swd::kDebugPort);
    return BatchQueueRead(InBank(reg), swd::kAccessPort);
}

WireStatus Flush() { return BatchFlush(Link()); }

// Queued writes answer nothing: a refused one turns sticky, for the check after.
WireStatus FlushExpectingOk() { return BatchFlush(Link()); }

WireStatus NextAnswer(uint32_t* value) { return BatchNextRead(value); }

void ClearSticky(uint32_t ctrlStat) {
    // The SW-DP clears sticky flags only through ABORT.
    uint32_t abort = 0;
    if (ctrlStat & dp::ctrlstat::kStickyErr) abort |= dp::abort::kStkErrClr;
    if (ctrlStat & dp::ctrlstat::kWDataErr) abort |= dp::abort::kWdErrClr;
    // An overrun follows a WAIT, whose AP transaction may still be stalled:
    // every later one would wait behind it.
    if (ctrlStat & dp::ctrlstat::kStickyOrun) abort |= dp::abort::kOrunErrClr | dp::abort::kDapAbort;
    if (ctrlStat & dp::ctrlstat::kStickyCmp) abort |= dp::abort::kStkCmpClr;
    // The next check sees a write that did not go out.
    NotExamined(Write(Dp(dp::kAbort), abort));
}

void AbortAp() {
    NotExamined(Write(Dp(dp::kAbort), dp::abort::kDapAbort | dp::abort::kStkCmpClr | dp::abort::kStkErrClr |
                                          dp::abort::kWdErrClr | dp::abort::kOrunErrClr));
}

bool Never(WireStatus) { return false; }

WireStatus ReadIdcode(uint32_t* value) { return SwdReadWithRecovery(dp::kIdcode, swd::kDebugPort, value); }

// Over SWD the write-data parity flag is left behind too.
void ClearLeftBehind() { ClearSticky(dp::ctrlstat::kRequestsAndClears | dp::ctrlstat::kWDataErr); }

WireStatus PulseReset() { return SwdPulseReset(Link()); }

bool RecoverLink() {
    if (Link() == nullptr || adapter::ActiveBackend().usb == nullptr) return !link_state::Down();
    if (!IsOk(SwdResynchronise(Link(), g_connection.swdDivisor))) return false;
    ClearLeftBehind();
    return !link_state::Down();
}

}  // namespace

bool SwdLostFraming(WireStatus status) {
    // Any acknowledge but OK, WAIT and FAULT means the port is out of frame.
    // A failed exchange took the link down: its recovery is the link's own.
    return status == WireStatus::NoAnswer || status == WireStatus::ProtocolError;
}

// Whatever the IDCODE read answers, the port is back in frame or the link down.
void SwdRecoverFraming() { NotExamined(SwdLineResetAndIdentify(Link())); }

WireStatus SwdReadWithRecovery(uint8_t reg, uint8_t apSelect, uint32_t* outValue) {
    const WireStatus status = SwdReadTransfer(Link(), reg, apSelect, outValue);
    if (SwdLostFraming(status)) SwdRecoverFraming();
    return status;
}

const Port kSwdPort = {
    .read = Read,
    .write = Write,
    .selectAp = SelectBank,
    .apWrite = ApWrite,
    .apRead = ApRead,
    .apReadPosted = ApReadPosted,
    .collectingRead = ap::kDrw,
    .writeAnswered = WriteAnswered,
    .queueReset = QueueReset,
    .queueSelectAp = QueueSelectAp,
    .queueWrite = QueueWrite,
    .queueRead = QueueRead,
    .flush = Flush,
    .flushExpectingOk = FlushExpectingOk,
    .nextAnswer = NextAnswer,
    .writesAnswer = false,
    .singleBatching = Port::SingleBatching::WholeWrite,
    .clearSticky = ClearSticky,
    .abortAp = AbortAp,
    .ignored = Never,
    .inconclusive = Never,
    .lostFraming = SwdLostFraming,
    .recoverFraming = SwdRecoverFraming,
    .readIdcode = ReadIdcode,
    .pulseReset = PulseReset,
    .ctrlStatRequest = dp::ctrlstat::kOrunDetect,
    .stickyClearsOnWrite = false,
    .recoverLink = RecoverLink,
    .clearLeftBehind = ClearLeftBehind,
};

}  // namespace cm3probe::dap
