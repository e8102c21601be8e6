// DebugInit: power up the debug port, check that the target is a Cortex-M3
// class device, enable the breakpoint unit.
#include "cm3probe.h"
#include "frame/connection.h"
#include "frame/export_frame.h"
#include "core/fpb_registers.h"
#include "dap/ap_registers.h"
#include "dap/dap_access.h"
#include "dap/dp_registers.h"
#include "dap/port.h"
#include "memory/size_code.h"

namespace cm3probe::connection {
namespace {

using namespace dp::ctrlstat;

inline constexpr uint32_t kPowerUpRequest = kCSysPwrUpReq | kCDbgPwrUpReq;
inline constexpr uint32_t kPoweredUp = kPowerUpRequest | kCSysPwrUpAck | kCDbgPwrUpAck;
// READOK, and over SWD our own ORUNDETECT, say nothing about power.
inline constexpr uint32_t kIgnoredWhenPoweredUp = kReadOk | kOrunDetect;
// Sticky flags carried back in a re-request, as read.
inline constexpr uint32_t kStickyCarried = kStickyCmp | kStickyErr | kStickyOrun;
inline constexpr uint32_t kPowerUpRetries = 100;

inline constexpr uint32_t kIdcodeMask = 0x0FFFEFFF;
inline constexpr uint32_t kIdcodeArmDp = 0x0BA00477;  // JTAG-DP and SW-DP, any version
inline constexpr uint32_t kIdrMask = 0x0FFFFFFF;
inline constexpr uint32_t kIdrAhbAp = 0x04770011;
inline constexpr uint32_t kRomTableBase = 0xE00FF003;
inline constexpr uint32_t kRomTableCidr0 = 0xE00FFFF0;
inline constexpr uint32_t kComponentIdBytes = 4;
inline constexpr uint32_t kRomTableComponentId = 0xB105100D;
static_assert(kPoweredUp == 0xF0000000);

uint32_t PowerUpRequest() { return kPowerUpRequest | dap::ActivePort().ctrlStatRequest; }

DebugResult PowerUp() {
    // A lost request shows in the read below.
    NotExamined(WriteDpRegister(dp::kCtrlStat, PowerUpRequest()));
    for (uint32_t requests = 0;; ++requests) {
        uint32_t value = 0;
        if (!IsOk(ReadDpRegister(dp::kCtrlStat, &value))) return DBG_ERROR;
        if ((value & ~kIgnoredWhenPoweredUp) == kPoweredUp) return DBG_OK;
        if (requests == kPowerUpRetries) return DBG_TIMEOUT;
        // A port that ignores sticky flags written to CTRL/STAT clears them
        // otherwise, or a stale flag would hold power-up off for good.
        if (!dap::ActivePort().stickyClearsOnWrite && StickyFlags(value) != 0) ClearStickyError(value);
        if (!IsOk(WriteDpRegister(dp::kCtrlStat, PowerUpRequest() | (value & kStickyCarried)))) return DBG_ERROR;
    }
}

// An AP read the port refused says nothing about the target's identity: it is
// an access failure, not a wrong value. Clears what the refusal left sticky.
DebugResult RefusedRead() {
    NotExamined(ReadAndCheckSticky());
    return DBG_ERROR;
}

// An AP read that faulted answers with no identity at all: the sticky flag
// tells it from a wrong one, and is cleared before the next call.
DebugResult WrongIdentity(DebugResult wrong) { return ReadAndCheckSticky() == DBG_OK ? wrong : DBG_ERROR; }

DebugResult Validate() {
    AdapterLockHold hold;
    uint32_t idcode = 0;
    DebugResult read = DebugGetIDCode(&idcode);
    if (read != DBG_OK) return read;
    if ((idcode & kIdcodeMask) != kIdcodeArmDp) return DBG_BAD_IDCODE;
    uint32_t idr = 0;
    if (!IsOk(ReadApRegister(ap::kIdr, &idr))) return RefusedRead();
    if ((idr & kIdrMask) != kIdrAhbAp) return WrongIdentity(DBG_BAD_IDCODE);
    uint32_t base = 0;
    if (!IsOk(ReadApRegister(ap::kBase, &base))) return RefusedRead();
    if (base != kRomTableBase) return WrongIdentity(DBG_BAD_ROM_TABLE);
    // One byte per register, most significant (CIDR3) first. A bus error
    // there means no ROM table; a refused read is an access failure.
    uint32_t componentId = 0;
    for (uint32_t i = kComponentIdBytes; i-- > 0;) {
        uint32_t byte = 0;
        read = DebugReadMem(kRomTableCidr0 + 4 * i, &byte, size_code::kWord);
        if (read == DBG_ERROR) return DBG_ERROR;
        componentId |= byte << (8 * i);
    }
    return componentId == kRomTableComponentId ? DBG_OK : DBG_BAD_ROM_TABLE;
}

DebugResult Init(uint32_t batched) {
    if (g_connection.initialised) return DBG_OK;
    // No link to bring up: DebugOpen has not succeeded. The handle that counts
    // is the one of the transport the traffic will take: a failed JTAG open
    // after an SWD session leaves an engine handle while swdMode says SWD.
    const bool linked = g_connection.swdMode != 0 ? g_connection.usbHandle != nullptr
                                                  : g_connection.jtagHandle != nullptr;
    if (!linked) return DBG_ERROR;
    g_connection.coreHalted = 0;
    return Locked([&]() -> DebugResult {
        DebugResult result = PowerUp();
        if (result != DBG_OK) return result;
        g_connection.initialised = 1;
        result = Validate();
        if (result != DBG_OK) {
            // A refused or faulted validation access may have left a flag
            // that would fail the next call, which did nothing wrong.
            ClearStickyLeftBehind();
            return result;
        }
        // Breakpoints need the unit on: a lost enable fails the call.
        result = DebugWriteMem(fp_ctrl::kAddress, fp_ctrl::kKey | fp_ctrl::kEnable, size_code::kWord);
        if (result != DBG_OK) return result;
        g_connection.batchedMode = static_cast<uint8_t>(batched & 0xFF);
        return DBG_OK;
    });
}

}  // namespace
}  // namespace cm3probe::connection

extern "C" CM3PROBE_API DebugResult DebugInit(uint32_t batched) { return cm3probe::connection::Init(batched); }
