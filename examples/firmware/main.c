/* A polling program for the simulated Cortex-M3: main() calls tick() forever,
   and tick() counts in SRAM. No interrupts. */
#include <stdint.h>

volatile uint32_t counter;

/* Worth a breakpoint: every pass of the main loop comes through here. */
__attribute__((noinline)) void tick(void) { counter++; }

int main(void) {
    for (;;) tick();
}
