// Identification: the debug port's IDCODE and the device identification words.
#include "cm3probe.h"
#include "frame/connection.h"
#include "frame/export_frame.h"
#include "dap/port.h"
#include "memory/size_code.h"

namespace cm3probe::identification {
namespace {

inline constexpr uint32_t kDeviceId0 = 0x400FE000;
inline constexpr uint32_t kDeviceId1 = 0x400FE004;
inline constexpr uint32_t kFieldShift = 16;
inline constexpr uint32_t kFieldMask = 0xFF;
inline constexpr uint32_t kRevisionMask = 0xFFFF;

DebugResult ReadIdcode(uint32_t* idCode) {
    uint32_t code = 0;
    // A read with no answer leaves an SWD port out of frame: it is brought
    // back, and the call fails rather than report a code never read.
    const WireStatus status = dap::ActivePort().readIdcode(&code);
    if (!IsOk(status)) return ToDebugResult(status);
    *idCode = code;
    return DBG_OK;
}

// A word whose read failed is not a word the target holds: the call fails
// with DBG_ERROR rather than hand out zeros as identification.
bool ReadWord(uint32_t address, uint32_t& word) { return DebugReadMem(address, &word, size_code::kWord) == DBG_OK; }

}  // namespace
}  // namespace cm3probe::identification

using cm3probe::g_connection;

extern "C" CM3PROBE_API DebugResult DebugGetIDCode(uint32_t* idCode) {
    if (!g_connection.initialised) return DBG_NOT_INITIALISED;
    if (idCode == nullptr) return DBG_BAD_PARAMETER;
    return cm3probe::connection::Locked([&] { return cm3probe::identification::ReadIdcode(idCode); });
}

extern "C" CM3PROBE_API DebugResult DebugGetDeviceInformation(uint32_t* deviceClass, uint32_t* partNumber,
                                                              uint32_t* revision) {
    using namespace cm3probe::identification;
    if (!g_connection.initialised) return DBG_ERROR;
    if (deviceClass == nullptr || partNumber == nullptr || revision == nullptr) return DBG_BAD_PARAMETER;
    // No hold of its own: each read takes the lock by itself.
    return cm3probe::connection::Guarded([&] {
        uint32_t first = 0;
        uint32_t second = 0;
        if (!ReadWord(kDeviceId0, first) || !ReadWord(kDeviceId1, second)) return DBG_ERROR;
        *deviceClass = (first >> kFieldShift) & kFieldMask;
        *revision = first & kRevisionMask;
        *partNumber = (second >> kFieldShift) & kFieldMask;
        return DBG_OK;
    });
}
