// A target in memory for the server's packet tests: flash and SRAM at the
// default places, core registers by REGSEL, six FPB slots, four DWT
// comparators, and run control that the test steers.
#pragma once

#include <array>
#include <atomic>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "common/target_registers.h"
#include "common/watchpoints.h"
#include "session.h"
#include "target.h"

namespace cm3test {

class FakeTarget : public cm3tools::gdb::Target {
public:
    static constexpr uint32_t kFlashSize = 256 * 1024;
    static constexpr uint32_t kSramBase = 0x20000000;
    static constexpr uint32_t kSramSize = 64 * 1024;
    static constexpr size_t kBreakpointSlots = 6;
    static constexpr size_t kRegisterSelectors = 21;
    static constexpr uint8_t kErased = 0xFF;
    static constexpr uint32_t kComparators = 4;
    static constexpr uint32_t kMaskBits = 0xF;  // MASK implemented up to 15

    FakeTarget() : flash(kFlashSize, kErased), sram(kSramSize, 0) {}

    // --- what the test sets and reads
    std::vector<uint8_t> flash;
    std::vector<uint8_t> sram;
    std::array<uint32_t, kRegisterSelectors> registers{};
    std::atomic<bool> halted{true};
    std::atomic<bool> stopRequested{false};  // a running core halts at its next state read
    std::atomic<int> halts{0};
    std::atomic<int> resumes{0};
    int steps = 0;
    int registerReads = 0;
    int systemResets = 0;
    int hardwareResets = 0;
    std::set<uint32_t> fpb;
    std::vector<uint32_t> readSizes;
    std::vector<uint32_t> writeSizes;
    // System registers by address (DWT, DEMCR, DFSR); absent ones read 0.
    std::map<uint32_t, uint32_t> words{{cm3tools::dwt::kCtrl, kComparators << cm3tools::dwt::kNumCompShift}};
    std::vector<std::pair<uint32_t, uint32_t>> erased;
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> programmed;
    int verifications = 0;
    bool failVerify = false;
    bool failResets = false;

    // --- Target
    DebugResult readMemory(uint32_t address, uint8_t* buffer, uint32_t count) override {
        if (count > cm3tools::gdb::kBlockSize) return DBG_BAD_PARAMETER;
        readSizes.push_back(count);
        for (uint32_t i = 0; i < count; ++i) {
            uint8_t* cell = at(address + i);
            if (cell == nullptr) return DBG_STICKY_ERROR;
            buffer[i] = *cell;
        }
        return DBG_OK;
    }
    DebugResult writeMemory(uint32_t address, const uint8_t* data, uint32_t count) override {
        if (count > cm3tools::gdb::kBlockSize) return DBG_BAD_PARAMETER;
        writeSizes.push_back(count);
        for (uint32_t i = 0; i < count; ++i) {
            uint8_t* cell = at(address + i);
            // Flash ignores plain writes, as the real controller does.
            if (cell == nullptr) return DBG_STICKY_ERROR;
            if (address + i >= kSramBase) *cell = data[i];
        }
        return DBG_OK;
    }
    DebugResult readWord(uint32_t address, uint32_t* value) override {
        if (address < kSystemBase) return readMemory(address, reinterpret_cast<uint8_t*>(value), sizeof(*value));
        *value = words[address];
        if (IsDwtFunction(address)) words[address] &= ~cm3tools::dwt::kMatched;  // cleared by the read
        return DBG_OK;
    }
    DebugResult writeWord(uint32_t address, uint32_t value) override {
        if (address < kSystemBase) return writeMemory(address, reinterpret_cast<const uint8_t*>(&value), sizeof(value));
        if (address == cm3tools::dfsr::kAddress) {
            words[address] &= ~value;  // write ones to clear
        } else if (IsDwtMask(address)) {
            words[address] = value & kMaskBits;
        } else {
            words[address] = value;
        }
        return DBG_OK;
    }
    DebugResult coreState(uint32_t* dhcsr) override {
        if (!halted && stopRequested.exchange(false)) halted = true;
        *dhcsr = cm3tools::dhcsr::kCDebugEn | (halted ? cm3tools::dhcsr::kSHalt | cm3tools::dhcsr::kCHalt : 0);
        return DBG_OK;
    }
    DebugResult halt() override {
        ++halts;
        halted = true;
        return DBG_OK;
    }
    DebugResult resume() override {
        ++resumes;
        halted = false;
        return DBG_OK;
    }
    DebugResult step(uint32_t) override {
        if (!halted) return DBG_NOT_HALTED;
        ++steps;
        registers[cm3tools::regsel::kPc] += 2;
        return DBG_OK;
    }
    DebugResult systemReset() override {
        if (failResets) return DBG_TIMEOUT;
        ++systemResets;
        halted = true;
        registers[cm3tools::regsel::kPc] = 0;
        return DBG_OK;
    }
    DebugResult hardwareReset() override {
        ++hardwareResets;
        return DBG_OK;
    }
    DebugResult readRegister(uint32_t selector, uint32_t* value) override {
        ++registerReads;
        if (!halted) return DBG_NOT_HALTED;
        if (selector >= registers.size()) return DBG_BAD_PARAMETER;
        *value = registers[selector];
        return DBG_OK;
    }
    DebugResult writeRegister(uint32_t selector, uint32_t value) override {
        if (!halted) return DBG_NOT_HALTED;
        if (selector >= registers.size()) return DBG_BAD_PARAMETER;
        registers[selector] = value;
        return DBG_OK;
    }
    DebugResult setBreakpoint(uint32_t address) override {
        if (fpb.size() == kBreakpointSlots) return DBG_NO_BREAKPOINT_SLOT;
        fpb.insert(address);
        return DBG_OK;
    }
    DebugResult clearBreakpoint(uint32_t address) override {
        return fpb.erase(address) == 1 ? DBG_OK : DBG_NO_BREAKPOINT_SLOT;
    }
    cm3tools::flash::Status eraseFlash(uint32_t address, uint32_t length) override {
        erased.emplace_back(address, length);
        for (uint32_t i = 0; i < length && address + i < kFlashSize; ++i) flash[address + i] = kErased;
        return {};
    }
    cm3tools::flash::Status programFlash(uint32_t address, std::span<const uint8_t> bytes) override {
        programmed.emplace_back(address, std::vector<uint8_t>(bytes.begin(), bytes.end()));
        for (size_t i = 0; i < bytes.size(); ++i) flash[address + i] &= bytes[i];
        return {};
    }
    cm3tools::flash::Status verifyFlash(uint32_t address, std::span<const uint8_t> bytes) override {
        ++verifications;
        for (size_t i = 0; i < bytes.size(); ++i) {
            if (failVerify || flash[address + i] != bytes[i]) return {DBG_ERROR, address + static_cast<uint32_t>(i), "differs"};
        }
        return {};
    }

private:
    static constexpr uint32_t kSystemBase = 0xE0000000;
    static bool IsDwtRegister(uint32_t address, uint32_t offset) {
        for (uint32_t n = 0; n < kComparators; ++n) {
            if (address == cm3tools::dwt::Comp(n) + offset) return true;
        }
        return false;
    }
    static bool IsDwtFunction(uint32_t address) { return IsDwtRegister(address, cm3tools::dwt::kFunctionOffset); }
    static bool IsDwtMask(uint32_t address) { return IsDwtRegister(address, cm3tools::dwt::kMaskOffset); }

    uint8_t* at(uint32_t address) {
        if (address < kFlashSize) return &flash[address];
        if (address - kSramBase < kSramSize) return &sram[address - kSramBase];
        return nullptr;
    }
};

}  // namespace cm3test
