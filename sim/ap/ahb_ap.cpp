#include "ap/ahb_ap.h"

namespace cm3sim {

namespace {

constexpr uint32_t kBitsPerByte = 8;
constexpr uint32_t kWordBytes = 4;
constexpr uint32_t kLaneMask = kWordBytes - 1;
constexpr uint32_t kBankedBlockMask = ~0xFu;  // BD0-BD3 cover TAR[31:4]
constexpr uint32_t kAddrIncReserved = 3;

}  // namespace

void AhbAp::reset() {
    sizeField_ = csw::kSize32;
    addrInc_ = csw::kAddrIncOff;
    prot_ = csw::kResetProt;
    tar_ = 0;
}

uint32_t AhbAp::cswValue() const {
    // Transfers complete at once here, so TrInProg always reads 0.
    return prot_ | (debugPowered_ ? csw::kDbgStatus : 0u) | addrInc_ << csw::kAddrIncShift | sizeField_;
}

AccessSize AhbAp::size() const {
    switch (sizeField_) {
    case csw::kSize8: return AccessSize::Byte;
    case csw::kSize16: return AccessSize::Halfword;
    default: return AccessSize::Word;
    }
}

ApResponse AhbAp::read(uint8_t address) {
    ++counters_.apReads;
    uint32_t data = 0;
    switch (address) {
    case ap_reg::kCsw: return {cswValue(), false};
    case ap_reg::kTar: return {tar_, false};
    case ap_reg::kDrw: {
        const bool ok = memoryAccess(tar_, false, data, true);
        return {data, !ok};
    }
    case ap_reg::kBd0:
    case ap_reg::kBd1:
    case ap_reg::kBd2:
    case ap_reg::kBd3: {
        const bool ok = memoryAccess((tar_ & kBankedBlockMask) + (address - ap_reg::kBd0), false, data, false);
        return {data, !ok};
    }
    case ap_reg::kCfg: return {ap_cfg::kLittleEndian, false};
    case ap_reg::kBase: return {config_.apBase, false};
    case ap_reg::kIdr: return {config_.apIdr, false};
    default: return {0, false};  // reserved: reads as zero
    }
}

ApResponse AhbAp::write(uint8_t address, uint32_t value) {
    ++counters_.apWrites;
    switch (address) {
    case ap_reg::kCsw: {
        // Sizes and increment modes the AP does not have leave the field as it was.
        const uint32_t requestedSize = value & csw::kSizeMask;
        if (requestedSize <= csw::kSize32) sizeField_ = requestedSize;
        const uint32_t requestedInc = (value & csw::kAddrIncMask) >> csw::kAddrIncShift;
        if (requestedInc != kAddrIncReserved) addrInc_ = requestedInc;
        prot_ = value & csw::kProtMask;
        return {};
    }
    case ap_reg::kTar: tar_ = value; return {};
    case ap_reg::kDrw: return {0, !memoryAccess(tar_, true, value, true)};
    case ap_reg::kBd0:
    case ap_reg::kBd1:
    case ap_reg::kBd2:
    case ap_reg::kBd3:
        return {0, !memoryAccess((tar_ & kBankedBlockMask) + (address - ap_reg::kBd0), true, value, false)};
    default: return {};  // read-only or reserved
    }
}

void AhbAp::incrementTar(uint32_t bytes) {
    tar_ = (tar_ & ~tar::kIncrementMask) | ((tar_ + bytes) & tar::kIncrementMask);
}

// One DRW or BDn access: a single transfer, or in packed mode as many as fit
// in the word. Each beat uses the byte lanes its address selects; lanes no
// beat uses read as zero. An error stops the access with TAR left at the
// failing beat, so a debugger can read back where a block transfer stopped.
bool AhbAp::memoryAccess(uint32_t address, bool write, uint32_t& data, bool increment) {
    if (!debugPowered_) return false;  // DbgStatus low: no AHB transfer starts
    const AccessSize beatSize = size();
    const uint32_t bytes = BytesOf(beatSize);
    const bool packed = increment && addrInc_ == csw::kAddrIncPacked && beatSize != AccessSize::Word;
    const uint32_t beats = packed ? kWordBytes / bytes : 1;
    uint32_t result = 0;
    for (uint32_t beat = 0; beat < beats; ++beat) {
        // Unaligned TAR values are truncated to the transfer size on the bus.
        const uint32_t busAddress = address & ~(bytes - 1);
        const uint32_t shift = kBitsPerByte * (busAddress & kLaneMask);
        uint32_t value = write ? (data >> shift) & ValueMask(beatSize) : 0;
        if (!transfer(busAddress, beatSize, write, value)) {
            if (!write) data = result;
            return false;
        }
        if (!write) result |= value << shift;
        if (increment && addrInc_ != csw::kAddrIncOff) {
            incrementTar(bytes);
            address = tar_;
        }
    }
    if (!write) data = result;
    return true;
}

bool AhbAp::transfer(uint32_t address, AccessSize size, bool write, uint32_t& value) {
    const uint64_t index = counters_.ahbAccesses++;
    bool error = false;
    if (config_.stickyErrorAtAhbAccess && *config_.stickyErrorAtAhbAccess == index) {
        error = true;  // injected: the slave answers with an error, nothing happens
    } else if (write) {
        error = !bus_.write(address, size, value);
    } else {
        const BusRead result = bus_.read(address, size);
        error = result.error;
        value = error ? 0 : result.value;
    }
    if (error) ++counters_.ahbErrors;
    if (config_.logAhbAccesses) log_.push_back({address, size, write, value, error});
    return !error;
}

}  // namespace cm3sim
