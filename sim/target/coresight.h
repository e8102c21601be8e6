// CoreSight identification and the simple debug components: the ROM table,
// DWT, ITM and TPIU.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "target/bus.h"
#include "target/registers.h"

namespace cm3sim {

struct ComponentId {
    std::array<uint8_t, 8> pidr;  // PIDR0..PIDR7
    uint8_t componentClass;
};

// Cortex-M3 r2p0 values.
namespace component_ids {
inline constexpr uint8_t kJep106Continuation = 0x04;  // PIDR4
inline constexpr ComponentId kRomTable{{0xC3, 0xB4, 0x0B, 0x00, kJep106Continuation, 0, 0, 0},
                                       coresight_id::kClassRomTable};
inline constexpr ComponentId kScs{{0x00, 0xB0, 0x0B, 0x00, kJep106Continuation, 0, 0, 0},
                                  coresight_id::kClassGenericIp};
inline constexpr ComponentId kDwt{{0x02, 0xB0, 0x3B, 0x00, kJep106Continuation, 0, 0, 0},
                                  coresight_id::kClassGenericIp};
inline constexpr ComponentId kFpb{{0x03, 0xB0, 0x2B, 0x00, kJep106Continuation, 0, 0, 0},
                                  coresight_id::kClassGenericIp};
inline constexpr ComponentId kItm{{0x01, 0xB0, 0x3B, 0x00, kJep106Continuation, 0, 0, 0},
                                  coresight_id::kClassGenericIp};
inline constexpr ComponentId kTpiu{{0x23, 0xB9, 0x1B, 0x00, kJep106Continuation, 0, 0, 0},
                                   coresight_id::kClassCoreSight};
}  // namespace component_ids

// The PIDR/CIDR word at `offset` of a component, if `offset` is one of them.
std::optional<uint32_t> IdRegister(const ComponentId& id, uint32_t offset);

// A component whose registers other than the IDs read as zero and ignore
// writes (ITM, TPIU: trace output is not modeled).
class IdOnlyComponent : public WordRegisterDevice {
public:
    explicit IdOnlyComponent(const ComponentId& id) : id_(id) {}

protected:
    BusRead readRegister(uint32_t wordOffset, uint32_t lanes) override;
    bool writeRegister(uint32_t wordOffset, uint32_t value) override;

private:
    ComponentId id_;
};

class RomTable : public WordRegisterDevice {
protected:
    BusRead readRegister(uint32_t wordOffset, uint32_t lanes) override;
    bool writeRegister(uint32_t wordOffset, uint32_t value) override;
};

// The DWT's four comparators as address watchpoints (PC, data read, data
// write, either; with MASK) and CYCCNT. Trace, cycle and data-value matching
// are stored and never match.
class Dwt : public WordRegisterDevice {
public:
    void reset();  // power-on only

    // Whether a comparator watching instruction addresses, or data accesses
    // of this direction, matches; sets FUNCTION.MATCHED on each that does.
    bool matchInstruction(uint32_t address);
    bool matchData(uint32_t address, uint32_t size, bool write);
    // Processor clock cycles; CYCCNT counts them while CYCCNTENA is set.
    void countCycles(uint64_t cycles);

protected:
    BusRead readRegister(uint32_t wordOffset, uint32_t lanes) override;
    bool writeRegister(uint32_t wordOffset, uint32_t value) override;

private:
    struct Comparator {
        uint32_t comp = 0;
        uint32_t mask = 0;
        uint32_t function = 0;
    };
    uint32_t* comparatorField(uint32_t wordOffset, uint32_t& writableMask);
    uint32_t* functionField(uint32_t wordOffset);  // nullptr unless a FUNCTION register
    bool match(uint32_t address, uint32_t size, bool (*functionMatches)(uint32_t function, bool write), bool write);
    uint32_t ctrl_ = 0;
    uint32_t cycCnt_ = 0;
    std::array<Comparator, dwt::kNumComparators> comparators_{};
};

}  // namespace cm3sim
