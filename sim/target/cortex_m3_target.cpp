#include "target/cortex_m3_target.h"

#include <stdexcept>
#include <string>

#include "cpu/unicorn_core.h"
#include "target/image_loader.h"
#include "target/make_target.h"
#include "target/register_core.h"
#include "target/registers.h"

namespace cm3sim {

namespace {

constexpr uint32_t kHalfwordBytes = 2;

std::string Hex(uint32_t value) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    constexpr uint32_t kNibbles = 8;
    constexpr uint32_t kNibbleBits = 4;
    constexpr uint32_t kNibbleMask = 0xF;
    std::string text = "0x";
    for (uint32_t i = kNibbles; i-- > 0;) text += kDigits[(value >> (kNibbleBits * i)) & kNibbleMask];
    return text;
}

void Map(Bus& bus, const char* name, AddressRange range, BusDevice& device) {
    try {
        bus.map(range, device);
    } catch (const std::logic_error&) {
        throw std::runtime_error(std::string("sim config: the ") + name + " region at " + Hex(range.base) +
                                 " overlaps another region");
    }
}

bool SramHasBitBand(const AddressRange& sram) {
    return sram.size > 0 && sram.base >= memory_map::kBitBandRegionBase &&
           sram.base - memory_map::kBitBandRegionBase < memory_map::kBitBandRegionSize;
}

}  // namespace

CortexM3Target::CortexM3Target(SimConfig& liveConfig, const CoreFactory& makeCore)
    : config_(liveConfig),
      bus_(liveConfig),
      flash_(liveConfig.flash, memory_map::kErasedByte, false),
      sram_(liveConfig.sram, 0, true),
      bitBand_(sram_),
      deviceId_(liveConfig),
      flashController_(liveConfig, flash_),
      itm_(component_ids::kItm),
      tpiu_(component_ids::kTpiu),
      core_(makeCore ? makeCore(liveConfig, bus_, *this)
                     : std::make_unique<RegisterCore>(liveConfig, static_cast<CoreHooks&>(*this))),
      debug_(liveConfig, *core_, counters_, dwt_),
      scs_(liveConfig, debug_, *core_, [this](ResetKind kind) { reset(kind); }),
      ap_(liveConfig, bus_, counters_) {
    const uint32_t component = memory_map::kComponentSize;
    Map(bus_, "flash", config_.flash, flash_);
    Map(bus_, "SRAM", config_.sram, sram_);
    if (SramHasBitBand(config_.sram)) {
        Map(bus_, "bit-band alias", {memory_map::kBitBandAliasBase, memory_map::kBitBandAliasSize}, bitBand_);
    }
    Map(bus_, "device identification", {device_id::kBase, device_id::kBlockSize}, deviceId_);
    Map(bus_, "flash controller", {flash_ctrl::kBase, flash_ctrl::kBlockSize}, flashController_);
    Map(bus_, "ITM", {itm::kBase, component}, itm_);
    Map(bus_, "DWT", {dwt::kBase, component}, dwt_);
    Map(bus_, "FPB", {fpb::kBase, component}, fpb_);
    Map(bus_, "system control space", {scs::kBase, component}, scs_);
    Map(bus_, "TPIU", {tpiu::kBase, component}, tpiu_);
    Map(bus_, "ROM table", {rom_table::kBase, component}, romTable_);
    for (const MemoryImage& image : config_.images) loadImage(image);
    powerOnReset();
}

CortexM3Target::~CortexM3Target() = default;

std::unique_ptr<TargetSystem> MakeTarget(SimConfig& liveConfig) {
    return std::make_unique<CortexM3Target>(liveConfig, MakeUnicornCore);
}

ApResponse CortexM3Target::apRead(uint8_t apsel, uint8_t address) {
    if (apsel != ap_reg::kAhbApSel) return {};
    return ap_.read(address);
}

ApResponse CortexM3Target::apWrite(uint8_t apsel, uint8_t address, uint32_t value) {
    if (apsel != ap_reg::kAhbApSel) return {};
    return ap_.write(address, value);
}

void CortexM3Target::setDebugPower(bool debugPowered, bool) { ap_.setDebugPower(debugPowered); }

void CortexM3Target::advance(uint64_t nanoseconds) {
    nowNs_ += nanoseconds;
    flashController_.advance(nanoseconds);
    debug_.advance(nanoseconds);
}

void CortexM3Target::setResetPin(bool asserted) {
    if (asserted == resetPinAsserted_) return;
    resetPinAsserted_ = asserted;
    debug_.setResetPin(asserted);
    if (asserted) reset(ResetKind::System);
}

