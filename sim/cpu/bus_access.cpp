#include "cpu/bus_access.h"

namespace cm3sim {

namespace {

constexpr uint32_t kBitsPerByte = 8;

// The largest transfer that starts at `address` and fits in `remaining`.
AccessSize Piece(uint32_t address, uint32_t remaining) {
    for (AccessSize size : {AccessSize::Word, AccessSize::Halfword}) {
        const uint32_t bytes = BytesOf(size);
        if (address % bytes == 0 && remaining >= bytes) return size;
    }
    return AccessSize::Byte;
}

}  // namespace

std::optional<uint64_t> ReadBus(Bus& bus, uint32_t address, uint32_t size) {
    uint64_t value = 0;
    for (uint32_t offset = 0; offset < size;) {
        const AccessSize piece = Piece(address + offset, size - offset);
        const BusRead read = bus.read(address + offset, piece);
        if (read.error) return std::nullopt;
        value |= uint64_t{read.value} << (kBitsPerByte * offset);
        offset += BytesOf(piece);
    }
    return value;
}

bool WriteBus(Bus& bus, uint32_t address, uint32_t size, uint64_t value) {
    for (uint32_t offset = 0; offset < size;) {
        const AccessSize piece = Piece(address + offset, size - offset);
        const auto data = static_cast<uint32_t>(value >> (kBitsPerByte * offset)) & ValueMask(piece);
        if (!bus.write(address + offset, piece, data)) return false;
        offset += BytesOf(piece);
    }
    return true;
}

}  // namespace cm3sim
