/* Firmware that faults on purpose, one way per FaultKind (fault_kinds.h).
   Every exception has a handler of its own that loops on its first
   instruction, so a debugger tells which one ran from IPSR and PC. Nothing
   initialises SRAM: the loader zeroes .bss and the debugger's fault_kind
   survives a reset. */
#include <stdint.h>

#include "fault_kinds.h"

extern uint32_t _stack_top;

volatile uint32_t fault_kind;
/* The watched loop reads word 1 and writes word 2; words 0 and 3 are never touched. */
volatile uint32_t watched[4] __attribute__((aligned(16)));

#define HANDLER(name) \
    __attribute__((naked, noinline)) void name(void) { __asm volatile("b ."); }
HANDLER(NMI_Handler)
HANDLER(HardFault_Handler)
HANDLER(MemManage_Handler)
HANDLER(BusFault_Handler)
HANDLER(UsageFault_Handler)
HANDLER(SVC_Handler)
HANDLER(DebugMon_Handler)
HANDLER(PendSV_Handler)
HANDLER(SysTick_Handler)

void Reset_Handler(void);

__attribute__((section(".vectors"), used)) const uintptr_t vector_table[16] = {
    (uintptr_t)&_stack_top,      (uintptr_t)Reset_Handler,     (uintptr_t)NMI_Handler,
    (uintptr_t)HardFault_Handler, (uintptr_t)MemManage_Handler, (uintptr_t)BusFault_Handler,
    (uintptr_t)UsageFault_Handler, 0, 0, 0, 0,
    (uintptr_t)SVC_Handler,       (uintptr_t)DebugMon_Handler,  0,
    (uintptr_t)PendSV_Handler,    (uintptr_t)SysTick_Handler,
};

/* Labels mark the instructions a test watches and where the core stops after them. */
__attribute__((naked, noinline)) static void watch_loop(void) {
    __asm volatile(
        "    ldr r0, =watched\n"
        "1:\n"
        "    .global watch_pc\n"
        "watch_pc:\n"
        "    adds r2, r2, #1\n"
        "    .global watch_load\n"
        "watch_load:\n"
        "    ldr r1, [r0, #4]\n"
        "    .global after_load\n"
        "after_load:\n"
        "    adds r1, r1, #1\n"
        "    str r1, [r0, #8]\n"
        "    .global after_store\n"
        "after_store:\n"
        "    b 1b\n"
        "    .ltorg\n");
}

static void call(uintptr_t address) {
    void (*volatile target)(void) = (void (*)(void))address;
    target();
}

static void even_target(void) {}

int main(void) {
    switch (fault_kind) {
    case FAULT_KIND_BUS_LOAD: (void)*(volatile uint32_t*)FAULT_NOTHING_THERE; break;
    case FAULT_KIND_UNDEFINED: __asm volatile(".short 0xde00"); break;
    case FAULT_KIND_INVALID_STATE: call((uintptr_t)even_target & ~(uintptr_t)1); break;
    case FAULT_KIND_NO_COPROCESSOR: __asm volatile(".short 0xee00, 0x0a10"); break; /* vmov s0, r0 */
    case FAULT_KIND_UNALIGNED: __asm volatile("ldm %0, {r2, r3}" ::"r"((uintptr_t)watched + 1) : "r2", "r3"); break;
    case FAULT_KIND_EXECUTE_NEVER: call(FAULT_PERIPHERAL_CODE | 1u); break;
    case FAULT_KIND_STACKING:
        __asm volatile("msr msp, %0\n .short 0xde00" ::"r"(FAULT_NOTHING_THERE + 0x100u));
        break;
    case FAULT_KIND_SYSTEM_RESET: *(volatile uint32_t*)0xE000ED0Cu = 0x05FA0004u; break;
    case FAULT_KIND_WATCH: watch_loop(); break;
    default: break;
    }
    for (;;) {
    }
}

void Reset_Handler(void) {
    main();
    for (;;) {
    }
}
