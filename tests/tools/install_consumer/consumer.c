/* A program built against the installed package: opens the simulated adapter
 * and prints the target's IDCODE. */
#include <stdio.h>

#include "cm3probe.h"

int main(void) {
    uint32_t idcode = 0;
    DebugResult result = DebugOpen(1000000, "USB Debug Bridge A", 1);
    if (result != DBG_OK) {
        fprintf(stderr, "DebugOpen: %d\n", (int)result);
        return 1;
    }
    result = DebugInit(0);
    if (result == DBG_OK) result = DebugGetIDCode(&idcode);
    (void)DebugClose();
    if (result != DBG_OK) {
        fprintf(stderr, "DebugInit/DebugGetIDCode: %d\n", (int)result);
        return 1;
    }
    printf("IDCODE 0x%08X\n", (unsigned)idcode);
    return 0;
}
