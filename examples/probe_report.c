/* Opens the adapter, brings the target's debug port up, reports what it finds
 * and closes again: the shortest useful host program.
 * Usage: probe-report [--jtag] [--batched] [clock-hz] [description]
 * CM3PROBE_DRIVER=sim runs it on the built-in simulator. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cm3probe.h"

static const char* ResultName(DebugResult result) {
    static const char* const names[] = {
        "DBG_OK",          "DBG_ERROR",        "DBG_BAD_PARAMETER", "DBG_NOT_INITIALISED",
        "DBG_TIMEOUT",     "DBG_BAD_IDCODE",   "DBG_BAD_ROM_TABLE", "DBG_STICKY_ERROR",
        "DBG_NOT_HALTED",  "DBG_NO_BREAKPOINT_SLOT", "DBG_OPENED_AFTER_RETRY",
    };
    if (result >= 0 && result < (DebugResult)(sizeof names / sizeof names[0])) return names[result];
    return "unknown result";
}

static int Failed(const char* what, DebugResult result) {
    fprintf(stderr, "probe-report: %s failed: %s (%d)\n", what, ResultName(result), result);
    return 1;
}

int main(int argc, char** argv) {
    uint32_t useSwd = 1;
    uint32_t batched = 0;
    uint32_t clockHz = 1000000;
    const char* description = "USB Debug Bridge A";
    int arg = 1;
    for (; arg < argc && argv[arg][0] == '-'; ++arg) {
        if (strcmp(argv[arg], "--jtag") == 0) {
            useSwd = 0;
        } else if (strcmp(argv[arg], "--batched") == 0) {
            batched = 1;
        } else {
            fprintf(stderr, "usage: probe-report [--jtag] [--batched] [clock-hz] [description]\n");
            return 2;
        }
    }
    if (arg < argc) clockHz = (uint32_t)strtoul(argv[arg++], NULL, 0);
    if (arg < argc) description = argv[arg++];

    const char* driver = getenv("CM3PROBE_DRIVER");
    printf("adapter      %s (driver %s), %s at %u Hz%s\n", description, driver != NULL ? driver : "ftdi",
           useSwd ? "SWD" : "JTAG", clockHz, batched ? ", batched" : "");
    DebugResult result = DebugOpen(clockHz, description, useSwd);
    if (result != DBG_OK && result != DBG_OPENED_AFTER_RETRY) {
        if (driver == NULL) fprintf(stderr, "probe-report: no adapter? CM3PROBE_DRIVER=sim uses the simulator\n");
        return Failed("DebugOpen", result);
    }
    result = DebugInit(batched);
    if (result != DBG_OK) {
        DebugClose();
        return Failed("DebugInit", result);
    }

    uint32_t idcode = 0;
    uint32_t deviceClass = 0, part = 0, revision = 0;
    DebugGetIDCode(&idcode);
    DebugGetDeviceInformation(&deviceClass, &part, &revision);
    printf("IDCODE       0x%08X\n", idcode);
    printf("device       class 0x%02X, part 0x%02X, revision 0x%04X\n", deviceClass, part, revision);

    static const uint32_t addresses[] = {0x00000000, 0x00000004, 0x20000000, 0xE000ED00};
    static const char* const names[] = {"initial SP", "reset vector", "SRAM", "CPUID"};
    for (size_t i = 0; i < sizeof addresses / sizeof addresses[0]; ++i) {
        uint32_t value = 0;
        result = DebugReadMem(addresses[i], &value, 2);
        if (result != DBG_OK) {
            printf("0x%08X   %-13s %s\n", addresses[i], names[i], ResultName(result));
        } else {
            printf("0x%08X   %-13s 0x%08X\n", addresses[i], names[i], value);
        }
    }
    uint32_t dhcsr = 0;
    if (DebugGetCoreState(&dhcsr) == DBG_OK) {
        const char* state = (dhcsr & 0x00020000) ? "halted" : (dhcsr & 0x00080000) ? "locked up" : "running";
        printf("core         %s (DHCSR 0x%08X)\n", state, dhcsr);
    }
    result = DebugClose();
    return result == DBG_OK ? 0 : Failed("DebugClose", result);
}
