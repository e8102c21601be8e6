#include "fault_catch.h"

namespace cm3tools {
namespace {
inline constexpr uint32_t kWordSize = 2;  // DebugReadMem/DebugWriteMem size code
}  // namespace

WordAccess LibraryWords() {
    return WordAccess{
        [](void*, uint32_t address, uint32_t* value) { return DebugReadMem(address, value, kWordSize); },
        [](void*, uint32_t address, uint32_t value) { return DebugWriteMem(address, value, kWordSize); }, nullptr};
}

DebugResult ResumeWithFaultCatch(const WordAccess& words, uint32_t* dhcsr) {
    DebugResult result = words.write(words.context, demcr::kAddress, kFaultCatches);
    // Clear the reasons of the last halt so the next one reads alone.
    if (result == DBG_OK) result = words.write(words.context, dfsr::kAddress, dfsr::kAll);
    if (result == DBG_OK) result = words.write(words.context, dhcsr::kAddress, dhcsr::kDebugKey | dhcsr::kCDebugEn);
    if (result == DBG_OK) result = words.read(words.context, dhcsr::kAddress, dhcsr);
    return result;
}

}  // namespace cm3tools
