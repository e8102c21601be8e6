// A register-level core: a register file and a program that is one long
// branch-to-self. It retires instructions as time passes without moving PC,
// which is enough to exercise every debug register.
#pragma once

#include <array>
#include <cstdint>

#include "config.h"
#include "target/core.h"

namespace cm3sim {

class RegisterCore : public Core {
public:
    RegisterCore(const SimConfig& config, CoreHooks& hooks) : config_(config), hooks_(hooks) {}

    void reset() override;
    CoreRunResult run(uint64_t nanoseconds) override;
    CoreRunResult step() override;
    void halted() override { lockedUp_ = false; }
    bool lockedUp() const override { return lockedUp_; }
    bool sleeping() const override { return false; }
    void clearActiveExceptions() override;
    std::optional<uint32_t> readRegister(uint8_t regsel) const override;
    bool writeRegister(uint8_t regsel, uint32_t value) override;

private:
    static constexpr size_t kGeneralRegisters = 13;

    CoreRunResult execute(uint64_t instructions);
    void lockUp();
    bool usingProcessStack() const;

    const SimConfig& config_;
    CoreHooks& hooks_;
    std::array<uint32_t, kGeneralRegisters> r_{};
    uint32_t msp_ = 0;
    uint32_t psp_ = 0;
    uint32_t lr_ = 0;
    uint32_t pc_ = 0;
    uint32_t xpsr_ = 0;
    uint32_t special_ = 0;  // REGSEL 20 layout
    bool lockedUp_ = false;
    uint64_t carry_ = 0;  // instruction-nanoseconds not yet worth a whole instruction
};

}  // namespace cm3sim
