/* What the fault firmware's main() does, chosen by the word `fault_kind` a
   debugger writes before the core runs. Shared with the simulator's tests. */
#ifndef CM3PROBE_FAULT_KINDS_H
#define CM3PROBE_FAULT_KINDS_H

enum FaultKind {
    FAULT_KIND_IDLE = 0,             /* loops in main */
    FAULT_KIND_BUS_LOAD = 1,         /* loads from an address nothing answers */
    FAULT_KIND_UNDEFINED = 2,        /* UDF */
    FAULT_KIND_INVALID_STATE = 3,    /* BX to an address without the Thumb bit */
    FAULT_KIND_NO_COPROCESSOR = 4,   /* a floating-point instruction on a core without one */
    FAULT_KIND_UNALIGNED = 5,        /* LDM from an unaligned address */
    FAULT_KIND_EXECUTE_NEVER = 6,    /* a call into the peripheral region */
    FAULT_KIND_STACKING = 7,         /* UDF with MSP where nothing answers */
    FAULT_KIND_SYSTEM_RESET = 8,     /* asks for a system reset through AIRCR */
    FAULT_KIND_WATCH = 9             /* the watched loop: reads watched[1], writes watched[2] */
};

/* In the SRAM region, past the SRAM: nothing answers here. */
#define FAULT_NOTHING_THERE 0x30000000u
/* The start of the peripheral region, which never executes. */
#define FAULT_PERIPHERAL_CODE 0x40000000u

#endif
