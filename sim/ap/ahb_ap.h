// The Cortex-M3 AHB-AP: a MEM-AP in front of the target's bus.
#pragma once

#include <cstdint>
#include <vector>

#include "config.h"
#include "dp/access_port_bus.h"
#include "target/bus.h"
#include "target/counters.h"

namespace cm3sim {

// AP register addresses as the DP presents them (APBANKSEL << 4 | A[3:2] << 2).
namespace ap_reg {
inline constexpr uint8_t kCsw = 0x00;
inline constexpr uint8_t kTar = 0x04;
inline constexpr uint8_t kDrw = 0x0C;
inline constexpr uint8_t kBd0 = 0x10;
inline constexpr uint8_t kBd1 = 0x14;
inline constexpr uint8_t kBd2 = 0x18;
inline constexpr uint8_t kBd3 = 0x1C;
inline constexpr uint8_t kCfg = 0xF4;
inline constexpr uint8_t kBase = 0xF8;
inline constexpr uint8_t kIdr = 0xFC;
inline constexpr uint8_t kAhbApSel = 0;  // the only AP on this target
}  // namespace ap_reg

namespace csw {
inline constexpr uint32_t kSizeMask = 0x7;
inline constexpr uint32_t kSize8 = 0;
inline constexpr uint32_t kSize16 = 1;
inline constexpr uint32_t kSize32 = 2;
inline constexpr uint32_t kAddrIncShift = 4;
inline constexpr uint32_t kAddrIncMask = 0x3u << kAddrIncShift;
inline constexpr uint32_t kAddrIncOff = 0;
inline constexpr uint32_t kAddrIncSingle = 1;
inline constexpr uint32_t kAddrIncPacked = 2;
inline constexpr uint32_t kDbgStatus = 1u << 6;
inline constexpr uint32_t kTrInProg = 1u << 7;
inline constexpr uint32_t kProtShift = 24;
inline constexpr uint32_t kProtMask = 0xFFu << kProtShift;   // HPROT and master type, stored as written
inline constexpr uint32_t kResetProt = 0x03u << kProtShift;  // privileged data access
inline constexpr uint32_t Value(uint32_t size, uint32_t addrInc) { return size | addrInc << kAddrIncShift; }
}  // namespace csw

namespace tar {
// The Cortex-M3 AHB-AP increments TAR[11:0] only: sequential access wraps
// inside a 4 KB block.
inline constexpr uint32_t kIncrementMask = 0xFFF;
}  // namespace tar

namespace ap_cfg {
inline constexpr uint32_t kLittleEndian = 0;
}

struct AhbAccess {
    uint32_t address = 0;
    AccessSize size = AccessSize::Word;
    bool write = false;
    uint32_t value = 0;  // right-aligned data of `size` bytes
    bool error = false;
};

class AhbAp {
public:
    AhbAp(const SimConfig& config, Bus& bus, TargetCounters& counters)
        : config_(config), bus_(bus), counters_(counters) {}

    ApResponse read(uint8_t address);
    ApResponse write(uint8_t address, uint32_t value);
    void setDebugPower(bool debugPowered) { debugPowered_ = debugPowered; }
    void reset();  // power-on

    const std::vector<AhbAccess>& log() const { return log_; }
    void clearLog() { log_.clear(); }

private:
    struct Beat {
        uint32_t address;
        AccessSize size;
    };
    uint32_t cswValue() const;
    AccessSize size() const;
    bool memoryAccess(uint32_t address, bool write, uint32_t& data, bool increment);
    bool transfer(uint32_t address, AccessSize size, bool write, uint32_t& value);
    void incrementTar(uint32_t bytes);

    const SimConfig& config_;
    Bus& bus_;
    TargetCounters& counters_;
    bool debugPowered_ = false;
    uint32_t sizeField_ = csw::kSize32;
    uint32_t addrInc_ = csw::kAddrIncOff;
    uint32_t prot_ = csw::kResetProt;
    uint32_t tar_ = 0;
    std::vector<AhbAccess> log_;
};

}  // namespace cm3sim
