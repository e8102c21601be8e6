// DebugReadMem and DebugWriteMem: one byte, halfword or word through the
// AHB-AP, on each transport path. TAR is always written before CSW, and CSW
// before DRW.
#include "adapter/backend.h"
#include "cm3probe.h"
#include "connection/connection.h"
#include "connection/export_frame.h"
#include "dap/ap_registers.h"
#include "dap/dap_access.h"
#include "dap/jtag_port.h"
#include "dap/swd_port.h"
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
    if (IsOk(JtagQueueInstruction(instruction)) && IsOk(JtagQueueWriteRead(request5))) return true;
    NotExamined(JtagQueueClear());
    return false;
}

// DPACC, SELECT = 0, APACC in one execution; false when SELECT was not taken.
bool QueuedPreamble() {
    DapScan request;
    BuildDapScan(0, dp::kSelect, dap_scan::kWrite, request);
    if (!QueueWithInstruction(jtag_ir::kDpacc, request)) return false;
    if (!IsOk(JtagQueueInstruction(jtag_ir::kApacc))) {
        NotExamined(JtagQueueClear());
        return false;
    }
    uint32_t bytes = 0;
    if (!IsOk(JtagQueueExecute(&bytes)) || bytes < dap_scan::kBytes) return false;
    return IsOk(dap::JtagCaptureStatus(JtagReadBack()));
}

// DPACC, CTRL/STAT read request and its capture in one execution. False when
// the value did not arrive.
bool QueuedCtrlStat(uint32_t* ctrlStat) {
    DapScan request;
    BuildDapScan(0, dp::kCtrlStat, dap_scan::kRead, request);
    if (!QueueWithInstruction(jtag_ir::kDpacc, request)) return false;
    if (!IsOk(JtagQueueRead())) {
        NotExamined(JtagQueueClear());
        return false;
    }
    uint32_t bytes = 0;
    if (!IsOk(JtagQueueExecute(&bytes)) || bytes < 2 * dap_scan::kBytes) return false;
    if (!IsOk(dap::JtagCaptureStatus(JtagReadBack()))) return false;
    return IsOk(DecodeDapScan(JtagReadBack() + dap_scan::kBytes, ctrlStat));
}

// SELECT = 0 and APACC loaded; false when SELECT was not taken.
bool SelectBankZero() {
    if (g_connection.batchedMode) return QueuedPreamble();
    if (!IsOk(WriteDpRegister(dp::kSelect, 0))) return false;
    // Left at DPACC, the TAR write would land in CTRL/STAT.
    return IsOk(SelectJtagInstruction(jtag_ir::kApacc));
}

// TAR then CSW, each checked: a refused one would send the data elsewhere.
bool ProgramTransfer(uint32_t address, uint32_t size) {
    return IsOk(dap::JtagRequestChecked(address, ap::kTar, dap_scan::kWrite)) &&
           IsOk(dap::JtagRequestChecked(lanes::Csw(size), ap::kCsw, dap_scan::kWrite));
}

// The access did not happen: report the sticky cause if there is one.
DebugResult FailedAccess() {
    DebugResult sticky = ReadAndCheckSticky();
    return sticky == DBG_STICKY_ERROR ? DBG_STICKY_ERROR : DBG_ERROR;
}

// SELECT = 0, TAR, CSW over SWD; false when any of the writes did not go out.
bool ProgramSwd(uint32_t address, uint32_t size) {
    const adapter::UsbHandle handle = g_connection.usbHandle;
    return IsOk(WriteDpRegister(dp::kSelect, 0)) && IsOk(SwdWriteTransfer(handle, ap::kTar, swd::kAccessPort, address)) &&
           IsOk(SwdWriteTransfer(handle, ap::kCsw, swd::kAccessPort, lanes::Csw(size)));
}

DebugResult WriteJtag(uint32_t address, uint32_t value, uint32_t size) {
    if (!SelectBankZero() || !ProgramTransfer(address, size) ||
        !IsOk(dap::JtagRequestChecked(lanes::ToDrw(address, value, size), ap::kDrw, dap_scan::kWrite))) {
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
    return CheckSticky(WireStatus::Ok, ctrlStat);
}

DebugResult WriteSwd(uint32_t address, uint32_t value, uint32_t size) {
    const adapter::UsbHandle handle = g_connection.usbHandle;
    if (!g_connection.batchedMode) {
        // A write that did not go out stops the access: the DRW write after a
        // lost TAR write would land at the old address.
        const uint32_t drw = lanes::ToDrw(address, value, size);
        if (!ProgramSwd(address, size) ||
            !IsOk(SwdWriteTransfer(handle, ap::kDrw, swd::kAccessPort, drw))) {
            return FailedAccess();
        }
        return ReadAndCheckSticky();
    }
    BatchReset();
    // Five transactions always fit an emptied batch.
    const bool queued = BatchQueueWrite(dp::kSelect, swd::kDebugPort, 0) &&
                        BatchQueueWrite(ap::kTar, swd::kAccessPort, address) &&
                        BatchQueueWrite(ap::kCsw, swd::kAccessPort, lanes::Csw(size)) &&
                        BatchQueueWrite(ap::kDrw, swd::kAccessPort, lanes::ToDrw(address, value, size)) &&
                        BatchQueueRead(dp::kCtrlStat, swd::kDebugPort);
    if (!queued || !IsOk(BatchFlush(handle))) return DBG_ERROR;
    uint32_t ctrlStat = 0;
    const WireStatus answered = BatchNextRead(&ctrlStat);
    if (!IsOk(answered)) {
        if (dap::SwdLostFraming(answered)) dap::SwdRecoverFraming();
        return ToDebugResult(answered);
    }
    return CheckSticky(WireStatus::Ok, ctrlStat);
}

DebugResult ReadJtag(uint32_t address, uint32_t* value, uint32_t size) {
    if (!SelectBankZero() || !ProgramTransfer(address, size) ||
        !IsOk(dap::JtagRequestChecked(0, ap::kDrw, dap_scan::kRead))) {
        return FailedAccess();
    }
    DapScan capture = {};
    const WireStatus scanned = JtagScanRead(capture);
    if (!IsOk(scanned)) return ToDebugResult(scanned);
    uint32_t drw = 0;
    if (!IsOk(DecodeDapScan(capture, &drw))) return FailedAccess();
    *value = lanes::FromDrw(address, drw, size);
    if (!g_connection.batchedMode) return ReadAndCheckSticky();
    uint32_t ctrlStat = 0;
    if (!QueuedCtrlStat(&ctrlStat)) return DBG_ERROR;
    return CheckSticky(WireStatus::Ok, ctrlStat);
}

DebugResult ReadSwd(uint32_t address, uint32_t* value, uint32_t size) {
    if (!ProgramSwd(address, size)) return FailedAccess();
    // Posted: the first read starts the bus read, the second returns it.
    uint32_t drw = 0;
    const WireStatus first = dap::SwdReadWithRecovery(ap::kDrw, swd::kAccessPort, &drw);
    if (dap::SwdLostFraming(first)) return ToDebugResult(first);
    const WireStatus second = dap::SwdReadWithRecovery(ap::kDrw, swd::kAccessPort, &drw);
    if (!IsOk(first) || !IsOk(second)) return dap::SwdLostFraming(second) ? ToDebugResult(second) : FailedAccess();
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
