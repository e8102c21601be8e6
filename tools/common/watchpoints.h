// Data watchpoints on the DWT's comparators (ARMv7-M C1.8), through word
// reads and writes of its registers. A watched range is cut into aligned
// power-of-two blocks, one comparator each with the address mask ignoring
// the block's low bits; a range needing more comparators than are free is
// refused as a whole.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cm3probe.h"

namespace cm3tools {

namespace dwt {
inline constexpr uint32_t kCtrl = 0xE0001000;
inline constexpr uint32_t kNumCompShift = 28;  // Bits 31:28 - NUMCOMP
inline constexpr uint32_t kComp0 = 0xE0001020;
inline constexpr uint32_t kComparatorStride = 16;  // COMPn, MASKn, FUNCTIONn, reserved
inline constexpr uint32_t kMaskOffset = 4;
inline constexpr uint32_t kFunctionOffset = 8;
inline constexpr uint32_t kMaskAllBits = 0x1F;      // Bits 4:0 - MASK; fewer may be implemented
inline constexpr uint32_t kFunctionField = 0xF;     // Bits 3:0 - FUNCTION
inline constexpr uint32_t kMatched = 1u << 24;      // cleared by reading FUNCTIONn
namespace function {
inline constexpr uint32_t kDisabled = 0b0000;
inline constexpr uint32_t kWatchRead = 0b0101;
inline constexpr uint32_t kWatchWrite = 0b0110;
inline constexpr uint32_t kWatchAccess = 0b0111;
}  // namespace function
constexpr uint32_t Comp(uint32_t n) { return kComp0 + n * kComparatorStride; }
constexpr uint32_t Mask(uint32_t n) { return Comp(n) + kMaskOffset; }
constexpr uint32_t Function(uint32_t n) { return Comp(n) + kFunctionOffset; }
static_assert(Comp(1) == 0xE0001030 && Mask(3) == 0xE0001054 && Function(2) == 0xE0001048);
}  // namespace dwt

enum class WatchKind { kWrite, kRead, kAccess };
const char* WatchKindName(WatchKind kind);  // "write", "read", "access"

// How the watchpoints reach the target: word reads and writes of system
// registers. A constant record; `context` is handed back to both.
struct WordBus {
    DebugResult (*read)(void* context, uint32_t address, uint32_t* value);
    DebugResult (*write)(void* context, uint32_t address, uint32_t value);
    void* context;
};
// The library's DebugReadMem/DebugWriteMem.
extern const WordBus kLibraryWordBus;

// One aligned block: 2^maskBits bytes at `address`.
struct WatchBlock {
    uint32_t address;
    uint32_t maskBits;
    bool operator==(const WatchBlock&) const = default;
};
// [address, address + length) as the fewest aligned blocks of at most
// 2^maxMaskBits bytes each. A zero length watches one byte.
std::vector<WatchBlock> SplitIntoBlocks(uint32_t address, uint32_t length, uint32_t maxMaskBits);

struct Watch {
    WatchKind kind;
    uint32_t address;
    uint32_t length;
    std::vector<uint32_t> comparators;  // one per block, in address order
    std::vector<WatchBlock> blocks;
};

class Watchpoints {
public:
    enum class Outcome { kOk, kAllInUse, kFailed };
    struct Status {
        Outcome outcome = Outcome::kOk;
        DebugResult result = DBG_OK;
        std::string message;  // empty when ok
        bool ok() const { return outcome == Outcome::kOk; }
    };
    struct Hit {
        WatchKind kind;
        uint32_t address;  // the matching block's, inside the watched range
    };

    explicit Watchpoints(const WordBus& bus) : bus_(bus) {}

    // Comparators others set (FUNCTION not zero) are left alone. The same
    // watchpoint again is already there.
    [[nodiscard]] Status add(WatchKind kind, uint32_t address, uint32_t length);
    // One that is not there is gone already.
    [[nodiscard]] DebugResult remove(WatchKind kind, uint32_t address, uint32_t length);
    [[nodiscard]] DebugResult removeAll();
    // After a halt with DFSR.DWTTRAP: the watchpoint whose comparator matched.
    // Reads every comparator in use, which clears their MATCHED bits.
    [[nodiscard]] std::optional<Hit> matched(DebugResult& result);

    const std::vector<Watch>& list() const { return watches_; }
    bool empty() const { return watches_.empty(); }
    // NUMCOMP, once the first add has read it.
    std::optional<uint32_t> comparatorCount() const { return count_; }

private:
    [[nodiscard]] Status discover();
    [[nodiscard]] DebugResult disable(const std::vector<uint32_t>& comparators);
    bool ours(uint32_t comparator) const;

    WordBus bus_;
    std::optional<uint32_t> count_;
    std::optional<uint32_t> maxMaskBits_;
    std::vector<Watch> watches_;
};

}  // namespace cm3tools
