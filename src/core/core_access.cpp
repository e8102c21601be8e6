#include "core/core_access.h"

#include "core/scs_registers.h"
#include "dap/dap_access.h"
#include "dap/dp_registers.h"
#include "memory/size_code.h"

namespace cm3probe::core {

DebugResult ReadWord(uint32_t address, uint32_t* value) { return DebugReadMem(address, value, size_code::kWord); }

DebugResult WriteWord(uint32_t address, uint32_t value) { return DebugWriteMem(address, value, size_code::kWord); }

DebugResult WriteDhcsr(uint32_t controlBits) { return WriteWord(dhcsr::kAddress, dhcsr::kDebugKey | controlBits); }

bool PollDhcsr(uint32_t mask, Awaited awaited) {
    for (uint32_t read = 0; read < kPollReads; ++read) {
        uint32_t value = 0;
        if (ReadWord(dhcsr::kAddress, &value) != DBG_OK) continue;
        bool set = (value & mask) != 0;
        if (set == (awaited == Awaited::AnySet)) return true;
    }
    return false;
}

uint32_t CoreStateOrZero() {
    uint32_t state = 0;
    if (DebugGetCoreState(&state) != DBG_OK) state = 0;
    return state;
}

void RefreshCoreState() { (void)CoreStateOrZero(); }

bool StickyAfterRequest() {
    uint32_t ctrlStat = 0;
    if (!IsOk(ReadDpRegister(dp::kCtrlStat, &ctrlStat))) ctrlStat = 0;
    if (StickyFlags(ctrlStat) == 0) return false;
    ClearStickyError(ctrlStat);
    return true;
}

}  // namespace cm3probe::core
