// The system control space at 0xE000E000: CPUID, VTOR, AIRCR, DFSR and the
// core debug registers. Other SCS locations read as zero and ignore writes.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>

#include "config.h"
#include "target/bus.h"
#include "target/core.h"
#include "target/core_debug.h"

namespace cm3sim {

class SystemControlSpace : public WordRegisterDevice {
public:
    using ResetRequest = std::function<void(ResetKind)>;

    SystemControlSpace(const SimConfig& config, CoreDebug& debug, Core& core, ResetRequest requestReset)
        : config_(config), debug_(debug), core_(core), requestReset_(std::move(requestReset)) {}

    // System and core resets return VTOR and PRIGROUP to zero.
    void reset();

protected:
    BusRead readRegister(uint32_t wordOffset, uint32_t lanes) override;
    bool writeRegister(uint32_t wordOffset, uint32_t value) override;

private:
    void writeAircr(uint32_t value);

    const SimConfig& config_;
    CoreDebug& debug_;
    Core& core_;
    ResetRequest requestReset_;
    uint32_t vtor_ = 0;
    uint32_t priGroup_ = 0;
};

}  // namespace cm3sim
