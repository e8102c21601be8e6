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

}  // namespace cm3tools
