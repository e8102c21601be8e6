// The system control space at 0xE000E000: CPUID, VTOR, AIRCR, the system
// handler priorities and enables, the fault status and address registers,
// DFSR and the core debug registers. Other SCS locations read as zero and
// ignore writes.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <utility>

#include "config.h"
#include "target/bus.h"
#include "target/core.h"
#include "target/core_debug.h"
#include "target/registers.h"

namespace cm3sim {

class SystemControlSpace : public WordRegisterDevice {
public:
    using ResetRequest = std::function<void(ResetKind)>;

    SystemControlSpace(const SimConfig& config, CoreDebug& debug, Core& core, ResetRequest requestReset)
        : config_(config), debug_(debug), core_(core), requestReset_(std::move(requestReset)) {}

    // Every reset returns VTOR, PRIGROUP, the handler priorities and enables
    // and the fault status to zero.
    void reset();
    // Fault status the core reports; CFSR and HFSR bits accumulate until
    // software writes them as ones.
    void recordFault(const FaultRecord& record);

protected:
    BusRead readRegister(uint32_t wordOffset, uint32_t lanes) override;
    bool writeRegister(uint32_t wordOffset, uint32_t value) override;
    bool writeLanes(uint32_t wordOffset, uint32_t lanes, uint32_t value) override;

private:
    void writeAircr(uint32_t value);

    const SimConfig& config_;
    CoreDebug& debug_;
    Core& core_;
    ResetRequest requestReset_;
    uint32_t shcsrRead() const;

    uint32_t vtor_ = 0;
    uint32_t priGroup_ = 0;
    std::array<uint32_t, shpr::kRegisters> shpr_{};
    uint32_t shcsrEnables_ = 0;
    uint32_t cfsr_ = 0;
    uint32_t hfsr_ = 0;
    uint32_t mmfar_ = 0;
    uint32_t bfar_ = 0;
};

}  // namespace cm3sim
