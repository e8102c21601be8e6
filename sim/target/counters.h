// Event counts a test can assert on.
#pragma once

#include <cstdint>

namespace cm3sim {

struct TargetCounters {
    // Access port
    uint64_t apReads = 0;
    uint64_t apWrites = 0;
    uint64_t ahbAccesses = 0;  // AP-initiated bus transfers, including failed ones
    uint64_t ahbErrors = 0;
    // Debug registers
    uint64_t dhcsrReads = 0;
    uint64_t dhcsrWrites = 0;
    uint64_t dhcsrWritesWithoutKey = 0;
    uint64_t dcrsrWrites = 0;
    uint64_t dcrdrReads = 0;
    uint64_t dcrdrWrites = 0;
    uint64_t registerTransfers = 0;  // DCRSR transfers that completed
    // Resets
    uint64_t powerOnResets = 0;
    uint64_t systemResets = 0;
    uint64_t coreResets = 0;
};

}  // namespace cm3sim
