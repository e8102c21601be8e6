// What the server asks of the target: the exports it uses, and flash
// programming on top of them. The library stands behind it in the server;
// tests put a fake in its place.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "cm3probe.h"
#include "common/flash.h"

namespace cm3tools::gdb {

class Target {
public:
    virtual ~Target() = default;

    // Blocks of at most 4096 bytes, any alignment.
    virtual DebugResult readMemory(uint32_t address, uint8_t* buffer, uint32_t count) = 0;
    virtual DebugResult writeMemory(uint32_t address, const uint8_t* data, uint32_t count) = 0;

    // One aligned word, as the system registers (DWT, DFSR) want it.
    virtual DebugResult readWord(uint32_t address, uint32_t* value) = 0;
    virtual DebugResult writeWord(uint32_t address, uint32_t value) = 0;

    // DHCSR, read now (it also refreshes the library's cached halted state).
    virtual DebugResult coreState(uint32_t* dhcsr) = 0;
    virtual DebugResult halt() = 0;
    virtual DebugResult resume() = 0;
    // One instruction; `dhcsr` is the state read just before (its C_MASKINTS
    // and C_SNAPSTALL carry over).
    virtual DebugResult step(uint32_t dhcsr) = 0;
    // Halts at the reset vector.
    virtual DebugResult systemReset() = 0;
    // Pulses the reset line and initialises the connection again.
    virtual DebugResult hardwareReset() = 0;

    virtual DebugResult readRegister(uint32_t selector, uint32_t* value) = 0;
    virtual DebugResult writeRegister(uint32_t selector, uint32_t value) = 0;

    virtual DebugResult setBreakpoint(uint32_t address) = 0;
    virtual DebugResult clearBreakpoint(uint32_t address) = 0;

    virtual flash::Status eraseFlash(uint32_t address, uint32_t length) = 0;
    virtual flash::Status programFlash(uint32_t address, std::span<const uint8_t> bytes) = 0;
    virtual flash::Status verifyFlash(uint32_t address, std::span<const uint8_t> bytes) = 0;
};

// The library's exports on the connection the caller opened; `batched` is
// DebugInit's argument after a hardware reset.
std::unique_ptr<Target> LibraryTarget(bool batched);

}  // namespace cm3tools::gdb
