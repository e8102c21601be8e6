#include "common/watchpoints.h"

#include <algorithm>
#include <bit>
#include <cstdio>

#include "common/results.h"
#include "common/target_registers.h"

namespace cm3tools {
namespace {

inline constexpr uint32_t kWordSize = 2;  // DebugReadMem/DebugWriteMem size code
inline constexpr uint32_t kAddressBits = 32;
inline constexpr uint64_t kAddressSpace = uint64_t{1} << kAddressBits;

DebugResult LibraryRead(void*, uint32_t address, uint32_t* value) { return DebugReadMem(address, value, kWordSize); }
DebugResult LibraryWrite(void*, uint32_t address, uint32_t value) { return DebugWriteMem(address, value, kWordSize); }

uint32_t FunctionCode(WatchKind kind) {
    switch (kind) {
    case WatchKind::kRead: return dwt::function::kWatchRead;
    case WatchKind::kWrite: return dwt::function::kWatchWrite;
    case WatchKind::kAccess: return dwt::function::kWatchAccess;
    }
    return dwt::function::kDisabled;
}

std::string Hex(uint32_t value) {
    char text[sizeof("0x00000000")];
    std::snprintf(text, sizeof(text), "0x%08X", value);
    return text;
}

}  // namespace

const WordBus kLibraryWordBus{LibraryRead, LibraryWrite, nullptr};

const char* WatchKindName(WatchKind kind) {
    switch (kind) {
    case WatchKind::kRead: return "read";
    case WatchKind::kWrite: return "write";
    case WatchKind::kAccess: return "access";
    }
    return "?";
}

std::vector<WatchBlock> SplitIntoBlocks(uint32_t address, uint32_t length, uint32_t maxMaskBits) {
    std::vector<WatchBlock> blocks;
    uint64_t at = address;
    const uint64_t end = std::min<uint64_t>(at + std::max<uint32_t>(length, 1), kAddressSpace);
    while (at < end) {
        // As large as the alignment, the rest of the range and the mask allow.
        uint32_t bits = std::min<uint32_t>(at == 0 ? kAddressBits : std::countr_zero(at), maxMaskBits);
        while ((uint64_t{1} << bits) > end - at) --bits;
        blocks.push_back({static_cast<uint32_t>(at), bits});
        at += uint64_t{1} << bits;
    }
    return blocks;
}

bool Watchpoints::ours(uint32_t comparator) const {
    return std::any_of(watches_.begin(), watches_.end(), [comparator](const Watch& watch) {
        return std::find(watch.comparators.begin(), watch.comparators.end(), comparator) != watch.comparators.end();
    });
}

Watchpoints::Status Watchpoints::discover() {
    // The DWT is reachable only with TRCENA set.
    uint32_t demcrValue = 0;
    DebugResult result = bus_.read(bus_.context, demcr::kAddress, &demcrValue);
    if (result == DBG_OK && (demcrValue & demcr::kTrcEna) == 0) {
        result = bus_.write(bus_.context, demcr::kAddress, demcrValue | demcr::kTrcEna);
    }
    if (result != DBG_OK) return {Outcome::kFailed, result, DescribeFailure("enabling the DWT (DEMCR.TRCENA)", result)};
    if (count_) return {};
    uint32_t ctrl = 0;
    result = bus_.read(bus_.context, dwt::kCtrl, &ctrl);
    if (result != DBG_OK) return {Outcome::kFailed, result, DescribeFailure("reading DWT_CTRL", result)};
    count_ = ctrl >> dwt::kNumCompShift;
    return {};
}

Watchpoints::Status Watchpoints::add(WatchKind kind, uint32_t address, uint32_t length) {
    for (const Watch& watch : watches_) {
        if (watch.kind == kind && watch.address == address && watch.length == length) return {};
    }
    Status status = discover();
    if (!status.ok()) return status;

    // Free comparators: not ours, and FUNCTION disabled.
    std::vector<uint32_t> free;
    for (uint32_t n = 0; n < *count_; ++n) {
        if (ours(n)) continue;
        uint32_t function = 0;
        const DebugResult result = bus_.read(bus_.context, dwt::Function(n), &function);
        if (result != DBG_OK) return {Outcome::kFailed, result, DescribeFailure("reading DWT_FUNCTION", result)};
        if ((function & dwt::kFunctionField) == dwt::function::kDisabled) free.push_back(n);
    }
    if (!maxMaskBits_ && !free.empty()) {
        // The implemented MASK bits read back as ones.
        uint32_t mask = 0;
        DebugResult result = bus_.write(bus_.context, dwt::Mask(free.front()), dwt::kMaskAllBits);
        if (result == DBG_OK) result = bus_.read(bus_.context, dwt::Mask(free.front()), &mask);
        if (result != DBG_OK) return {Outcome::kFailed, result, DescribeFailure("probing DWT_MASK", result)};
        maxMaskBits_ = mask & dwt::kMaskAllBits;
    }
    const std::vector<WatchBlock> blocks = SplitIntoBlocks(address, length, maxMaskBits_.value_or(0));
    if (blocks.size() > free.size()) {
        std::string message = "all " + std::to_string(*count_) + " DWT comparators are in use";
        if (!free.empty() || blocks.size() > *count_) {
            message = "watching " + std::to_string(length) + " bytes at " + Hex(address) + " needs " +
                      std::to_string(blocks.size()) + " DWT comparators; " + std::to_string(free.size()) + " of " +
                      std::to_string(*count_) + " are free";
        }
        return {Outcome::kAllInUse, DBG_NO_BREAKPOINT_SLOT, message};
    }

    Watch watch{kind, address, length, {}, blocks};
    for (size_t i = 0; i < blocks.size(); ++i) {
        const uint32_t n = free[i];
        DebugResult result = bus_.write(bus_.context, dwt::Comp(n), blocks[i].address);
        if (result == DBG_OK) result = bus_.write(bus_.context, dwt::Mask(n), blocks[i].maskBits);
        if (result == DBG_OK) result = bus_.write(bus_.context, dwt::Function(n), FunctionCode(kind));
        watch.comparators.push_back(n);
        if (result != DBG_OK) {
            // Leave nothing half set.
            (void)disable(watch.comparators);
            return {Outcome::kFailed, result, DescribeFailure("setting a DWT comparator", result)};
        }
    }
    watches_.push_back(std::move(watch));
    return {};
}

DebugResult Watchpoints::disable(const std::vector<uint32_t>& comparators) {
    DebugResult first = DBG_OK;
    for (uint32_t n : comparators) {
        const DebugResult result = bus_.write(bus_.context, dwt::Function(n), dwt::function::kDisabled);
        if (first == DBG_OK) first = result;
    }
    return first;
}

DebugResult Watchpoints::remove(WatchKind kind, uint32_t address, uint32_t length) {
    const auto found = std::find_if(watches_.begin(), watches_.end(), [&](const Watch& watch) {
        return watch.kind == kind && watch.address == address && watch.length == length;
    });
    if (found == watches_.end()) return DBG_OK;
    const DebugResult result = disable(found->comparators);
    if (result == DBG_OK) watches_.erase(found);
    return result;
}

DebugResult Watchpoints::removeAll() {
    DebugResult first = DBG_OK;
    for (const Watch& watch : watches_) {
        const DebugResult result = disable(watch.comparators);
        if (first == DBG_OK) first = result;
    }
    watches_.clear();
    return first;
}

std::optional<Watchpoints::Hit> Watchpoints::matched(DebugResult& result) {
    result = DBG_OK;
    std::optional<Hit> hit;
    for (const Watch& watch : watches_) {
        for (size_t i = 0; i < watch.comparators.size(); ++i) {
            uint32_t function = 0;
            const DebugResult read = bus_.read(bus_.context, dwt::Function(watch.comparators[i]), &function);
            if (read != DBG_OK) {
                if (result == DBG_OK) result = read;
                continue;
            }
            if ((function & dwt::kMatched) != 0 && !hit) hit = Hit{watch.kind, watch.blocks[i].address};
        }
    }
    return hit;
}

}  // namespace cm3tools
