// The port over JTAG: DPACC/APACC scans, each request's own capture checked,
// and the engine's command sequence for the batch.
#include <algorithm>

#include "adapter/backend.h"
#include "adapter/jtag_engine.h"
#include "adapter/jtag_pins.h"
#include "frame/connection.h"
#include "frame/link_state.h"
#include "dap/ap_registers.h"
#include "dap/dp_registers.h"
#include "dap/jtag_port.h"
#include "dap/port.h"
#include "transport/jtag_scan.h"
#include "transport/timing.h"

namespace cm3probe::dap {
namespace {

using namespace adapter::jtag_pins;

// With the instruction loaded: the request, then the read-only scan whose
// capture answers it.
WireStatus RequestAndCollect(uint8_t reg, uint32_t* value) {
    const WireStatus requested = JtagRequestChecked(0, reg, dap_scan::kRead);
    if (!IsOk(requested)) return requested;
    DapScan capture = {};
    const WireStatus scanned = JtagScanRead(capture);
    // A failed scan delivers nothing, whatever the buffer holds.
    if (!IsOk(scanned)) return scanned;
    return DecodeDapScan(capture, value);
}

WireStatus RegisterRead(uint8_t instruction, uint8_t reg, uint32_t* value) {
    // An instruction that did not load leaves the scan on the other register.
    const WireStatus selected = SelectJtagInstruction(instruction);
    if (!IsOk(selected)) return selected;
    return RequestAndCollect(reg, value);
}

WireStatus RegisterWrite(uint8_t instruction, uint8_t reg, uint32_t value) {
    const WireStatus selected = SelectJtagInstruction(instruction);
    if (!IsOk(selected)) return selected;
    return JtagRequestChecked(value, reg, dap_scan::kWrite);
}

WireStatus SelectBankRegister(uint8_t bank) { return RegisterWrite(jtag_ir::kDpacc, dp::kSelect, bank); }

WireStatus Read(Reg reg, uint32_t* value) {
    if (!IsAp(reg)) return RegisterRead(jtag_ir::kDpacc, Number(reg), value);
    const WireStatus selected = SelectBankRegister(Number(reg) & ap::kBankMask);
    if (!IsOk(selected)) return selected;
    return RegisterRead(jtag_ir::kApacc, Number(reg), value);
}

WireStatus Write(Reg reg, uint32_t value) {
    if (!IsAp(reg)) return RegisterWrite(jtag_ir::kDpacc, Number(reg), value);
    const WireStatus selected = SelectBankRegister(Number(reg) & ap::kBankMask);
    if (!IsOk(selected)) return selected;
    return RegisterWrite(jtag_ir::kApacc, Number(reg), value);
}

WireStatus SelectAp(uint8_t bank) {
    const WireStatus selected = SelectBankRegister(bank);
    if (!IsOk(selected)) return selected;
    // Left at DPACC, the next AP request would land in a DP register.
    return SelectJtagInstruction(jtag_ir::kApacc);
}

// APACC is loaded: one checked request scan.
WireStatus ApWrite(uint8_t reg, uint32_t value) { return JtagRequestChecked(value, reg, dap_scan::kWrite); }

WireStatus ApRead(uint8_t reg, uint32_t* value) { return RequestAndCollect(reg, value); }

WireStatus ApReadPosted(uint8_t reg, uint32_t* value) {
    DapScan request;
    BuildDapScan(0, reg, dap_scan::kRead, request);
    DapScan capture = {};
    const WireStatus scanned = JtagScanWriteRead(request, capture);
    if (!IsOk(scanned)) return scanned;
    return DecodeDapScan(capture, value);
}

// Its instruction loaded first, whatever was loaded before.
WireStatus WriteAnswered(Reg reg, uint32_t value, uint32_t* answer) {
    *answer = 0;
    const WireStatus selected = SelectJtagInstruction(IsAp(reg) ? jtag_ir::kApacc : jtag_ir::kDpacc);
    if (!IsOk(selected)) return selected;
    DapScan request;
    BuildDapScan(value, Number(reg), dap_scan::kWrite, request);
    DapScan capture = {};
    const WireStatus scanned = JtagScanWriteRead(request, capture);
    if (!IsOk(scanned)) return scanned;
    return DecodeDapScan(capture, answer);
}

// The sequence's answers: each queued operation's captures (one, or two for
// a DP read: its request and the read-only scan after it), in order.
inline constexpr uint32_t kMaxQueued = adapter::jtag::kReadBackSize / dap_scan::kBytes;
struct Sequence {
    uint8_t queued[kMaxQueued];
    uint32_t queuedCount;
    uint8_t answering[kMaxQueued];
    uint32_t answeringCount;
    uint32_t nextAnswer;
    const uint8_t* capture;
    const uint8_t* captureEnd;
};
Sequence g_sequence{};

bool Note(uint8_t captures) {
    if (g_sequence.queuedCount == kMaxQueued) return false;
    g_sequence.queued[g_sequence.queuedCount++] = captures;
    return true;
}

bool QueueScan(uint32_t value, uint8_t reg, uint8_t rnw) {
    DapScan request;
    BuildDapScan(value, reg, rnw, request);
    return IsOk(JtagQueueWriteRead(request)) && Note(1);
}

void QueueReset() {
    // A sequence the engine will not empty fails the next thing queued.
    NotExamined(JtagQueueClear());
    g_sequence.queuedCount = 0;
}

bool QueueSelectAp(uint8_t bank) {
    return IsOk(JtagQueueInstruction(jtag_ir::kDpacc)) && QueueScan(bank, dp::kSelect, dap_scan::kWrite) &&
           IsOk(JtagQueueInstruction(jtag_ir::kApacc));
}

bool QueueWrite(Reg reg, uint32_t value) {
    if (IsAp(reg)) return QueueScan(value, Number(reg), dap_scan::kWrite);
    return IsOk(JtagQueueInstruction(jtag_ir::kDpacc)) && QueueScan(value, Number(reg), dap_scan::kWrite);
}

bool QueueRead(Reg reg) {
    if (IsAp(reg)) return QueueScan(0, Number(reg), dap_scan::kRead);
    DapScan request;
    BuildDapScan(0, Number(reg), dap_scan::kRead, request);
    return IsOk(JtagQueueInstruction(jtag_ir::kDpacc)) && IsOk(JtagQueueWriteRead(request)) &&
           IsOk(JtagQueueRead()) && Note(2);
}

WireStatus Flush() {
    // The engine empties its sequence on execute, whatever the outcome.
    std::copy(g_sequence.queued, g_sequence.queued + g_sequence.queuedCount, g_sequence.answering);
    g_sequence.answeringCount = g_sequence.queuedCount;
    g_sequence.queuedCount = 0;
    g_sequence.nextAnswer = 0;
    uint32_t captureBytes = 0;
    const WireStatus executed = JtagQueueExecute(&captureBytes);
    if (!IsOk(executed)) g_sequence.answeringCount = 0;
    g_sequence.capture = JtagReadBack();
    g_sequence.captureEnd = g_sequence.capture + captureBytes;
    return executed;
}

WireStatus FlushExpectingOk() {
    const WireStatus executed = Flush();
    if (!IsOk(executed)) return executed;
    for (const uint8_t* capture = g_sequence.capture; capture + dap_scan::kBytes <= g_sequence.captureEnd;
         capture += dap_scan::kBytes) {
        const WireStatus answered = JtagCaptureStatus(capture);
        if (!IsOk(answered)) return answered;
    }
    return WireStatus::Ok;
}

WireStatus NextAnswer(uint32_t* value) {
    Sequence& sequence = g_sequence;
    *value = 0;
    if (sequence.nextAnswer == sequence.answeringCount) return WireStatus::NoAnswer;
    const uint32_t captures = sequence.answering[sequence.nextAnswer++];
    const uint8_t* capture = sequence.capture;
    // Captures the engine did not deliver answer nothing.
    if (static_cast<uint32_t>(sequence.captureEnd - capture) < captures * dap_scan::kBytes) {
        sequence.capture = sequence.captureEnd;
        return WireStatus::NoAnswer;
    }
    sequence.capture = capture + captures * dap_scan::kBytes;
    if (captures == 1) return DecodeDapScan(capture, value);
    const WireStatus requested = JtagCaptureStatus(capture);
    if (!IsOk(requested)) return requested;
    return DecodeDapScan(capture + dap_scan::kBytes, value);
}

void ClearSticky(uint32_t ctrlStat) {
    // JTAG-DP sticky flags clear when written as one; the power-up requests
    // are written back unchanged. The next check sees a failed write.
    NotExamined(Write(Dp(dp::kCtrlStat), ctrlStat));
}

void AbortAp() {
    // The JTAG-DP's ABORT has DAPABORT only; the next access loads its own instruction.
    NotExamined(SelectJtagInstruction(jtag_ir::kAbort));
    DapScan request;
    BuildDapScan(dp::abort::kDapAbort, dp::kAbort, dap_scan::kWrite, request);
    NotExamined(JtagScanWrite(request));
}

bool Ignored(WireStatus status) { return status == WireStatus::Wait; }

// A JTAG-DP ignores a request it does not acknowledge.
bool Inconclusive(WireStatus status) { return status == WireStatus::Wait || status == WireStatus::ProtocolError; }

bool Never(WireStatus) { return false; }
void Nothing() {}

WireStatus ReadIdcode(uint32_t* value) {
    const WireStatus selected = SelectJtagInstruction(jtag_ir::kIdcode);
    if (!IsOk(selected)) return selected;
    uint8_t capture[dap_scan::kIdcodeBytes] = {};
    const WireStatus scanned = JtagScanIdcode(capture);
    if (!IsOk(scanned)) return scanned;
    *value = static_cast<uint32_t>(capture[0]) | static_cast<uint32_t>(capture[1]) << 8 |
             static_cast<uint32_t>(capture[2]) << 16 | static_cast<uint32_t>(capture[3]) << 24;
    return WireStatus::Ok;
}

void ClearLeftBehind() { ClearSticky(dp::ctrlstat::kRequestsAndClears); }

bool RecoverLink() {
    const adapter::JtagEngine* engine = adapter::ActiveBackend().jtag;
    if (g_connection.jtagHandle == nullptr || engine == nullptr) return !link_state::Down();
    // Initialising the engine resets its MPSSE state, proves it in step and
    // walks the TAP to Test-Logic-Reset, then Run-Test/Idle.
    if (engine->initialise(g_connection.jtagHandle, g_connection.jtagDivisor) != adapter::kJtagOk) {
        link_state::MarkDown();
        return false;
    }
    link_state::MarkUp();
    ClearLeftBehind();
    return !link_state::Down();
}

// The engine restores the pins it last set, which may hold the target in
// reset: once the link is back, release the line so no call after this one
// finds the target held. The pulse still fails.
WireStatus ReleaseAfterFailedPinWrite(const adapter::JtagEngine& jtag) {
    link_state::MarkDown();
    if (RecoverLink()) {
        // A failure here leaves the link down for the next call to recover.
        if (jtag.setPins(g_connection.jtagHandle, kSetLowGroup, &kResetReleased, kLeaveHighGroup,
                         &kHighGroupInputs) != adapter::kJtagOk) {
            link_state::MarkDown();
        }
    }
    return WireStatus::UsbFailure;
}

WireStatus PulseReset() {
    const adapter::JtagEngine& jtag = *adapter::ActiveBackend().jtag;
    if (jtag.setPins(g_connection.jtagHandle, kSetLowGroup, &kResetAsserted, kLeaveHighGroup, &kHighGroupInputs) !=
        adapter::kJtagOk) {
        return ReleaseAfterFailedPinWrite(jtag);
    }
    timing::SleepMilliseconds(timing::kResetPulseMs);
    if (jtag.setPins(g_connection.jtagHandle, kSetLowGroup, &kResetReleased, kLeaveHighGroup, &kHighGroupInputs) !=
        adapter::kJtagOk) {
        return ReleaseAfterFailedPinWrite(jtag);
    }
    return WireStatus::Ok;
}

}  // namespace

WireStatus JtagRequestChecked(uint32_t value, uint8_t reg, uint8_t rnw) {
    DapScan request;
    BuildDapScan(value, reg, rnw, request);
    DapScan capture = {};
    const WireStatus scanned = JtagScanWriteRead(request, capture);
    if (!IsOk(scanned)) return scanned;
    return JtagCaptureStatus(capture);
}

WireStatus JtagCaptureStatus(const uint8_t* capture5) {
    uint32_t ignored = 0;
    return DecodeDapScan(capture5, &ignored);
}

const Port kJtagPort = {
    .read = Read,
    .write = Write,
    .selectAp = SelectAp,
    .apWrite = ApWrite,
    .apRead = ApRead,
    .apReadPosted = ApReadPosted,
    // A CSW read fetches nothing from the block.
    .collectingRead = ap::kCsw,
    .writeAnswered = WriteAnswered,
    .queueReset = QueueReset,
    .queueSelectAp = QueueSelectAp,
    .queueWrite = QueueWrite,
    .queueRead = QueueRead,
    .flush = Flush,
    .flushExpectingOk = FlushExpectingOk,
    .nextAnswer = NextAnswer,
    .writesAnswer = true,
    .singleBatching = Port::SingleBatching::SelectionAndCheck,
    .clearSticky = ClearSticky,
    .abortAp = AbortAp,
    .ignored = Ignored,
    .inconclusive = Inconclusive,
    .lostFraming = Never,
    .recoverFraming = Nothing,
    .readIdcode = ReadIdcode,
    .pulseReset = PulseReset,
    .ctrlStatRequest = 0,
    .stickyClearsOnWrite = true,
    .recoverLink = RecoverLink,
    .clearLeftBehind = ClearLeftBehind,
};

}  // namespace cm3probe::dap
