/* What a test may ask of the virtual FT2232 that libcm3probe_vusb.so puts on
 * USB. The library's copy of the simulator is its own (static, hidden), so
 * a program that loaded it with LD_PRELOAD reaches that copy only through
 * these hooks; look them up with dlsym(RTLD_DEFAULT, name). */
#ifndef CM3PROBE_VUSB_INSPECT_H
#define CM3PROBE_VUSB_INSPECT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Replaces the bench with a freshly powered one, configured by JSON text as
 * in a CM3PROBE_SIM_CONFIG file (NULL or "" for the defaults). 0 on success,
 * -1 on a bad configuration (the old bench stays). */
int cm3probe_vusb_reset(const char* json);
typedef int (*cm3probe_vusb_reset_fn)(const char* json);

/* The bench's state as JSON. Copies at most capacity - 1 characters and a
 * NUL; returns the length of the whole report. */
size_t cm3probe_vusb_report(char* buffer, size_t capacity);
typedef size_t (*cm3probe_vusb_report_fn)(char* buffer, size_t capacity);

/* Target flash and SRAM, straight, past the bus: 0 on success, -1 outside them. */
int cm3probe_vusb_peek(uint32_t address, uint8_t* bytes, uint32_t count);
typedef int (*cm3probe_vusb_peek_fn)(uint32_t address, uint8_t* bytes, uint32_t count);
int cm3probe_vusb_poke(uint32_t address, const uint8_t* bytes, uint32_t count);
typedef int (*cm3probe_vusb_poke_fn)(uint32_t address, const uint8_t* bytes, uint32_t count);

#ifdef __cplusplus
}
#endif

#endif /* CM3PROBE_VUSB_INSPECT_H */
