// What the server tells GDB about the target: its registers (the target
// description) and its memory (the memory map).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/core_registers.h"
#include "common/target_registers.h"

namespace cm3tools::gdb {

// The default target's memory; GDB programs the flash through vFlash packets.
namespace target_memory {
inline constexpr uint32_t kFlashSize = 256 * 1024;
inline constexpr uint32_t kSramSize = memory_map::kSramSize;
// Peripherals and the system region are listed as RAM so that GDB reads them.
inline constexpr uint32_t kPeripheralBase = 0x40000000;
inline constexpr uint32_t kPeripheralSize = 0x20000000;
inline constexpr uint32_t kSystemBase = 0xE0000000;
inline constexpr uint32_t kSystemSize = 0x20000000;
}  // namespace target_memory

struct GdbRegister {
    std::string_view name;
    uint32_t bits;
    std::string_view type;
    std::string_view group;
    std::string_view feature;
    CoreRegister core;  // how the library reaches it
    uint32_t bytes() const;
};

// Indexed by GDB register number: r0-r12, sp, lr, pc, xpsr (16), msp, psp,
// then primask, basepri, faultmask and control (19-22).
std::span<const GdbRegister> Registers();

// qXfer:features:read:target.xml
const std::string& TargetXml();
// qXfer:memory-map:read
const std::string& MemoryMapXml();

}  // namespace cm3tools::gdb
