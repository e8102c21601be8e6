// DebugReadMem and DebugWriteMem: one byte, halfword or word through the
// AHB-AP, on the connection's port. TAR is always written before CSW, and CSW
// before DRW.
#include "cm3probe.h"
#include "frame/connection.h"
#include "frame/export_frame.h"
#include "dap/ap_registers.h"
#include "dap/dap_access.h"
#include "dap/dp_registers.h"
#include "dap/port.h"
#include "memory/lanes.h"

namespace cm3probe::memory {
namespace {

using dap::Ap;
using dap::Dp;
using dap::Port;


bool Batched() { return g_connection.batchedMode != 0; }

// Whether this access's bank selection and closing check go through the batch.
bool EdgesBatched(const Port& port) {
    return Batched() && port.singleBatching == Port::SingleBatching::SelectionAndCheck;
}

// SELECT = 0 and AP 0's first bank reachable.
WireStatus SelectBankZero(const Port& port, bool batched) {
    if (!batched) return port.selectAp(0);
    // Queued but not sent, it must not go out with the next sequence.
    if (!port.queueSelectAp(0)) {
        port.queueReset();
        return WireStatus::UsbFailure;
    }
    const WireStatus sent = port.flush();
    if (!IsOk(sent)) return sent;
    uint32_t unused = 0;
    return port.nextAnswer(&unused);
}

// CTRL/STAT through the batch; false when its value did not arrive.
bool QueuedCtrlStat(const Port& port, uint32_t* ctrlStat) {
    if (!port.queueRead(Dp(dp::kCtrlStat))) {
        port.queueReset();
        return false;
    }
    return IsOk(port.flush()) && IsOk(port.nextAnswer(ctrlStat));
}

// The sticky check that closes every access.
DebugResult Check(const Port& port, bool batched, bool afterWrite) {
    if (!batched) return ReadAndCheckSticky();
    uint32_t ctrlStat = 0;
    if (QueuedCtrlStat(port, &ctrlStat)) return CheckSticky(WireStatus::Ok, ctrlStat);
    if (!afterWrite) return DBG_ERROR;
    // The check itself was refused after a write that may have faulted:
    // treat it as a sticky error and clear with a value of our own rather
    // than one never read.
    ClearStickyError(dp::ctrlstat::kRequestsAndClears);
    return DBG_STICKY_ERROR;
}

// The access did not happen: report the sticky cause if there is one.
DebugResult FailedAccess() {
    DebugResult sticky = ReadAndCheckSticky();
    return sticky == DBG_STICKY_ERROR ? DBG_STICKY_ERROR : DBG_ERROR;
}

// SELECT, TAR, CSW, DRW and the CTRL/STAT read in one exchange.
DebugResult WriteAsOneBatch(const Port& port, uint32_t address, uint32_t value, uint32_t size) {
    port.queueReset();
    // Five transactions always fit an emptied batch.
    const bool queued = port.queueSelectAp(0) && port.queueWrite(Ap(ap::kTar), address) &&
                        port.queueWrite(Ap(ap::kCsw), lanes::Csw(size)) &&
                        port.queueWrite(Ap(ap::kDrw), lanes::ToDrw(address, value, size)) &&
                        port.queueRead(Dp(dp::kCtrlStat));
    if (!queued) return DBG_ERROR;
    const WireStatus sent = port.flush();
    if (!IsOk(sent)) return ToDebugResult(sent);
    uint32_t ctrlStat = 0;
    const WireStatus answered = port.nextAnswer(&ctrlStat);
    if (!IsOk(answered)) {
        if (port.lostFraming(answered)) port.recoverFraming();
        return ToDebugResult(answered);
    }
    return CheckSticky(WireStatus::Ok, ctrlStat);
}

DebugResult Write(uint32_t address, uint32_t value, uint32_t size) {
    const Port& port = dap::ActivePort();
    if (Batched() && port.singleBatching == Port::SingleBatching::WholeWrite) {
        return WriteAsOneBatch(port, address, value, size);
    }
    const bool batched = EdgesBatched(port);
    // A write that did not go out stops the access: the DRW write after a
    // lost TAR write would land at the old address.
    WireStatus status = SelectBankZero(port, batched);
    if (IsOk(status)) status = port.apWrite(ap::kTar, address);
    if (IsOk(status)) status = port.apWrite(ap::kCsw, lanes::Csw(size));
    if (IsOk(status)) status = port.apWrite(ap::kDrw, lanes::ToDrw(address, value, size));
    if (!IsOk(status)) return FailedAccess();
    return Check(port, batched, true);
}

DebugResult Read(uint32_t address, uint32_t* value, uint32_t size) {
    const Port& port = dap::ActivePort();
    const bool batched = EdgesBatched(port);
    WireStatus status = SelectBankZero(port, batched);
    if (IsOk(status)) status = port.apWrite(ap::kTar, address);
    if (IsOk(status)) status = port.apWrite(ap::kCsw, lanes::Csw(size));
    if (!IsOk(status)) return FailedAccess();
    uint32_t drw = 0;
    status = port.apRead(ap::kDrw, &drw);
    // A port out of frame was brought back, and tells nothing of the access.
    if (!IsOk(status)) return port.lostFraming(status) ? ToDebugResult(status) : FailedAccess();
    *value = lanes::FromDrw(address, drw, size);
    return Check(port, batched, false);
}

}  // namespace
}  // namespace cm3probe::memory

using cm3probe::g_connection;

extern "C" CM3PROBE_API DebugResult DebugWriteMem(uint32_t address, uint32_t value, uint32_t size) {
    if (!g_connection.initialised) return DBG_NOT_INITIALISED;
    return cm3probe::connection::Locked([&] { return cm3probe::memory::Write(address, value, size); });
}

extern "C" CM3PROBE_API DebugResult DebugReadMem(uint32_t address, uint32_t* value, uint32_t size) {
    if (!g_connection.initialised) return DBG_NOT_INITIALISED;
    if (value == nullptr) return DBG_BAD_PARAMETER;
    return cm3probe::connection::Locked([&] { return cm3probe::memory::Read(address, value, size); });
}
