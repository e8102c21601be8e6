/* Vector table for the semihosted examples. The C runtime's own start code
   (_start) clears .bss and sets up the heap and stack; .data is copied here
   first because it runs from flash. A fault parks the core in a loop where
   the debugger's vector catch has already stopped it. */
#include <stdint.h>

extern uint32_t __stack;
extern uint32_t __data_start, __data_end, __data_load;
void _start(void);
void Reset_Handler(void);
void Fault_Handler(void);

__attribute__((section(".vectors"), used)) const uintptr_t vector_table[16] = {
    (uintptr_t)&__stack,
    (uintptr_t)Reset_Handler,
    (uintptr_t)Fault_Handler, /* NMI */
    (uintptr_t)Fault_Handler, /* HardFault */
    (uintptr_t)Fault_Handler, /* MemManage */
    (uintptr_t)Fault_Handler, /* BusFault */
    (uintptr_t)Fault_Handler, /* UsageFault */
    0, 0, 0, 0,
    (uintptr_t)Fault_Handler, /* SVCall */
    (uintptr_t)Fault_Handler, /* DebugMonitor */
    0,
    (uintptr_t)Fault_Handler, /* PendSV */
    (uintptr_t)Fault_Handler, /* SysTick */
};

void Reset_Handler(void) {
    const uint32_t* from = &__data_load;
    for (uint32_t* to = &__data_start; to < &__data_end;) *to++ = *from++;
    _start();
    for (;;) {
    }
}

void Fault_Handler(void) {
    for (;;) {
    }
}
