// Not built yet: answers as an uninitialised connection would, or DBG_ERROR.
#include "cm3probe.h"
#include "connection/connection.h"

extern "C" CM3PROBE_API DebugResult DebugSetBreakpoint(uint32_t) {
    return cm3probe::g_connection.initialised ? DBG_ERROR : DBG_NOT_INITIALISED;
}

extern "C" CM3PROBE_API DebugResult DebugClearBreakpoint(uint32_t) {
    return cm3probe::g_connection.initialised ? DBG_ERROR : DBG_NOT_INITIALISED;
}

