// The simulator's configuration: the virtual adapter, the target's identity and
// memory, timing, fault injection and observation. Read from a JSON file
// (CM3PROBE_SIM_CONFIG) over built-in defaults; see sim/README.md.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cm3sim {

enum class ChipType { Ft2232D, Ft2232H };

struct AddressRange {
    uint32_t base = 0;
    uint32_t size = 0;
    bool contains(uint32_t address) const { return address - base < size; }
};

struct MemoryImage {
    std::string path;
    std::optional<uint32_t> address;  // required for raw binaries; ELF images carry their own
};

// Which driver operation a fault hits.
enum class DriverOp { Open, BitMode, Write, Read, Purge, LatencyTimer, Close, List };

struct DriverFault {
    DriverOp op = DriverOp::Write;
    bool always = false;      // false: fail once, then behave
    uint32_t skip = 0;        // let this many calls of `op` pass first
    bool shortTransfer = false;  // write/read: succeed but move fewer bytes
};

struct SimConfig {
    // Adapter
    std::vector<std::string> descriptions{"USB Debug Bridge A", "USB Debug Bridge B"};
    ChipType chip = ChipType::Ft2232D;

    // Identity
    uint32_t swdpIdcode = 0x2BA01477;
    uint32_t jtagIdcode = 0x4BA00477;
    uint32_t apIdr = 0x24770011;
    uint32_t apBase = 0xE00FF003;
    uint32_t cpuid = 0x412FC230;
    uint32_t deviceId0 = 0x10010101;  // at 0x400FE000
    uint32_t deviceId1 = 0x10A1606E;  // at 0x400FE004
    // DC1..DC4 at 0x400FE010: the peripherals present. DC0 follows from the
    // flash and SRAM sizes.
    std::array<uint32_t, 4> deviceCapabilities{0x001132FF, 0x030F5317, 0x8F0F87FF, 0x5000007F};
    uint32_t pllCfg = 0x0000C0C1;  // PLLCFG (0x400FE064): set by the part from the crystal

    // Non-volatile registers as last committed: USER_DBG, USER_REG0/1 and
    // FMPRE0..3 / FMPPE0..3 (one bit per 2 KB block, 1 = enabled).
    uint32_t userDbg = 0xFFFFFFFE;
    std::array<uint32_t, 2> userReg{0xFFFFFFFF, 0xFFFFFFFF};
    std::array<uint32_t, 4> flashReadEnable{0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
    std::array<uint32_t, 4> flashProgramEnable{0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};

    // Memory
    AddressRange flash{0x00000000, 256 * 1024};
    AddressRange sram{0x20000000, 64 * 1024};
    std::vector<MemoryImage> images;

    // Timing (virtual nanoseconds)
    uint64_t flashProgramNs = 50'000;
    uint64_t flashEraseNs = 20'000'000;
    uint64_t flashMassEraseNs = 200'000'000;
    uint32_t instructionsPerMicrosecond = 50;
    uint64_t resetDurationNs = 1'000;     // a reset lasts this long after its cause ends
    uint64_t registerTransferNs = 0;      // DCRSR transfer time before S_REGRDY sets

    // Target faults
    std::vector<AddressRange> ahbErrorRegions;
    uint32_t waitNextApTransactions = 0;
    std::optional<uint64_t> stickyErrorAtAhbAccess;  // index of the AHB access, counted from 0
    bool noTarget = false;
    bool powerUpNeverAcknowledged = false;
    bool regReadyNeverSet = false;
    bool resetNeverEnds = false;

    // Adapter faults
    std::vector<DriverFault> driverFaults;

    // Observation
    bool logAhbAccesses = false;
    bool logWireTransactions = false;
    std::optional<uint32_t> readSensitiveRegister;  // each read returns a count and increments it
};

// Defaults, overlaid with the JSON file at `path`. Throws std::runtime_error
// with a message naming the bad key on malformed input.
SimConfig LoadSimConfig(const std::string& path);
// Defaults overlaid with JSON text.
SimConfig ParseSimConfig(const std::string& jsonText);

}  // namespace cm3sim
