// Flash and SRAM storage, the SRAM bit-band alias and the device
// identification words.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "config.h"
#include "target/bus.h"

namespace cm3sim {

// Little-endian byte storage. Flash refuses bus writes: only its controller
// (and the inspection API) change it.
class MemoryBlock : public BusDevice {
public:
    MemoryBlock(AddressRange range, uint8_t fill, bool busWritable);

    BusRead read(uint32_t offset, AccessSize size) override;
    bool write(uint32_t offset, AccessSize size, uint32_t value) override;

    const AddressRange& range() const { return range_; }
    bool contains(uint32_t address, uint64_t length) const;
    // Direct access by absolute address; the caller checks `contains`.
    uint8_t byteAt(uint32_t address) const { return bytes_[address - range_.base]; }
    void setByte(uint32_t address, uint8_t value) { bytes_[address - range_.base] = value; }
    uint32_t wordAt(uint32_t address) const;
    void setWord(uint32_t address, uint32_t value);
    void fill(uint32_t address, uint32_t length, uint8_t value);
    void fillAll(uint8_t value);

private:
    AddressRange range_;
    std::vector<uint8_t> bytes_;
    bool busWritable_;
};

// The SRAM bit-band alias: each word of the alias is one bit of the region.
class BitBandAlias : public BusDevice {
public:
    explicit BitBandAlias(MemoryBlock& sram) : sram_(sram) {}
    BusRead read(uint32_t offset, AccessSize size) override;
    bool write(uint32_t offset, AccessSize size, uint32_t value) override;

private:
    MemoryBlock& sram_;
};

}  // namespace cm3sim
