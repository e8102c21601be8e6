/* cm3probe: debug-probe library for ARM Cortex-M3 targets behind an FT2232-class
 * MPSSE adapter, over SWD or JTAG. One connection per process; every call returns
 * a DebugResult. */
#ifndef CM3PROBE_H
#define CM3PROBE_H

#include <stdint.h>

#if defined(CM3PROBE_BUILDING_LIBRARY)
#define CM3PROBE_API __attribute__((visibility("default")))
#else
#define CM3PROBE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t DebugResult;

enum {
    DBG_OK = 0,
    DBG_ERROR = 1,
    DBG_BAD_PARAMETER = 2,
    DBG_NOT_INITIALISED = 3,
    DBG_TIMEOUT = 4,
    DBG_BAD_IDCODE = 5,
    DBG_BAD_ROM_TABLE = 6,
    DBG_STICKY_ERROR = 7,
    DBG_NOT_HALTED = 8,
    DBG_NO_BREAKPOINT_SLOT = 9,
    DBG_OPENED_AFTER_RETRY = 10
};

/* Connection */
CM3PROBE_API DebugResult DebugOpen(uint32_t clockHz, const char* description, uint32_t useSwd);
CM3PROBE_API DebugResult DebugClose(void);
CM3PROBE_API DebugResult DebugInit(uint32_t batched);

/* Identification */
CM3PROBE_API DebugResult DebugGetIDCode(uint32_t* idCode);
CM3PROBE_API DebugResult DebugGetDeviceInformation(uint32_t* value0, uint32_t* value1, uint32_t* value2);

/* Memory: size code 0 byte, 1 halfword, 2 word; blocks of at most 4096 bytes */
CM3PROBE_API DebugResult DebugReadMem(uint32_t address, uint32_t* value, uint32_t size);
CM3PROBE_API DebugResult DebugWriteMem(uint32_t address, uint32_t value, uint32_t size);
CM3PROBE_API DebugResult DebugReadBlock(uint32_t address, uint8_t* buffer, uint32_t count);
CM3PROBE_API DebugResult DebugWriteBlock(uint32_t address, const uint8_t* data, uint32_t count);

/* Run control */
CM3PROBE_API DebugResult DebugHaltCore(void);
CM3PROBE_API DebugResult DebugStartCore(void);
CM3PROBE_API DebugResult DebugStepCore(void);
CM3PROBE_API DebugResult DebugGetCoreState(uint32_t* dhcsr);

/* Resets */
CM3PROBE_API DebugResult DebugCoreReset(void);
CM3PROBE_API DebugResult DebugSystemReset(void);
CM3PROBE_API DebugResult DebugHardwareReset(void);

/* Core registers: selector is the DCRSR REGSEL value */
CM3PROBE_API DebugResult DebugReadCoreRegister(uint32_t selector, uint32_t* value);
CM3PROBE_API DebugResult DebugWriteCoreRegister(uint32_t selector, uint32_t value);

/* Hardware breakpoints */
CM3PROBE_API DebugResult DebugSetBreakpoint(uint32_t address);
CM3PROBE_API DebugResult DebugClearBreakpoint(uint32_t address);

#ifdef __cplusplus
}
#endif

#endif /* CM3PROBE_H */
