#include "dap/dap_access.h"

#include "connection/adapter_lock.h"
#include "connection/connection.h"
#include "dap/ap_registers.h"
#include "dap/dp_registers.h"
#include "transport/jtag_scan.h"
#include "transport/swd_link.h"
#include "transport/swd_protocol.h"

namespace cm3probe {
namespace {

bool Swd() { return g_connection.swdMode != 0; }

// Over JTAG: select, request, then the read-only scan whose capture answers it.
WireStatus JtagRead(uint8_t instruction, uint8_t reg, uint32_t* outValue) {
    // An instruction that did not load leaves the scan on the other register.
    const WireStatus selected = SelectJtagInstruction(instruction);
    if (!IsOk(selected)) return selected;
    const WireStatus requested = JtagRequestChecked(0, reg, dap_scan::kRead);
    if (!IsOk(requested)) return requested;
    DapScan capture = {};
    const WireStatus scanned = JtagScanRead(capture);
    // A failed scan delivers nothing, whatever the buffer holds.
    if (!IsOk(scanned)) return scanned;
    return DecodeDapScan(capture, outValue);
}

WireStatus JtagWrite(uint8_t instruction, uint8_t reg, uint32_t value) {
    const WireStatus selected = SelectJtagInstruction(instruction);
    if (!IsOk(selected)) return selected;
    return JtagRequestChecked(value, reg, dap_scan::kWrite);
}

WireStatus SelectApBank(uint8_t reg) {
    const uint32_t bank = reg & ap::kBankMask;
    if (Swd()) return SwdWriteTransfer(g_connection.usbHandle, dp::kSelect, swd::kDebugPort, bank);
    return JtagWrite(jtag_ir::kDpacc, dp::kSelect, bank);
}

}  // namespace

WireStatus WriteDpRegister(uint8_t reg, uint32_t value) {
    connection::AdapterLockHold hold;
    if (Swd()) return SwdWriteTransfer(g_connection.usbHandle, reg, swd::kDebugPort, value);
    return JtagWrite(jtag_ir::kDpacc, reg, value);
}

WireStatus ReadDpRegister(uint8_t reg, uint32_t* outValue) {
    connection::AdapterLockHold hold;
    if (Swd()) return SwdReadWithRecovery(reg, swd::kDebugPort, outValue);
    return JtagRead(jtag_ir::kDpacc, reg, outValue);
}

WireStatus ReadApRegister(uint8_t reg, uint32_t* outValue) {
    connection::AdapterLockHold hold;
    // A bank that was not selected would read another register.
    const WireStatus selected = SelectApBank(reg);
    if (!IsOk(selected)) return selected;
    if (!Swd()) return JtagRead(jtag_ir::kApacc, reg, outValue);
    // AP reads are posted: the second read returns the first one's result.
    const uint8_t inBank = reg & ap::kRegisterMask;
    const WireStatus status = SwdReadWithRecovery(inBank, swd::kAccessPort, outValue);
    if (SwdReadNeedsRecovery(status)) return status;
    return SwdReadWithRecovery(inBank, swd::kAccessPort, outValue);
}

WireStatus WriteApRegister(uint8_t reg, uint32_t value) {
    connection::AdapterLockHold hold;
    const WireStatus selected = SelectApBank(reg);
    if (!IsOk(selected)) return selected;
    if (Swd()) return SwdWriteTransfer(g_connection.usbHandle, reg & ap::kRegisterMask, swd::kAccessPort, value);
    return JtagWrite(jtag_ir::kApacc, reg, value);
}

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

uint32_t StickyFlags(uint32_t ctrlStat) {
    return ctrlStat & (dp::ctrlstat::kStickyErr | dp::ctrlstat::kStickyOrun | dp::ctrlstat::kWDataErr);
}

void ClearStickyError(uint32_t ctrlStat) {
    if (!Swd()) {
        // JTAG-DP sticky flags clear when written as one; the power-up
        // requests are written back unchanged. The next check sees a failure.
        NotExamined(WriteDpRegister(dp::kCtrlStat, ctrlStat));
        return;
    }
    // The SW-DP clears sticky flags only through ABORT.
    uint32_t abort = 0;
    if (ctrlStat & dp::ctrlstat::kStickyErr) abort |= dp::abort::kStkErrClr;
    if (ctrlStat & dp::ctrlstat::kWDataErr) abort |= dp::abort::kWdErrClr;
    // An overrun follows a WAIT, whose AP transaction may still be stalled:
    // every later one would wait behind it.
    if (ctrlStat & dp::ctrlstat::kStickyOrun) abort |= dp::abort::kOrunErrClr | dp::abort::kDapAbort;
    if (ctrlStat & dp::ctrlstat::kStickyCmp) abort |= dp::abort::kStkCmpClr;
    NotExamined(WriteDpRegister(dp::kAbort, abort));
}

DebugResult CheckSticky(WireStatus readStatus, uint32_t ctrlStat) {
    if (!IsOk(readStatus)) return ToDebugResult(readStatus);
    if (StickyFlags(ctrlStat) == 0) return DBG_OK;
    ClearStickyError(ctrlStat);
    return DBG_STICKY_ERROR;
}

DebugResult ReadAndCheckSticky() {
    uint32_t ctrlStat = 0;
    const WireStatus status = ReadDpRegister(dp::kCtrlStat, &ctrlStat);
    return CheckSticky(status, ctrlStat);
}

void AbortApTransaction() {
    connection::AdapterLockHold hold;
    if (Swd()) {
        NotExamined(WriteDpRegister(dp::kAbort, dp::abort::kDapAbort | dp::abort::kStkCmpClr | dp::abort::kStkErrClr |
                                                    dp::abort::kWdErrClr | dp::abort::kOrunErrClr));
        return;
    }
    // The JTAG-DP's ABORT has DAPABORT only; the next access loads its own instruction.
    NotExamined(SelectJtagInstruction(jtag_ir::kAbort));
    DapScan request;
    BuildDapScan(dp::abort::kDapAbort, dp::kAbort, dap_scan::kWrite, request);
    NotExamined(JtagScanWrite(request));
}

bool SwdReadNeedsRecovery(WireStatus status) {
    // Any acknowledge but OK, WAIT and FAULT means the port is out of frame.
    // A failed exchange took the link down: its recovery is the link's own.
    return status == WireStatus::NoAnswer || status == WireStatus::ProtocolError;
}

// Whatever the IDCODE read answers, the port is back in frame or the link down.
void RecoverSwdLink() { NotExamined(SwdLineResetAndIdentify(g_connection.usbHandle)); }

WireStatus SwdReadWithRecovery(uint8_t reg, uint8_t apSelect, uint32_t* outValue) {
    const WireStatus status = SwdReadTransfer(g_connection.usbHandle, reg, apSelect, outValue);
    if (SwdReadNeedsRecovery(status)) RecoverSwdLink();
    return status;
}

}  // namespace cm3probe