void CortexM3Target::powerOnReset() { reset(ResetKind::PowerOn); }

void CortexM3Target::reset(ResetKind kind) {
    if (kind == ResetKind::PowerOn) {
        fpb_.reset();
        dwt_.reset();
        ap_.reset();
    }
    if (kind != ResetKind::Core) flashController_.reset();
    scs_.reset();
    debug_.reset(kind);
}

bool CortexM3Target::breakpointAt(uint32_t address) {
    return debug_.haltingDebugEnabled() && fpb_.matchInstruction(address) == FpbMatch::Breakpoint;
}

bool CortexM3Target::executable(uint32_t address) {
    return flash_.contains(address, kHalfwordBytes) || sram_.contains(address, kHalfwordBytes);
}

std::optional<uint32_t> CortexM3Target::readVector(uint32_t address) {
    const BusRead word = bus_.read(address, AccessSize::Word);
    if (word.error) return std::nullopt;
    return word.value;
}

// DEMCR.TRCENA enables the DWT.
bool CortexM3Target::dwtEnabled() const { return (debug_.demcr() & demcr::kTrcEna) != 0; }

// A match halts the core when halting debug is on, else is taken by
// DebugMonitor when DEMCR.MON_EN asks, else is ignored.
DebugEvent CortexM3Target::watchEvent(bool matched) {
    if (!matched) return DebugEvent::None;
    if (debug_.haltingDebugEnabled()) return DebugEvent::Halt;
    if (!(debug_.demcr() & demcr::kMonEn)) return DebugEvent::None;
    debug_.recordDebugEvent(dfsr::kDwtTrap);
    return DebugEvent::Monitor;
}

DebugEvent CortexM3Target::watchInstruction(uint32_t address) {
    return dwtEnabled() ? watchEvent(dwt_.matchInstruction(address)) : DebugEvent::None;
}

DebugEvent CortexM3Target::watchData(uint32_t address, uint32_t size, bool write) {
    return dwtEnabled() ? watchEvent(dwt_.matchData(address, size, write)) : DebugEvent::None;
}

void CortexM3Target::recordFault(const FaultRecord& record) { scs_.recordFault(record); }

MemoryBlock& CortexM3Target::memoryFor(uint32_t address, uint64_t length) {
    if (flash_.contains(address, length)) return flash_;
    if (sram_.contains(address, length)) return sram_;
    throw std::out_of_range("no flash or SRAM covers " + std::to_string(length) + " bytes at " + Hex(address));
}

const MemoryBlock& CortexM3Target::memoryFor(uint32_t address, uint64_t length) const {
    return const_cast<CortexM3Target*>(this)->memoryFor(address, length);
}

uint8_t CortexM3Target::peek8(uint32_t address) const { return memoryFor(address, 1).byteAt(address); }

uint32_t CortexM3Target::peek32(uint32_t address) const {
    return memoryFor(address, sizeof(uint32_t)).wordAt(address);
}

std::vector<uint8_t> CortexM3Target::peekBytes(uint32_t address, uint32_t length) const {
    const MemoryBlock& memory = memoryFor(address, length);
    std::vector<uint8_t> bytes(length);
    for (uint32_t i = 0; i < length; ++i) bytes[i] = memory.byteAt(address + i);
    return bytes;
}

void CortexM3Target::poke8(uint32_t address, uint8_t value) { memoryFor(address, 1).setByte(address, value); }

void CortexM3Target::poke32(uint32_t address, uint32_t value) {
    memoryFor(address, sizeof(uint32_t)).setWord(address, value);
}

void CortexM3Target::pokeBytes(uint32_t address, std::span<const uint8_t> bytes) {
    MemoryBlock& memory = memoryFor(address, bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i) memory.setByte(address + uint32_t(i), bytes[i]);
}

void CortexM3Target::loadImage(const MemoryImage& image) {
    std::vector<ImageSegment> segments;
    if (IsElfFile(image.path)) {
        if (image.address) throw std::runtime_error("image " + image.path + ": an ELF image takes no address");
        segments = ReadElfImage(image.path);
    } else {
        if (!image.address) throw std::runtime_error("image " + image.path + ": a raw binary needs an address");
        segments.push_back(ReadRawImage(image.path, *image.address));
    }
    for (const ImageSegment& segment : segments) {
        try {
            pokeBytes(segment.address, segment.bytes);
        } catch (const std::out_of_range& error) {
            throw std::runtime_error("image " + image.path + ": " + error.what());
        }
    }
}

}  // namespace cm3sim
