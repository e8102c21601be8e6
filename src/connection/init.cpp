// Not built yet: answers as an uninitialised connection would, or DBG_ERROR.
#include "cm3probe.h"
#include "connection/connection.h"

extern "C" CM3PROBE_API DebugResult DebugInit(uint32_t) {
    // Power-up and validation come next; nothing to initialise yet.
    return cm3probe::g_connection.initialised ? DBG_ERROR : DBG_NOT_INITIALISED;
}

