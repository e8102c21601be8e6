// Hand-driven AHB-AP traffic for the target tests: every access is an
// apRead/apWrite as a debug port would issue it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "ap/ahb_ap.h"
#include "config.h"
#include "target/cortex_m3_target.h"
#include "target/registers.h"

namespace cm3sim::testing {

inline constexpr uint32_t kSramBase = 0x20000000;
inline constexpr uint32_t kInitialSp = 0x20010000;
inline constexpr uint32_t kEntryPoint = 0x00000100;
inline constexpr uint32_t kThumb = 1;

class ApDriver {
public:
    explicit ApDriver(TargetSystem& target) : target_(target) {}

    ApResponse read(uint8_t reg) { return target_.apRead(ap_reg::kAhbApSel, reg); }
    ApResponse write(uint8_t reg, uint32_t value) { return target_.apWrite(ap_reg::kAhbApSel, reg, value); }
    void setCsw(uint32_t size, uint32_t increment = csw::kAddrIncOff) {
        write(ap_reg::kCsw, csw::Value(size, increment));
    }
    void setTar(uint32_t address) { write(ap_reg::kTar, address); }
    uint32_t tar() { return read(ap_reg::kTar).value; }

    ApResponse readWord(uint32_t address) {
        setCsw(csw::kSize32);
        setTar(address);
        return read(ap_reg::kDrw);
    }
    ApResponse writeWord(uint32_t address, uint32_t value) {
        setCsw(csw::kSize32);
        setTar(address);
        return write(ap_reg::kDrw, value);
    }
    // Accesses that must succeed.
    uint32_t peek(uint32_t address) {
        const ApResponse response = readWord(address);
        EXPECT_FALSE(response.error) << "read of 0x" << std::hex << address;
        return response.value;
    }
    void poke(uint32_t address, uint32_t value) {
        EXPECT_FALSE(writeWord(address, value).error) << "write of 0x" << std::hex << address;
    }

private:
    TargetSystem& target_;
};

// A target with debug power up; `withFirmware` gives flash a usable vector table.
class TargetFixture : public ::testing::Test {
public:
    void build(bool withFirmware = true) {
        target = std::make_unique<CortexM3Target>(config);
        if (withFirmware) {
            target->poke32(core_reset::kInitialSpAddress, kInitialSp);
            target->poke32(core_reset::kResetVectorAddress, kEntryPoint | kThumb);
            target->powerOnReset();
        }
        target->setDebugPower(true, true);
        ap = std::make_unique<ApDriver>(*target);
        settle();
    }
    // Lets any reset run out.
    void settle() { target->advance(config.resetDurationNs); }
    uint32_t dhcsr() { return ap->peek(dhcsr::kAddress); }
    void writeDhcsr(uint32_t controlBits) { ap->poke(dhcsr::kAddress, dhcsr::Write(controlBits)); }
    void halt() { writeDhcsr(dhcsr::kCDebugEn | dhcsr::kCHalt); }

    SimConfig config;
    std::unique_ptr<CortexM3Target> target;
    std::unique_ptr<ApDriver> ap;
};

}  // namespace cm3sim::testing
