#include "target/coresight.h"

namespace cm3sim {

namespace {

constexpr uint32_t kIdRegistersPerBlock = 4;

constexpr std::array<uint32_t, 7> kRomEntries{
    rom_table::Entry(scs::kBase, true),   rom_table::Entry(dwt::kBase, true), rom_table::Entry(fpb::kBase, true),
    rom_table::Entry(itm::kBase, true),   rom_table::Entry(tpiu::kBase, true),
    rom_table::Entry(etm::kBase, false),  rom_table::kEndMarker,
};

}  // namespace

std::optional<uint32_t> IdRegister(const ComponentId& id, uint32_t offset) {
    using namespace coresight_id;
    if (offset < kPidr4Offset || offset >= kEndOffset) return std::nullopt;
    const uint32_t index = (offset - kPidr4Offset) / kRegisterStride;
    if (offset >= kCidr0Offset) {
        return (Cidr(id.componentClass) >> (kBitsPerIdRegister * (index - 2 * kIdRegistersPerBlock))) & kIdByteMask;
    }
    // PIDR4-7 come first in the address space, then PIDR0-3.
    const uint32_t pidr = offset >= kPidr0Offset ? index - kIdRegistersPerBlock : index + kIdRegistersPerBlock;
    return id.pidr[pidr];
}

BusRead IdOnlyComponent::readRegister(uint32_t wordOffset, uint32_t) {
    return {IdRegister(id_, wordOffset).value_or(0), false};
}

bool IdOnlyComponent::writeRegister(uint32_t, uint32_t) { return true; }

BusRead RomTable::readRegister(uint32_t wordOffset, uint32_t) {
    if (auto id = IdRegister(component_ids::kRomTable, wordOffset)) return {*id, false};
    if (wordOffset == rom_table::kMemTypeOffset) return {rom_table::kMemTypeSystemMemory, false};
    const uint32_t index = wordOffset / coresight_id::kRegisterStride;
    return {index < kRomEntries.size() ? kRomEntries[index] : 0u, false};
}

bool RomTable::writeRegister(uint32_t, uint32_t) { return true; }

void Dwt::reset() {
    ctrl_ = 0;
    cycCnt_ = 0;
    comparators_ = {};
}

uint32_t* Dwt::comparatorField(uint32_t wordOffset, uint32_t& writableMask) {
    if (wordOffset < dwt::kComp0Offset) return nullptr;
    const uint32_t index = (wordOffset - dwt::kComp0Offset) / dwt::kComparatorStride;
    if (index >= dwt::kNumComparators) return nullptr;
    Comparator& comparator = comparators_[index];
    switch ((wordOffset - dwt::kComp0Offset) % dwt::kComparatorStride) {
    case 0: writableMask = ~0u; return &comparator.comp;
    case dwt::kMaskOffset: writableMask = dwt::kMaskWritableMask; return &comparator.mask;
    case dwt::kFunctionOffset: writableMask = dwt::kFunctionWritableMask; return &comparator.function;
    default: return nullptr;
    }
}

namespace {

constexpr uint32_t kAddressBits = 32;

bool WatchesInstructions(uint32_t function, bool) { return function == dwt::kFunctionPc; }

bool WatchesData(uint32_t function, bool write) {
    return function == dwt::kFunctionReadWrite || function == (write ? dwt::kFunctionWrite : dwt::kFunctionRead);
}

}  // namespace

bool Dwt::match(uint32_t address, uint32_t size, bool (*functionMatches)(uint32_t, bool), bool write) {
    bool matched = false;
    for (Comparator& comparator : comparators_) {
        // Cycle and data-value matching use the comparator otherwise.
        if (comparator.function & (dwt::kFunctionCycMatch | dwt::kFunctionDataVMatch)) continue;
        if (!functionMatches(comparator.function & dwt::kFunctionMask, write)) continue;
        const uint32_t ignored = comparator.mask >= kAddressBits ? ~0u : (1u << comparator.mask) - 1;
        // Any byte of the access in the masked range matches.
        for (uint64_t byte = address; byte < uint64_t{address} + size; ++byte) {
            if ((uint32_t(byte) & ~ignored) == (comparator.comp & ~ignored)) {
                comparator.function |= dwt::kFunctionMatched;
                matched = true;
                break;
            }
        }
    }
    return matched;
}

bool Dwt::matchInstruction(uint32_t address) { return match(address, 1, WatchesInstructions, false); }

bool Dwt::matchData(uint32_t address, uint32_t size, bool write) { return match(address, size, WatchesData, write); }

void Dwt::countCycles(uint64_t cycles) {
    if (ctrl_ & dwt::kCtrlCycCntEna) cycCnt_ = static_cast<uint32_t>(cycCnt_ + cycles);  // wraps, as CYCCNT does
}

uint32_t* Dwt::functionField(uint32_t wordOffset) {
    const bool function = wordOffset >= dwt::kComp0Offset &&
                          (wordOffset - dwt::kComp0Offset) % dwt::kComparatorStride == dwt::kFunctionOffset;
    if (!function) return nullptr;
    uint32_t mask = 0;
    return comparatorField(wordOffset, mask);
}

BusRead Dwt::readRegister(uint32_t wordOffset, uint32_t lanes) {
    if (auto id = IdRegister(component_ids::kDwt, wordOffset)) return {*id, false};
    if (wordOffset == dwt::kCtrlOffset) return {dwt::kNumComparators << dwt::kNumCompShift | ctrl_, false};
    if (wordOffset == dwt::kCycCntOffset) return {cycCnt_, false};
    uint32_t mask = 0;
    uint32_t* field = comparatorField(wordOffset, mask);
    if (!field) return {0, false};
    const uint32_t value = *field;
    // MATCHED clears when a read of FUNCTION returns it.
    if (field == functionField(wordOffset) && (lanes & (1u << dwt::kMatchedLane))) *field &= ~dwt::kFunctionMatched;
    return {value, false};
}

bool Dwt::writeRegister(uint32_t wordOffset, uint32_t value) {
    if (wordOffset == dwt::kCtrlOffset) {
        ctrl_ = value & dwt::kCtrlWritableMask;
    } else if (wordOffset == dwt::kCycCntOffset) {
        cycCnt_ = value;
    } else {
        uint32_t mask = 0;
        // MATCHED is read-only.
        if (uint32_t* field = comparatorField(wordOffset, mask)) *field = (value & mask) | (*field & ~mask);
    }
    return true;
}

}  // namespace cm3sim
