// Flash Patch and Breakpoint unit: six instruction and two literal comparators.
#pragma once

#include <array>
#include <cstdint>

#include "target/bus.h"
#include "target/registers.h"

namespace cm3sim {

enum class FpbMatch { None, Breakpoint, Remap };

class Fpb : public WordRegisterDevice {
public:
    // What an instruction fetch of the halfword at `address` hits. Only the
    // Code region is compared.
    FpbMatch matchInstruction(uint32_t address) const;
    bool enabled() const { return enabled_; }
    uint32_t comparator(uint32_t index) const { return comparators_[index]; }
    uint32_t remap() const { return remap_; }

    void reset();  // power-on only: the FPB belongs to the debug domain

protected:
    BusRead readRegister(uint32_t wordOffset, uint32_t lanes) override;
    bool writeRegister(uint32_t wordOffset, uint32_t value) override;

private:
    bool enabled_ = false;
    uint32_t remap_ = 0;
    std::array<uint32_t, fpb::kNumComparators> comparators_{};
};

}  // namespace cm3sim
