// Copies of flash and SRAM for Unicorn to fetch instructions from: Unicorn
// executes only from memory it maps as RAM, while the AHB-AP and the flash
// controller change the bus's own flash and SRAM. Loads and stores keep the
// bus authoritative (a hook pulls the bytes of a load from the bus first and
// pushes a store to it), so only instruction fetches can see a stale copy:
// the core verifies a page against the bus the first time it fetches from
// it in each run, and drops the page's translations when it changed.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "config.h"
#include "target/bus.h"

namespace cm3sim {

class ShadowMemory {
public:
    struct Region {
        uint32_t base = 0;            // page aligned
        std::vector<uint8_t> bytes;   // whole pages
        std::vector<bool> verified;   // per page: matched the bus since the last forgetVerified()
    };
    struct Range {
        uint32_t begin;
        uint32_t end;
    };

    ShadowMemory(const SimConfig& config, Bus& bus) : config_(config), bus_(bus) {}
    // Unicorn's page: the unit of mapping and of stale translations.
    void setPageSize(uint32_t pageSize) { pageSize_ = pageSize; }

    // A copy of `range` widened to whole pages. The storage never moves.
    Region& add(AddressRange range);
    void removeLast() { regions_.pop_back(); }

    // Bus to copy, for a load of `size` bytes; false on a bus error.
    bool pull(uint32_t address, uint32_t size);
    // A store of the CPU: to the bus (Unicorn writes the copy itself).
    bool push(uint32_t address, uint32_t size, uint64_t value) const;
    // A store the core made on the bus itself (an exception frame).
    void mirror(uint32_t address, uint32_t size, uint64_t value);

    std::optional<uint16_t> halfword(uint32_t address) const;
    // The page holding `address` is checked against the bus once per
    // forgetVerified(); returns the page when its bytes changed.
    std::optional<Range> verify(uint32_t address);
    void forgetVerified();

private:
    Region* find(uint32_t address, uint32_t size);
    const Region* find(uint32_t address, uint32_t size) const;
    bool readSensitive(uint32_t address) const;
    bool refreshPage(Region& region, uint32_t page);

    const SimConfig& config_;
    Bus& bus_;
    uint32_t pageSize_ = 1;
    std::vector<Region> regions_;
};

}  // namespace cm3sim
