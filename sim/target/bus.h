// The target's AHB: one address space shared by the debug access port and,
// later, the CPU. Routes each access to the region that claims it.
#pragma once

#include <cstdint>
#include <vector>

#include "config.h"

namespace cm3sim {

enum class AccessSize : uint8_t { Byte = 1, Halfword = 2, Word = 4 };

constexpr uint32_t BytesOf(AccessSize size) { return static_cast<uint32_t>(size); }
constexpr uint32_t ValueMask(AccessSize size) {
    return size == AccessSize::Word ? 0xFFFFFFFFu : (1u << (8 * BytesOf(size))) - 1;
}

struct BusRead {
    uint32_t value = 0;  // right-aligned, `size` bytes
    bool error = false;
};

// A slave on the bus. Offsets are from the region base and naturally aligned.
class BusDevice {
public:
    virtual ~BusDevice() = default;
    virtual BusRead read(uint32_t offset, AccessSize size) = 0;
    // false: the slave answers with an error response and nothing changes.
    virtual bool write(uint32_t offset, AccessSize size, uint32_t value) = 0;
};

// Registers that only take word writes (sub-word writes answer an error, as
// this model's choice for what ARMv7-M leaves UNPREDICTABLE, unless the device
// takes them); sub-word reads return the addressed lanes of the word.
class WordRegisterDevice : public BusDevice {
public:
    BusRead read(uint32_t offset, AccessSize size) final;
    bool write(uint32_t offset, AccessSize size, uint32_t value) final;

protected:
    // `lanes` has bit n set when byte lane n is read.
    virtual BusRead readRegister(uint32_t wordOffset, uint32_t lanes) = 0;
    virtual bool writeRegister(uint32_t wordOffset, uint32_t value) = 0;
    // Registers ARMv7-M makes byte-accessible; `value` sits in its lanes.
    virtual bool writeLanes(uint32_t /*wordOffset*/, uint32_t /*lanes*/, uint32_t /*value*/) { return false; }
};

class Bus {
public:
    explicit Bus(const SimConfig& config);

    // Regions must not overlap; throws std::logic_error if they do.
    void map(AddressRange range, BusDevice& device);

    // `address` must be aligned to `size`.
    BusRead read(uint32_t address, AccessSize size);
    bool write(uint32_t address, AccessSize size, uint32_t value);

    uint64_t readSensitiveCount() const { return readSensitiveCount_; }
    void resetReadSensitiveCount() { readSensitiveCount_ = 0; }

private:
    struct Region {
        AddressRange range;
        BusDevice* device;
    };
    const Region* find(uint32_t address, AccessSize size) const;
    bool inErrorRegion(uint32_t address, AccessSize size) const;
    bool hitsReadSensitive(uint32_t address, AccessSize size) const;

    const SimConfig& config_;
    std::vector<Region> regions_;
    uint64_t readSensitiveCount_ = 0;
};

}  // namespace cm3sim
