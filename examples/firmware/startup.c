/* Vector table and reset handler: enough of a C runtime for main(). */
#include <stdint.h>

extern uint32_t _stack_top;
extern uint32_t _data_start, _data_end, _data_load;
extern uint32_t _bss_start, _bss_end;

int main(void);
void Reset_Handler(void);
void HardFault_Handler(void);
void Default_Handler(void);

/* Word 0 is the initial main stack pointer, word n + 1 the handler of
   exception n + 1. Interrupts (16 and up) are not used. */
__attribute__((section(".vectors"), used)) const uintptr_t vector_table[16] = {
    (uintptr_t)&_stack_top,
    (uintptr_t)Reset_Handler,
    (uintptr_t)Default_Handler,   /* NMI */
    (uintptr_t)HardFault_Handler,
    (uintptr_t)Default_Handler,   /* MemManage */
    (uintptr_t)Default_Handler,   /* BusFault */
    (uintptr_t)Default_Handler,   /* UsageFault */
    0, 0, 0, 0,
    (uintptr_t)Default_Handler,   /* SVCall */
    (uintptr_t)Default_Handler,   /* DebugMonitor */
    0,
    (uintptr_t)Default_Handler,   /* PendSV */
    (uintptr_t)Default_Handler,   /* SysTick */
};

void Reset_Handler(void) {
    const uint32_t* from = &_data_load;
    for (uint32_t* to = &_data_start; to < &_data_end;) *to++ = *from++;
    for (uint32_t* to = &_bss_start; to < &_bss_end;) *to++ = 0;
    main();
    for (;;) {
    }
}

/* A fault parks the core here, where a debugger can find it. */
void HardFault_Handler(void) {
    for (;;) {
    }
}

void Default_Handler(void) {
    for (;;) {
    }
}
