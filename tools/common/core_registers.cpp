#include "core_registers.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>

#include "target_registers.h"

namespace cm3tools {
namespace {

constexpr std::array<CoreRegister, 19> kListed{{
    {"r0", regsel::kR0, {}},        {"r1", 1, {}},          {"r2", 2, {}},
    {"r3", 3, {}},                  {"r4", 4, {}},          {"r5", 5, {}},
    {"r6", 6, {}},                  {"r7", 7, {}},          {"r8", 8, {}},
    {"r9", 9, {}},                  {"r10", 10, {}},        {"r11", 11, {}},
    {"r12", regsel::kR12, {}},      {"sp", regsel::kSp, {}}, {"lr", regsel::kLr, {}},
    {"pc", regsel::kPc, {}},        {"xpsr", regsel::kXpsr, {}}, {"msp", regsel::kMsp, {}},
    {"psp", regsel::kPsp, {}},
}};
constexpr CoreRegister kSpecialWord{"special", regsel::kSpecial, {}};

constexpr std::array<CoreRegister, 4> kFields{{
    {"control", regsel::kSpecial, special::kControlShift},
    {"faultmask", regsel::kSpecial, special::kFaultmaskShift},
    {"basepri", regsel::kSpecial, special::kBasepriShift},
    {"primask", regsel::kSpecial, special::kPrimaskShift},
}};

struct Alias {
    std::string_view name;
    uint32_t selector;
};
constexpr std::array<Alias, 3> kAliases{{{"r13", regsel::kSp}, {"r14", regsel::kLr}, {"r15", regsel::kPc}}};

constexpr auto kAllListed = [] {
    std::array<CoreRegister, kListed.size() + 1> all{};
    std::copy(kListed.begin(), kListed.end(), all.begin());
    all.back() = kSpecialWord;
    return all;
}();

std::string Lower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

}  // namespace

std::span<const CoreRegister> ListedRegisters() { return kAllListed; }

std::optional<CoreRegister> FindRegister(std::string_view name) {
    const std::string wanted = Lower(name);
    for (const CoreRegister& reg : kAllListed) {
        if (reg.name == wanted) return reg;
    }
    for (const CoreRegister& field : kFields) {
        if (field.name == wanted) return field;
    }
    for (const Alias& alias : kAliases) {
        if (alias.name == wanted) return CoreRegister{alias.name, alias.selector, {}};
    }
    return std::nullopt;
}

std::string RegisterNames() {
    std::string names;
    auto add = [&](std::string_view name) {
        if (!names.empty()) names += ' ';
        names += name;
    };
    for (const CoreRegister& reg : kAllListed) add(reg.name);
    for (const CoreRegister& field : kFields) add(field.name);
    for (const Alias& alias : kAliases) add(alias.name);
    return names;
}

uint32_t FieldValue(const CoreRegister& reg, uint32_t whole) {
    if (!reg.fieldShift) return whole;
    return (whole >> *reg.fieldShift) & special::kFieldMask;
}

uint32_t MergeField(const CoreRegister& reg, uint32_t whole, uint32_t value) {
    if (!reg.fieldShift) return value;
    const uint32_t mask = special::kFieldMask << *reg.fieldShift;
    return (whole & ~mask) | ((value << *reg.fieldShift) & mask);
}

std::string DescribeSpecial(uint32_t word) {
    std::string text;
    for (const CoreRegister& field : kFields) {
        std::string upper(field.name);
        std::transform(upper.begin(), upper.end(), upper.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        char part[32];
        std::snprintf(part, sizeof part, "%s%s 0x%02X", text.empty() ? "" : " ", upper.c_str(),
                      FieldValue(field, word));
        text += part;
    }
    return text;
}

}  // namespace cm3tools
