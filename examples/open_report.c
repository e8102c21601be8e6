/* Opens the adapter, reports what happened, closes it again.
 * Usage: open-report [--jtag] [clock-hz] [description]
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

int main(int argc, char** argv) {
    uint32_t useSwd = 1;
    uint32_t clockHz = 1000000;
    const char* description = "USB Debug Bridge A";
    int arg = 1;
    if (arg < argc && strcmp(argv[arg], "--jtag") == 0) {
        useSwd = 0;
        ++arg;
    }
    if (arg < argc) clockHz = (uint32_t)strtoul(argv[arg++], NULL, 0);
    if (arg < argc) description = argv[arg++];

    const char* driver = getenv("CM3PROBE_DRIVER");
    printf("driver:      %s\n", driver != NULL ? driver : "ftdi");
    printf("adapter:     %s\n", description);
    printf("transport:   %s at %u Hz\n", useSwd ? "SWD" : "JTAG", clockHz);
    DebugResult opened = DebugOpen(clockHz, description, useSwd);
    printf("DebugOpen:   %s (%d)\n", ResultName(opened), opened);
    if (opened != DBG_OK && opened != DBG_OPENED_AFTER_RETRY) {
        fprintf(stderr, "open-report: no adapter opened; with no adapter attached, try CM3PROBE_DRIVER=sim\n");
        return 1;
    }
    DebugResult closed = DebugClose();
    printf("DebugClose:  %s (%d)\n", ResultName(closed), closed);
    return closed == DBG_OK ? 0 : 1;
}
