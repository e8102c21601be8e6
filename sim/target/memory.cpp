#include "target/memory.h"

#include <algorithm>

#include "target/registers.h"

namespace cm3sim {

namespace {
constexpr uint32_t kBitsPerByte = 8;
constexpr uint32_t kByteMask = 0xFF;
constexpr uint32_t kWordBytes = 4;
}  // namespace

MemoryBlock::MemoryBlock(AddressRange range, uint8_t fill, bool busWritable)
    : range_(range), bytes_(range.size, fill), busWritable_(busWritable) {}

bool MemoryBlock::contains(uint32_t address, uint64_t length) const {
    if (!range_.contains(address)) return length == 0 && address == range_.base;
    return uint64_t{address - range_.base} + length <= range_.size;
}

BusRead MemoryBlock::read(uint32_t offset, AccessSize size) {
    uint32_t value = 0;
    for (uint32_t i = BytesOf(size); i-- > 0;) value = value << kBitsPerByte | bytes_[offset + i];
    return {value, false};
}

bool MemoryBlock::write(uint32_t offset, AccessSize size, uint32_t value) {
    if (!busWritable_) return false;
    for (uint32_t i = 0; i < BytesOf(size); ++i) bytes_[offset + i] = uint8_t(value >> (kBitsPerByte * i));
    return true;
}

uint32_t MemoryBlock::wordAt(uint32_t address) const {
    uint32_t value = 0;
    for (uint32_t i = kWordBytes; i-- > 0;) value = value << kBitsPerByte | byteAt(address + i);
    return value;
}

void MemoryBlock::setWord(uint32_t address, uint32_t value) {
    for (uint32_t i = 0; i < kWordBytes; ++i) setByte(address + i, uint8_t((value >> (kBitsPerByte * i)) & kByteMask));
}

void MemoryBlock::fill(uint32_t address, uint32_t length, uint8_t value) {
    const auto first = bytes_.begin() + (address - range_.base);
    std::fill(first, first + length, value);
}

void MemoryBlock::fillAll(uint8_t value) { std::fill(bytes_.begin(), bytes_.end(), value); }

namespace {

struct BitAddress {
    uint32_t byteAddress;
    uint32_t bit;
};

BitAddress AliasTarget(uint32_t aliasOffset) {
    const uint32_t bitIndex = aliasOffset / memory_map::kAliasBytesPerBit;
    return {memory_map::kBitBandRegionBase + bitIndex / memory_map::kBitsPerByte,
            bitIndex % memory_map::kBitsPerByte};
}

}  // namespace

// Only the part of the bit-band region that has SRAM behind it answers.
BusRead BitBandAlias::read(uint32_t offset, AccessSize) {
    const BitAddress target = AliasTarget(offset);
    if (!sram_.contains(target.byteAddress, 1)) return {0, true};
    return {uint32_t(sram_.byteAt(target.byteAddress) >> target.bit) & 1u, false};
}

bool BitBandAlias::write(uint32_t offset, AccessSize, uint32_t value) {
    const BitAddress target = AliasTarget(offset);
    if (!sram_.contains(target.byteAddress, 1)) return false;
    const uint8_t mask = uint8_t(1u << target.bit);
    const uint8_t old = sram_.byteAt(target.byteAddress);
    sram_.setByte(target.byteAddress, (value & 1u) ? uint8_t(old | mask) : uint8_t(old & ~mask));
    return true;
}

}  // namespace cm3sim
