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
uint32_t JtagRead(uint8_t instruction, uint8_t reg, uint32_t* outValue) {
    // An instruction that did not load leaves the scan on the other register.
    uint32_t selected = SelectJtagInstruction(instruction);
    if (selected != adapter::kJtagOk) return selected;
    uint32_t requested = JtagRequestChecked(0, reg, dap_scan::kRead);
    if (requested != dap_status::kOk) return requested;
    DapScan capture = {};
    adapter::JtagStatus status = JtagScanRead(capture);
    // A failed scan delivers nothing, whatever the buffer holds.
    if (status != adapter::kJtagOk) return status;
    return DecodeDapScan(capture, outValue) == dap_scan::kAccepted ? dap_status::kOk : dap_status::kRejected;
}

uint32_t JtagWrite(uint8_t instruction, uint8_t reg, uint32_t value) {
    uint32_t selected = SelectJtagInstruction(instruction);
    if (selected != adapter::kJtagOk) return selected;
    return JtagRequestChecked(value, reg, dap_scan::kWrite);
}

uint32_t SelectApBank(uint8_t reg) {
    const uint32_t bank = reg & ap::kBankMask;
    if (Swd()) return SwdWriteTransfer(g_connection.usbHandle, dp::kSelect, swd::kDebugPort, bank);
    return JtagWrite(jtag_ir::kDpacc, dp::kSelect, bank);
}

}  // namespace

uint32_t WriteDpRegister(uint8_t reg, uint32_t value) {
    connection::AdapterLockHold hold;
    if (Swd()) return SwdWriteTransfer(g_connection.usbHandle, reg, swd::kDebugPort, value);
    return JtagWrite(jtag_ir::kDpacc, reg, value);
}

uint32_t ReadDpRegister(uint8_t reg, uint32_t* outValue) {
    connection::AdapterLockHold hold;
    if (Swd()) return SwdReadWithRecovery(reg, swd::kDebugPort, outValue);
    return JtagRead(jtag_ir::kDpacc, reg, outValue);
}

uint32_t ReadApRegister(uint8_t reg, uint32_t* outValue) {
    connection::AdapterLockHold hold;
    // A bank that was not selected would read another register.
    uint32_t selected = SelectApBank(reg);
    if (selected != 0) return selected;
    if (!Swd()) return JtagRead(jtag_ir::kApacc, reg, outValue);
    // AP reads are posted: the second read returns the first one's result.
    const uint8_t inBank = reg & ap::kRegisterMask;
    uint32_t status = SwdReadWithRecovery(inBank, swd::kAccessPort, outValue);
    if (SwdReadNeedsRecovery(status)) return status;
    return SwdReadWithRecovery(inBank, swd::kAccessPort, outValue);
}

uint32_t WriteApRegister(uint8_t reg, uint32_t value) {
    connection::AdapterLockHold hold;
    uint32_t selected = SelectApBank(reg);
    if (selected != 0) return selected;
    if (Swd()) return SwdWriteTransfer(g_connection.usbHandle, reg & ap::kRegisterMask, swd::kAccessPort, value);
    return JtagWrite(jtag_ir::kApacc, reg, value);
}

uint32_t JtagRequestChecked(uint32_t value, uint8_t reg, uint8_t rnw) {
    DapScan request;
    BuildDapScan(value, reg, rnw, request);
    DapScan capture = {};
    adapter::JtagStatus status = JtagScanWriteRead(request, capture);
    if (status != adapter::kJtagOk) return status;
    return JtagCaptureStatus(capture);
}

uint32_t JtagCaptureStatus(const uint8_t* capture5) {
    uint32_t ignored = 0;
    return DecodeDapScan(capture5, &ignored) == dap_scan::kAccepted ? dap_status::kOk : dap_status::kRejected;
}

uint32_t StickyFlags(uint32_t ctrlStat) {
    return ctrlStat & (dp::ctrlstat::kStickyErr | dp::ctrlstat::kStickyOrun | dp::ctrlstat::kWDataErr);
}

void ClearStickyError(uint32_t ctrlStat) {
    if (!Swd()) {
        // JTAG-DP sticky flags clear when written as one; the power-up
        // requests are written back unchanged.
        (void)WriteDpRegister(dp::kCtrlStat, ctrlStat);
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
    (void)WriteDpRegister(dp::kAbort, abort);
}

DebugResult CheckSticky(uint32_t readStatus, uint32_t ctrlStat) {
    if (readStatus != 0) return DBG_ERROR;
    if (StickyFlags(ctrlStat) == 0) return DBG_OK;
    ClearStickyError(ctrlStat);
    return DBG_STICKY_ERROR;
}

DebugResult ReadAndCheckSticky() {
    uint32_t ctrlStat = 0;
    uint32_t status = ReadDpRegister(dp::kCtrlStat, &ctrlStat);
    return CheckSticky(status, ctrlStat);
}

void AbortApTransaction() {
    connection::AdapterLockHold hold;
    if (Swd()) {
        (void)WriteDpRegister(dp::kAbort, dp::abort::kDapAbort | dp::abort::kStkCmpClr | dp::abort::kStkErrClr |
                                              dp::abort::kWdErrClr | dp::abort::kOrunErrClr);
        return;
    }
    // The JTAG-DP's ABORT has DAPABORT only; the next access loads its own instruction.
    (void)SelectJtagInstruction(jtag_ir::kAbort);
    DapScan request;
    BuildDapScan(dp::abort::kDapAbort, dp::kAbort, dap_scan::kWrite, request);
    (void)JtagScanWrite(request);
}

bool SwdReadNeedsRecovery(uint32_t status) {
    // Any acknowledge but OK, WAIT and FAULT means the port is out of frame.
    const bool protocolError = status > swd::ack::kOk && status <= swd::ack::kNoAnswer &&
                               status != swd::ack::kWait && status != swd::ack::kFault;
    return protocolError || status == swd_status::kAckLineLow || status == swd_status::kShortResponse;
}

void RecoverSwdLink() { (void)SwdLineResetAndIdentify(g_connection.usbHandle); }

uint32_t SwdReadWithRecovery(uint8_t reg, uint8_t apSelect, uint32_t* outValue) {
    uint32_t status = SwdReadTransfer(g_connection.usbHandle, reg, apSelect, outValue);
    if (SwdReadNeedsRecovery(status)) RecoverSwdLink();
    return status;
}

}  // namespace cm3probe
