#include "dap/dap_access.h"

#include "frame/adapter_lock.h"
#include "frame/connection.h"
#include "dap/dp_registers.h"
#include "dap/port.h"

namespace cm3probe {

namespace dap {

const Port& ActivePort() { return g_connection.port != nullptr ? *g_connection.port : kJtagPort; }

void UseTransport(uint32_t swdMode) {
    g_connection.swdMode = swdMode;
    g_connection.port = swdMode != 0 ? &kSwdPort : &kJtagPort;
}

}  // namespace dap

WireStatus WriteDpRegister(uint8_t reg, uint32_t value) {
    connection::AdapterLockHold hold;
    return dap::ActivePort().write(dap::Dp(reg), value);
}

WireStatus ReadDpRegister(uint8_t reg, uint32_t* outValue) {
    connection::AdapterLockHold hold;
    return dap::ActivePort().read(dap::Dp(reg), outValue);
}

WireStatus ReadApRegister(uint8_t reg, uint32_t* outValue) {
    connection::AdapterLockHold hold;
    return dap::ActivePort().read(dap::Ap(reg), outValue);
}

WireStatus WriteApRegister(uint8_t reg, uint32_t value) {
    connection::AdapterLockHold hold;
    return dap::ActivePort().write(dap::Ap(reg), value);
}

uint32_t StickyFlags(uint32_t ctrlStat) {
    return ctrlStat & (dp::ctrlstat::kStickyErr | dp::ctrlstat::kStickyOrun | dp::ctrlstat::kWDataErr);
}

void ClearStickyError(uint32_t ctrlStat) {
    connection::AdapterLockHold hold;
    dap::ActivePort().clearSticky(ctrlStat);
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

void ClearStickyLeftBehind() {
    connection::AdapterLockHold hold;
    dap::ActivePort().clearLeftBehind();
}

void AbortApTransaction() {
    connection::AdapterLockHold hold;
    dap::ActivePort().abortAp();
}

}  // namespace cm3probe
