#include "target/flash_controller.h"

#include <algorithm>
#include <bit>

#include "target/registers.h"

namespace cm3sim {

namespace {
constexpr uint32_t kWordAlignMask = ~0x3u;
}

BusRead FlashController::readRegister(uint32_t wordOffset, uint32_t) {
    switch (wordOffset) {
    case flash_ctrl::kFmaOffset: return {fma_, false};
    case flash_ctrl::kFmdOffset: return {fmd_, false};
    default: return {pending_ ? pending_->command : 0u, false};  // FMC: the busy bit; the key reads 0
    }
}

bool FlashController::writeRegister(uint32_t wordOffset, uint32_t value) {
    switch (wordOffset) {
    case flash_ctrl::kFmaOffset: fma_ = value; break;
    case flash_ctrl::kFmdOffset: fmd_ = value; break;
    default: command(value); break;
    }
    return true;
}

void FlashController::command(uint32_t value) {
    const uint32_t bits = value & flash_ctrl::kCommandMask;
    if ((value >> flash_ctrl::kKeyShift) != flash_ctrl::kWriteKey || pending_ || std::popcount(bits) != 1) {
        ++counters_.rejectedCommands;
        return;
    }
    if (bits != flash_ctrl::kMassErase && !flash_.range().contains(fma_)) {
        ++counters_.rejectedCommands;
        return;
    }
    const uint64_t duration = bits == flash_ctrl::kWrite   ? config_.flashProgramNs
                              : bits == flash_ctrl::kErase ? config_.flashEraseNs
                                                           : config_.flashMassEraseNs;
    pending_ = Operation{bits, fma_, fmd_, duration};
    advance(0);
}

void FlashController::advance(uint64_t nanoseconds) {
    if (!pending_) return;
    pending_->remainingNs -= std::min(pending_->remainingNs, nanoseconds);
    if (pending_->remainingNs > 0) return;
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
    default:
        flash_.fillAll(memory_map::kErasedByte);
        ++counters_.massErases;
        break;
    }
}

void FlashController::reset() {
    fma_ = 0;
    fmd_ = 0;
    pending_.reset();
}

}  // namespace cm3sim
