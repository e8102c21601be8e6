#include "target.h"

#include "common/run_control.h"
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
        // C_STEP and C_MASKINTS clear; the state read after it tells the
        // library the core runs, so its next halt is really sent.
        uint32_t state = 0;
        return run_control::Release(0, &state);
    }
    DebugResult step(uint32_t dhcsr) override {
        // Without the export's own state read before it; the polls after it
        // refresh the library's cached state, as DebugStepCore's do.
        uint32_t state = 0;
        DebugResult result =
            run_control::Release(dhcsr::kCStep | (dhcsr & (dhcsr::kCMaskInts | dhcsr::kCSnapStall)), &state);
        if (result == DBG_OK && !run_control::HaltedOrLockedUp(state)) {
            result = run_control::AwaitHaltOrLockup(kStepPolls - 1, &state);
        }
        if (result != DBG_OK) return result;
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
