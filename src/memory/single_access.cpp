// DebugReadMem and DebugWriteMem: one byte, halfword or word through the
// AHB-AP, on each transport path. TAR is always written before CSW, and CSW
// before DRW.
#include "adapter/backend.h"
#include "cm3probe.h"
#include "connection/connection.h"
#include "connection/export_frame.h"
#include "dap/ap_registers.h"
#include "dap/dap_access.h"
#include "dap/dp_registers.h"
#include "memory/lanes.h"
#include "transport/jtag_scan.h"
#include "transport/swd_batch.h"
#include "transport/swd_link.h"
#include "transport/swd_protocol.h"

namespace cm3probe::memory {
namespace {

// Written back to CTRL/STAT when the queued check's own read was refused: the
// power-up requests and every write-one-to-clear sticky flag.
inline constexpr uint32_t kJtagStickyRecovery = dp::ctrlstat::kCSysPwrUpReq | dp::ctrlstat::kCDbgPwrUpReq |
                                                dp::ctrlstat::kStickyErr | dp::ctrlstat::kStickyCmp |
                                                dp::ctrlstat::kStickyOrun;

// Queues DPACC (or APACC) and one scan with its capture; false when any of
// it found no room, and then nothing queued goes out.
bool QueueWithInstruction(uint8_t instruction, const uint8_t* request5) {
    if (JtagQueueInstruction(instruction) == adapter::kJtagOk && JtagQueueWriteRead(request5) == adapter::kJtagOk) {
        return true;
    }
    (void)JtagQueueClear();
    return false;
}

// DPACC, SELECT = 0, APACC in one execution; false when SELECT was not taken.
bool QueuedPreamble() {
    DapScan request;
    BuildDapScan(0, dp::kSelect, dap_scan::kWrite, request);
    if (!QueueWithInstruction(jtag_ir::kDpacc, request)) return false;
    if (JtagQueueInstruction(jtag_ir::kApacc) != adapter::kJtagOk) {
        (void)JtagQueueClear();
        return false;
    }
    uint32_t bytes = 0;
    if (JtagQueueExecute(&bytes) != adapter::kJtagOk || bytes < dap_scan::kBytes) return false;
    return JtagCaptureStatus(JtagReadBack()) == dap_status::kOk;
}

// DPACC, CTRL/STAT read request and its capture in one execution. False when
// the value did not arrive.
bool QueuedCtrlStat(uint32_t* ctrlStat) {
    DapScan request;
    BuildDapScan(0, dp::kCtrlStat, dap_scan::kRead, request);
    if (!QueueWithInstruction(jtag_ir::kDpacc, request)) return false;
    if (JtagQueueRead() != adapter::kJtagOk) {
        (void)JtagQueueClear();
        return false;
    }
    uint32_t bytes = 0;
    if (JtagQueueExecute(&bytes) != adapter::kJtagOk || bytes < 2 * dap_scan::kBytes) return false;
    if (JtagCaptureStatus(JtagReadBack()) != dap_status::kOk) return false;
    return DecodeDapScan(JtagReadBack() + dap_scan::kBytes, ctrlStat) == dap_scan::kAccepted;
}

// SELECT = 0 and APACC loaded; false when SELECT was not taken.
bool SelectBankZero() {
    if (g_connection.batchedMode) return QueuedPreamble();
    if (WriteDpRegister(dp::kSelect, 0) != 0) return false;
    // Left at DPACC, the TAR write would land in CTRL/STAT.
    return SelectJtagInstruction(jtag_ir::kApacc) == adapter::kJtagOk;
}

// TAR then CSW, each checked: a refused one would send the data elsewhere.
bool ProgramTransfer(uint32_t address, uint32_t size) {
    return JtagRequestChecked(address, ap::kTar, dap_scan::kWrite) == 0 &&
           JtagRequestChecked(lanes::Csw(size), ap::kCsw, dap_scan::kWrite) == 0;
}

// The access did not happen: report the sticky cause if there is one.
DebugResult FailedAccess() {
    DebugResult sticky = ReadAndCheckSticky();
    return sticky == DBG_STICKY_ERROR ? DBG_STICKY_ERROR : DBG_ERROR;
}

// SELECT = 0, TAR, CSW over SWD; false when any of the writes did not go out.
bool ProgramSwd(uint32_t address, uint32_t size) {
    const adapter::UsbHandle handle = g_connection.usbHandle;
    return WriteDpRegister(dp::kSelect, 0) == 0 &&
           SwdWriteTransfer(handle, ap::kTar, swd::kAccessPort, address) == adapter::kUsbOk &&
           SwdWriteTransfer(handle, ap::kCsw, swd::kAccessPort, lanes::Csw(size)) == adapter::kUsbOk;
}

DebugResult WriteJtag(uint32_t address, uint32_t value, uint32_t size) {
    if (!SelectBankZero() || !ProgramTransfer(address, size) ||
        JtagRequestChecked(lanes::ToDrw(address, value, size), ap::kDrw, dap_scan::kWrite) != 0) {
        return FailedAccess();
    }
    if (!g_connection.batchedMode) return ReadAndCheckSticky();
    uint32_t ctrlStat = 0;
    if (!QueuedCtrlStat(&ctrlStat)) {
        // The check itself was refused: treat it as a sticky error and clear
        // with a value of our own rather than one never read.
        ClearStickyError(kJtagStickyRecovery);
        return DBG_STICKY_ERROR;
    }
    return CheckSticky(0, ctrlStat);
}

DebugResult WriteSwd(uint32_t address, uint32_t value, uint32_t size) {
    const adapter::UsbHandle handle = g_connection.usbHandle;
    if (!g_connection.batchedMode) {
        // A write that did not go out stops the access: the DRW write after a
        // lost TAR write would land at the old address.
        const uint32_t drw = lanes::ToDrw(address, value, size);
        if (!ProgramSwd(address, size) ||
            SwdWriteTransfer(handle, ap::kDrw, swd::kAccessPort, drw) != adapter::kUsbOk) {
            return FailedAccess();
        }
        return ReadAndCheckSticky();
    }
    BatchReset();
    (void)BatchQueueWrite(dp::kSelect, swd::kDebugPort, 0);
    (void)BatchQueueWrite(ap::kTar, swd::kAccessPort, address);
    (void)BatchQueueWrite(ap::kCsw, swd::kAccessPort, lanes::Csw(size));
    (void)BatchQueueWrite(ap::kDrw, swd::kAccessPort, lanes::ToDrw(address, value, size));
    (void)BatchQueueRead(dp::kCtrlStat, swd::kDebugPort);
    if (BatchFlush(handle) != 0) return DBG_ERROR;
    uint32_t ctrlStat = 0;
    uint32_t acknowledge = BatchNextRead(&ctrlStat);
    if (acknowledge != swd::ack::kOk) {
        if (SwdReadNeedsRecovery(acknowledge)) RecoverSwdLink();
        return DBG_ERROR;
    }
    return CheckSticky(0, ctrlStat);
}

DebugResult ReadJtag(uint32_t address, uint32_t* value, uint32_t size) {
    if (!SelectBankZero() || !ProgramTransfer(address, size) ||
        JtagRequestChecked(0, ap::kDrw, dap_scan::kRead) != 0) {
        return FailedAccess();
    }
    DapScan capture = {};
    if (JtagScanRead(capture) != adapter::kJtagOk) return DBG_ERROR;
    uint32_t drw = 0;
    if (DecodeDapScan(capture, &drw) != dap_scan::kAccepted) return FailedAccess();
    *value = lanes::FromDrw(address, drw, size);
    if (!g_connection.batchedMode) return ReadAndCheckSticky();
    uint32_t ctrlStat = 0;
    if (!QueuedCtrlStat(&ctrlStat)) return DBG_ERROR;
    return CheckSticky(0, ctrlStat);
}

DebugResult ReadSwd(uint32_t address, uint32_t* value, uint32_t size) {
    if (!ProgramSwd(address, size)) return FailedAccess();
    // Posted: the first read starts the bus read, the second returns it.
    uint32_t drw = 0;
    uint32_t status = SwdReadWithRecovery(ap::kDrw, swd::kAccessPort, &drw);
    if (SwdReadNeedsRecovery(status)) return DBG_ERROR;
    uint32_t second = SwdReadWithRecovery(ap::kDrw, swd::kAccessPort, &drw);
    if (status != 0 || second != 0) return SwdReadNeedsRecovery(second) ? DBG_ERROR : FailedAccess();
    *value = lanes::FromDrw(address, drw, size);
    return ReadAndCheckSticky();
}

}  // namespace
}  // namespace cm3probe::memory

using cm3probe::g_connection;

extern "C" CM3PROBE_API DebugResult DebugWriteMem(uint32_t address, uint32_t value, uint32_t size) {
    if (!g_connection.initialised) return DBG_NOT_INITIALISED;
    return cm3probe::connection::Locked([&] {
        return g_connection.swdMode != 0 ? cm3probe::memory::WriteSwd(address, value, size)
                                         : cm3probe::memory::WriteJtag(address, value, size);
    });
}

extern "C" CM3PROBE_API DebugResult DebugReadMem(uint32_t address, uint32_t* value, uint32_t size) {
    if (!g_connection.initialised) return DBG_NOT_INITIALISED;
    if (value == nullptr) return DBG_BAD_PARAMETER;
    return cm3probe::connection::Locked([&] {
        return g_connection.swdMode != 0 ? cm3probe::memory::ReadSwd(address, value, size)
                                         : cm3probe::memory::ReadJtag(address, value, size);
    });
}
