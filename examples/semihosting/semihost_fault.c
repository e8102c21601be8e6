/* A firmware test that faults: a load from an address with nothing behind
   it. The host sees a fault, not an exit code. */
#include <stdint.h>
#include <stdio.h>

int main(void) {
    printf("about to fault\n");
    fflush(stdout);
    volatile uint32_t* nothing = (volatile uint32_t*)0x30000000u;
    return (int)*nothing;
}
