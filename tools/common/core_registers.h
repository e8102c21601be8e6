// Core registers by name, as the tools show and accept them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace cm3tools {

struct CoreRegister {
    std::string_view name;
    uint32_t selector;  // DCRSR REGSEL
    // For CONTROL, FAULTMASK, BASEPRI and PRIMASK: the byte of the packed
    // REGSEL 20 word that holds them. Whole registers have none.
    std::optional<uint32_t> fieldShift;
};

// r0-r12, sp, lr, pc, xpsr, msp, psp and the packed special word, in the
// order `regs` shows them.
std::span<const CoreRegister> ListedRegisters();
// Any listed name, the alias r13/r14/r15, or one field of the special word
// (control, faultmask, basepri, primask); case-insensitive.
std::optional<CoreRegister> FindRegister(std::string_view name);

// Every name FindRegister accepts, for help texts.
std::string RegisterNames();

// A whole register read by `selector` and the value `name` shows.
uint32_t FieldValue(const CoreRegister& reg, uint32_t whole);
// The whole word to write so that `reg` reads `value`, the rest unchanged.
uint32_t MergeField(const CoreRegister& reg, uint32_t whole, uint32_t value);

// "CONTROL 0x00 FAULTMASK 0x00 BASEPRI 0x00 PRIMASK 0x01"
std::string DescribeSpecial(uint32_t word);

}  // namespace cm3tools
