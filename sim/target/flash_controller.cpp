#include "target/flash_controller.h"

#include <algorithm>
#include <bit>

#include "target/registers.h"

namespace cm3sim {

namespace {
constexpr uint32_t kWordAlignMask = ~0x3u;
}

BusRead FlashController::readRegister(uint32_t wordOffset, uint32_t) {
    settle();
    switch (wordOffset) {
    case flash_ctrl::kFmaOffset: return {fma_, false};
    case flash_ctrl::kFmdOffset: return {fmd_, false};
    case flash_ctrl::kFmcOffset: return {pending_ ? pending_->command : 0u, false};  // the key reads 0
    case flash_ctrl::kFcrisOffset: return {fcris_, false};
    case flash_ctrl::kFcimOffset: return {fcim_, false};
    case flash_ctrl::kFcmiscOffset: return {fcris_ & fcim_, false};
    default: return {0, true};
    }
}

bool FlashController::writeRegister(uint32_t wordOffset, uint32_t value) {
    settle();
    switch (wordOffset) {
    case flash_ctrl::kFmaOffset: fma_ = value; break;
    case flash_ctrl::kFmdOffset: fmd_ = value; break;
    case flash_ctrl::kFmcOffset: command(value); break;
    case flash_ctrl::kFcrisOffset: break;  // read-only
    case flash_ctrl::kFcimOffset: fcim_ = value & flash_ctrl::kInterruptMask; break;
    case flash_ctrl::kFcmiscOffset: fcris_ &= ~(value & flash_ctrl::kInterruptMask); break;  // write one to clear
    default: return false;
    }
    return true;
}

bool FlashController::permitted(uint32_t bits) {
    bool allowed = true;
    switch (bits) {
    case flash_ctrl::kWrite:
    case flash_ctrl::kErase:
        allowed = flash_.range().contains(fma_) && systemControl_.programEnabled(fma_);
        break;
    case flash_ctrl::kMassErase: allowed = systemControl_.allProgramEnabled(); break;
    default: break;  // a commit's selector is checked when it completes
    }
    if (!allowed) {
        fcris_ |= flash_ctrl::kAccessInterrupt;
        ++counters_.accessErrors;
    }
    return allowed;
}

void FlashController::command(uint32_t value) {
    const uint32_t bits = value & flash_ctrl::kCommandMask;
    if ((value >> flash_ctrl::kKeyShift) != flash_ctrl::kWriteKey || pending_ || std::popcount(bits) != 1) {
        ++counters_.rejectedCommands;
        return;
    }
    if (!permitted(bits)) return;
    const uint64_t duration = bits == flash_ctrl::kErase        ? config_.flashEraseNs
                              : bits == flash_ctrl::kMassErase  ? config_.flashMassEraseNs
                                                                : config_.flashProgramNs;
    pending_ = Operation{bits, fma_, fmd_, clock_() + duration};
    settle();
}

std::optional<uint64_t> FlashController::dueNs() const {
    if (!pending_) return std::nullopt;
    return pending_->dueNs;
}

void FlashController::settle() {
    if (!pending_ || clock_() < pending_->dueNs) return;
    const Operation done = *pending_;
    pending_.reset();
    finish(done);
}

void FlashController::finish(const Operation& operation) {
    const AddressRange& range = flash_.range();
    switch (operation.command) {
    case flash_ctrl::kWrite: {
        const uint32_t address = operation.address & kWordAlignMask;
        if (flash_.contains(address, sizeof(uint32_t))) {
            // Programming can only pull bits from 1 to 0.
            flash_.setWord(address, flash_.wordAt(address) & operation.data);
        }
        ++counters_.programs;
        break;
    }
    case flash_ctrl::kErase: {
        const uint32_t pageOffset = (operation.address - range.base) / flash_ctrl::kPageSize * flash_ctrl::kPageSize;
        const uint32_t length = std::min(flash_ctrl::kPageSize, range.size - pageOffset);
        flash_.fill(range.base + pageOffset, length, memory_map::kErasedByte);
        ++counters_.pageErases;
        break;
    }
    case flash_ctrl::kMassErase:
        flash_.fillAll(memory_map::kErasedByte);
        ++counters_.massErases;
        break;
    default:
        if (!systemControl_.commit(operation.address)) {
            fcris_ |= flash_ctrl::kAccessInterrupt;
            ++counters_.accessErrors;
            return;
        }
        ++counters_.commits;
        break;
    }
    fcris_ |= flash_ctrl::kProgramInterrupt;
}

void FlashController::reset() {
    fma_ = 0;
    fmd_ = 0;
    fcris_ = 0;
    fcim_ = 0;
    pending_.reset();
}

}  // namespace cm3sim
