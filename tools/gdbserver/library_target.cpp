#include "target.h"

#include "common/target_registers.h"

namespace cm3tools::gdb {
namespace {

inline constexpr uint32_t kWordSize = 2;  // DebugReadMem/DebugWriteMem size code
// State reads a step waits for its halt, as many as DebugStepCore makes.
inline constexpr uint32_t kStepPolls = 1001;

class Library final : public Target {
public:
    explicit Library(bool batched) : batched_(batched) {}

    DebugResult readMemory(uint32_t address, uint8_t* buffer, uint32_t count) override {
        return DebugReadBlock(address, buffer, count);
    }
    DebugResult writeMemory(uint32_t address, const uint8_t* data, uint32_t count) override {
        return DebugWriteBlock(address, data, count);
    }
    DebugResult readWord(uint32_t address, uint32_t* value) override {
        return DebugReadMem(address, value, kWordSize);
    }
    DebugResult writeWord(uint32_t address, uint32_t value) override {
        return DebugWriteMem(address, value, kWordSize);
    }
    DebugResult coreState(uint32_t* dhcsr) override { return DebugGetCoreState(dhcsr); }
    DebugResult halt() override { return DebugHaltCore(); }
    DebugResult resume() override {
        // DHCSR with the key and C_DEBUGEN alone lets the core run (C_HALT,
        // C_STEP and C_MASKINTS clear) without the export's fixed pause. The
        // state read right after tells the library the core runs, so its next
        // halt is really sent.
        const DebugResult write = DebugWriteMem(dhcsr::kAddress, dhcsr::kDebugKey | dhcsr::kCDebugEn, kWordSize);
        uint32_t state = 0;
        const DebugResult refresh = DebugGetCoreState(&state);
        return write != DBG_OK ? write : refresh;
    }
    DebugResult step(uint32_t dhcsr) override {
        // DHCSR with C_STEP set and C_HALT clear steps one instruction without
        // the export's own state read before it; the polls after it refresh
        // the library's cached state, as DebugStepCore's do.
        const uint32_t carried = dhcsr & (dhcsr::kCMaskInts | dhcsr::kCSnapStall);
        const uint32_t stepping = dhcsr::kDebugKey | dhcsr::kCDebugEn | dhcsr::kCStep | carried;
        const DebugResult write = DebugWriteMem(dhcsr::kAddress, stepping, kWordSize);
        uint32_t state = 0;
        DebugResult read = DBG_OK;
        for (uint32_t poll = 0; poll < kStepPolls; ++poll) {
            read = DebugGetCoreState(&state);
            if (read != DBG_OK || (state & (dhcsr::kSHalt | dhcsr::kSLockup)) != 0) break;
        }
        if (write != DBG_OK) return write;
        if (read != DBG_OK) return read;
        return (state & dhcsr::kSHalt) != 0 ? DBG_OK : DBG_NOT_HALTED;
    }
    DebugResult systemReset() override { return DebugSystemReset(); }
    DebugResult hardwareReset() override {
        const DebugResult reset = DebugHardwareReset();
        if (reset != DBG_OK) return reset;
        // The reset line ends the library's initialisation.
        return DebugInit(batched_ ? 1 : 0);
    }
    DebugResult readRegister(uint32_t selector, uint32_t* value) override {
        return DebugReadCoreRegister(selector, value);
    }
    DebugResult writeRegister(uint32_t selector, uint32_t value) override {
        return DebugWriteCoreRegister(selector, value);
    }
    DebugResult setBreakpoint(uint32_t address) override { return DebugSetBreakpoint(address); }
    DebugResult clearBreakpoint(uint32_t address) override { return DebugClearBreakpoint(address); }
    flash::Status eraseFlash(uint32_t address, uint32_t length) override { return flash::Erase(address, length); }
    flash::Status programFlash(uint32_t address, std::span<const uint8_t> bytes) override {
        return flash::Program(address, bytes);
    }
    flash::Status verifyFlash(uint32_t address, std::span<const uint8_t> bytes) override {
        return flash::Verify(address, bytes);
    }

private:
    bool batched_;
};

}  // namespace

std::unique_ptr<Target> LibraryTarget(bool batched) {
    return std::make_unique<Library>(batched);
}

}  // namespace cm3tools::gdb
