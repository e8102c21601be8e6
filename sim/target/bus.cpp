#include "target/bus.h"

#include <stdexcept>

namespace cm3sim {

namespace {

constexpr uint32_t kWordBytes = 4;
constexpr uint32_t kWordAlignMask = ~(kWordBytes - 1);
constexpr uint32_t kBitsPerByte = 8;
constexpr uint32_t kReadSensitiveBytes = 4;

// Whether [address, address + bytes) and the range share a byte.
bool Overlaps(const AddressRange& range, uint32_t address, uint32_t bytes) {
    const uint64_t start = address;
    const uint64_t end = start + bytes;
    const uint64_t rangeStart = range.base;
    const uint64_t rangeEnd = rangeStart + range.size;
    return start < rangeEnd && rangeStart < end;
}

uint32_t LaneMask(uint32_t offset, AccessSize size) {
    const uint32_t first = offset & ~kWordAlignMask;
    return ((1u << BytesOf(size)) - 1) << first;
}

}  // namespace

BusRead WordRegisterDevice::read(uint32_t offset, AccessSize size) {
    const uint32_t wordOffset = offset & kWordAlignMask;
    BusRead word = readRegister(wordOffset, LaneMask(offset, size));
    word.value = (word.value >> (kBitsPerByte * (offset - wordOffset))) & ValueMask(size);
    return word;
}

bool WordRegisterDevice::write(uint32_t offset, AccessSize size, uint32_t value) {
    if (size == AccessSize::Word) return writeRegister(offset, value);
    const uint32_t wordOffset = offset & kWordAlignMask;
    return writeLanes(wordOffset, LaneMask(offset, size), value << (kBitsPerByte * (offset - wordOffset)));
}

Bus::Bus(const SimConfig& config) : config_(config) {}

void Bus::map(AddressRange range, BusDevice& device) {
    for (const Region& region : regions_) {
        if (Overlaps(region.range, range.base, range.size)) {
            throw std::logic_error("bus regions overlap");
        }
    }
    regions_.push_back({range, &device});
}

const Bus::Region* Bus::find(uint32_t address, AccessSize size) const {
    for (const Region& region : regions_) {
        if (!region.range.contains(address)) continue;
        const uint64_t end = uint64_t{address - region.range.base} + BytesOf(size);
        return end <= region.range.size ? &region : nullptr;
    }
    return nullptr;
}

bool Bus::inErrorRegion(uint32_t address, AccessSize size) const {
    for (const AddressRange& range : config_.ahbErrorRegions) {
        if (Overlaps(range, address, BytesOf(size))) return true;
    }
    return false;
}

bool Bus::hitsReadSensitive(uint32_t address, AccessSize size) const {
    return config_.readSensitiveRegister &&
           Overlaps({*config_.readSensitiveRegister, kReadSensitiveBytes}, address, BytesOf(size));
}

BusRead Bus::read(uint32_t address, AccessSize size) {
    if (inErrorRegion(address, size)) return {0, true};
    if (hitsReadSensitive(address, size)) {
        const uint32_t count = static_cast<uint32_t>(readSensitiveCount_++);
        const uint32_t shift = kBitsPerByte * ((address - *config_.readSensitiveRegister) & ~kWordAlignMask);
        return {(count >> shift) & ValueMask(size), false};
    }
    const Region* region = find(address, size);
    if (region == nullptr) return {0, true};
    return region->device->read(address - region->range.base, size);
}

bool Bus::write(uint32_t address, AccessSize size, uint32_t value) {
    if (inErrorRegion(address, size)) return false;
    if (hitsReadSensitive(address, size)) return true;  // writes leave the count alone
    const Region* region = find(address, size);
    if (region == nullptr) return false;
    return region->device->write(address - region->range.base, size, value & ValueMask(size));
}

}  // namespace cm3sim
