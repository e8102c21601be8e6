// The virtual Cortex-M3 board behind the debug port: AHB-AP, bus, memories,
// flash controller, debug components and the core.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "ap/ahb_ap.h"
#include "config.h"
#include "dp/access_port_bus.h"
#include "target/bus.h"
#include "target/core.h"
#include "target/core_debug.h"
#include "target/coresight.h"
#include "target/counters.h"
#include "target/flash_controller.h"
#include "target/fpb.h"
#include "target/memory.h"
#include "target/system_control.h"
#include "target/system_control_space.h"

namespace cm3sim {

class CortexM3Target : public TargetSystem, private CoreHooks {
public:
    // Builds the core that executes code; the default is the register-level model.
    using CoreFactory = std::function<std::unique_ptr<Core>(const SimConfig&, Bus&, CoreHooks&)>;

    // Loads the configured images, then takes a power-on reset. Throws
    // std::runtime_error for an image that cannot be loaded.
    explicit CortexM3Target(SimConfig& liveConfig, const CoreFactory& makeCore = {});
    ~CortexM3Target() override;
    CortexM3Target(const CortexM3Target&) = delete;
    CortexM3Target& operator=(const CortexM3Target&) = delete;

    // TargetSystem
    ApResponse apRead(uint8_t apsel, uint8_t address) override;
    ApResponse apWrite(uint8_t apsel, uint8_t address, uint32_t value) override;
    void setDebugPower(bool debugPowered, bool systemPowered) override;
    void advance(uint64_t nanoseconds) override;
    void setResetPin(bool asserted) override;

    // Direct memory access for tests: flash and SRAM only, past any error
    // region and the flash controller. Throws std::out_of_range elsewhere.
    uint8_t peek8(uint32_t address) const;
    uint32_t peek32(uint32_t address) const;
    std::vector<uint8_t> peekBytes(uint32_t address, uint32_t length) const;
    void poke8(uint32_t address, uint8_t value);
    void poke32(uint32_t address, uint32_t value);
    void pokeBytes(uint32_t address, std::span<const uint8_t> bytes);

    // A raw binary needs `address`; an ELF image is placed by its PT_LOAD
    // segments. Does not reset the core.
    void loadImage(const MemoryImage& image);

    void powerOnReset();

    // Observation
    const TargetCounters& counters() const { return counters_; }
    // Also restarts the AHB transfer index that sticky_error_at_ahb_access counts.
    void resetCounters() { counters_ = {}; }
    // Run-time injection: the AHB transfer `transfersToPass` from now answers
    // with an error (sticky_error_at_ahb_access, counted from the present).
    void armBusError(uint64_t transfersToPass) { config_.stickyErrorAtAhbAccess = counters_.ahbAccesses + transfersToPass; }
    bool busErrorArmed() const {
        return config_.stickyErrorAtAhbAccess && *config_.stickyErrorAtAhbAccess >= counters_.ahbAccesses;
    }
    const std::vector<AhbAccess>& ahbLog() const { return ap_.log(); }
    void clearAhbLog() { ap_.clearLog(); }
    uint64_t readSensitiveCount() const { return bus_.readSensitiveCount(); }
    uint64_t nowNs() const { return nowNs_; }
    bool halted() const { return debug_.halted(); }
    bool inReset() const { return debug_.inReset(); }
    bool lockedUp() const { return core_->lockedUp(); }
    uint64_t retiredInstructions() const { return debug_.retiredInstructions(); }
    uint32_t dhcsr() const { return debug_.peekDhcsr(); }
    uint32_t demcr() const { return debug_.demcr(); }
    uint32_t dfsr() const { return debug_.dfsr(); }
    std::optional<uint32_t> coreRegister(uint8_t regsel) const { return core_->readRegister(regsel); }
    bool setCoreRegister(uint8_t regsel, uint32_t value) { return core_->writeRegister(regsel, value); }
    const Fpb& fpb() const { return fpb_; }
    const Dwt& dwt() const { return dwt_; }
    bool flashBusy() const { return flashController_.busy(); }
    const FlashCounters& flashCounters() const { return flashController_.counters(); }

    // The bus a CPU model shares with the access port.
    Bus& bus() { return bus_; }

private:
    // CoreHooks
    bool breakpointAt(uint32_t address) override;
    bool executable(uint32_t address) override;
    std::optional<uint32_t> readVector(uint32_t address) override;
    DebugEvent watchInstruction(uint32_t address) override;
    DebugEvent watchData(uint32_t address, uint32_t size, bool write) override;
    void recordFault(const FaultRecord& record) override;
    bool dwtEnabled() const;
    DebugEvent watchEvent(bool matched);

    void reset(ResetKind kind);
    MemoryBlock& memoryFor(uint32_t address, uint64_t length);
    const MemoryBlock& memoryFor(uint32_t address, uint64_t length) const;

    SimConfig& config_;
    TargetCounters counters_;
    Bus bus_;
    MemoryBlock flash_;
    MemoryBlock sram_;
    BitBandAlias bitBand_;
    SystemControlBlock systemControl_;
    FlashController flashController_;
    RomTable romTable_;
    Dwt dwt_;
    Fpb fpb_;
    IdOnlyComponent itm_;
    IdOnlyComponent tpiu_;
    std::unique_ptr<Core> core_;
    CoreDebug debug_;
    SystemControlSpace scs_;
    AhbAp ap_;
    bool resetPinAsserted_ = false;
    uint64_t nowNs_ = 0;
};

}  // namespace cm3sim
