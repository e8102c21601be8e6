#include "cpu/shadow_memory.h"

#include "cpu/bus_access.h"
#include "target/registers.h"

namespace cm3sim {

namespace {

constexpr uint32_t kBitsPerByte = 8;
constexpr uint32_t kHalfwordBytes = 2;
constexpr uint32_t kWordBytes = 4;
constexpr uint8_t kByteMask = 0xFF;

uint64_t AlignDown(uint64_t value, uint32_t alignment) { return value / alignment * alignment; }
uint64_t AlignUp(uint64_t value, uint32_t alignment) { return AlignDown(value + alignment - 1, alignment); }

}  // namespace

ShadowMemory::Region& ShadowMemory::add(AddressRange range) {
    const uint64_t begin = AlignDown(range.base, pageSize_);
    const uint64_t end = AlignUp(uint64_t{range.base} + range.size, pageSize_);
    Region region;
    region.base = static_cast<uint32_t>(begin);
    region.bytes.assign(end - begin, memory_map::kErasedByte);
    region.verified.assign((end - begin) / pageSize_, false);
    return regions_.emplace_back(std::move(region));
}

ShadowMemory::Region* ShadowMemory::find(uint32_t address, uint32_t size) {
    for (Region& region : regions_) {
        if (address >= region.base && uint64_t{address} - region.base + size <= region.bytes.size()) return &region;
    }
    return nullptr;
}

const ShadowMemory::Region* ShadowMemory::find(uint32_t address, uint32_t size) const {
    return const_cast<ShadowMemory*>(this)->find(address, size);
}

bool ShadowMemory::pull(uint32_t address, uint32_t size) {
    const std::optional<uint64_t> value = ReadBus(bus_, address, size);
    if (!value) return false;
    mirror(address, size, *value);
    return true;
}

bool ShadowMemory::push(uint32_t address, uint32_t size, uint64_t value) const {
    return WriteBus(bus_, address, size, value);
}

void ShadowMemory::mirror(uint32_t address, uint32_t size, uint64_t value) {
    Region* region = find(address, size);
    if (region == nullptr) return;
    for (uint32_t i = 0; i < size; ++i) {
        region->bytes[address - region->base + i] = static_cast<uint8_t>((value >> (kBitsPerByte * i)) & kByteMask);
    }
}

std::optional<uint16_t> ShadowMemory::halfword(uint32_t address) const {
    const Region* region = find(address, kHalfwordBytes);
    if (region == nullptr) return std::nullopt;
    const uint32_t offset = address - region->base;
    return static_cast<uint16_t>(region->bytes[offset] | region->bytes[offset + 1] << kBitsPerByte);
}

bool ShadowMemory::readSensitive(uint32_t address) const {
    if (!config_.readSensitiveRegister) return false;
    const uint64_t reg = *config_.readSensitiveRegister;
    return reg < uint64_t{address} + kWordBytes && address < reg + kWordBytes;
}

bool ShadowMemory::refreshPage(Region& region, uint32_t page) {
    bool changed = false;
    const uint32_t first = page * pageSize_;
    for (uint32_t offset = first; offset < first + pageSize_; offset += kWordBytes) {
        // A refresh is no CPU read: it leaves the read-sensitive word alone.
        // Words the bus refuses (padding past the region, error regions) keep
        // what they hold.
        if (readSensitive(region.base + offset)) continue;
        const BusRead word = bus_.read(region.base + offset, AccessSize::Word);
        if (word.error) continue;
        for (uint32_t i = 0; i < kWordBytes; ++i) {
            const auto byte = static_cast<uint8_t>((word.value >> (kBitsPerByte * i)) & kByteMask);
            if (region.bytes[offset + i] != byte) {
                region.bytes[offset + i] = byte;
                changed = true;
            }
        }
    }
    return changed;
}

std::optional<ShadowMemory::Range> ShadowMemory::verify(uint32_t address) {
    Region* region = find(address, 1);
    if (region == nullptr) return std::nullopt;
    const uint32_t page = (address - region->base) / pageSize_;
    if (region->verified[page]) return std::nullopt;
    region->verified[page] = true;
    if (!refreshPage(*region, page)) return std::nullopt;
    const uint32_t begin = region->base + page * pageSize_;
    return Range{begin, begin + pageSize_};
}

void ShadowMemory::forgetVerified() {
    for (Region& region : regions_) region.verified.assign(region.verified.size(), false);
}

}  // namespace cm3sim
