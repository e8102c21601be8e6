// CPU accesses of any size and alignment carried out as the naturally aligned
// transfers the bus takes (Cortex-M3 splits unaligned accesses the same way).
#pragma once

#include <cstdint>
#include <optional>

#include "target/bus.h"

namespace cm3sim {

inline constexpr uint32_t kMaxCpuAccessBytes = 8;  // LDRD/STRD as one access

// Little-endian value of `size` bytes at `address`; nullopt on a bus error.
std::optional<uint64_t> ReadBus(Bus& bus, uint32_t address, uint32_t size);
// false on a bus error; the pieces before the failing one are written.
bool WriteBus(Bus& bus, uint32_t address, uint32_t size, uint64_t value);

}  // namespace cm3sim
