#include "descriptions.h"

#include <array>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "common/flash.h"
#include "common/target_registers.h"

namespace cm3tools::gdb {
namespace {

inline constexpr uint32_t kBitsPerByte = 8;
inline constexpr uint32_t kWordBits = 32;
inline constexpr uint32_t kFieldBits = 8;  // the special registers packed into REGSEL 20

// Features GDB's ARM support recognises by name; the third is ours.
inline constexpr std::string_view kProfileFeature = "org.gnu.gdb.arm.m-profile";
inline constexpr std::string_view kSystemFeature = "org.gnu.gdb.arm.m-system";
inline constexpr std::string_view kSpecialFeature = "org.cm3probe.m3-special";

struct Row {
    std::string_view name;
    uint32_t bits;
    std::string_view type;
    std::string_view group;
    std::string_view feature;
};

constexpr Row kRows[] = {
    {"r0", kWordBits, "uint32", "general", kProfileFeature},
    {"r1", kWordBits, "uint32", "general", kProfileFeature},
    {"r2", kWordBits, "uint32", "general", kProfileFeature},
    {"r3", kWordBits, "uint32", "general", kProfileFeature},
    {"r4", kWordBits, "uint32", "general", kProfileFeature},
    {"r5", kWordBits, "uint32", "general", kProfileFeature},
    {"r6", kWordBits, "uint32", "general", kProfileFeature},
    {"r7", kWordBits, "uint32", "general", kProfileFeature},
    {"r8", kWordBits, "uint32", "general", kProfileFeature},
    {"r9", kWordBits, "uint32", "general", kProfileFeature},
    {"r10", kWordBits, "uint32", "general", kProfileFeature},
    {"r11", kWordBits, "uint32", "general", kProfileFeature},
    {"r12", kWordBits, "uint32", "general", kProfileFeature},
    {"sp", kWordBits, "data_ptr", "general", kProfileFeature},
    {"lr", kWordBits, "code_ptr", "general", kProfileFeature},
    {"pc", kWordBits, "code_ptr", "general", kProfileFeature},
    {"xpsr", kWordBits, "uint32", "general", kProfileFeature},
    {"msp", kWordBits, "data_ptr", "system", kSystemFeature},
    {"psp", kWordBits, "data_ptr", "system", kSystemFeature},
    {"primask", kFieldBits, "uint8", "system", kSpecialFeature},
    {"basepri", kFieldBits, "uint8", "system", kSpecialFeature},
    {"faultmask", kFieldBits, "uint8", "system", kSpecialFeature},
    {"control", kFieldBits, "uint8", "system", kSpecialFeature},
};

std::vector<GdbRegister> BuildRegisters() {
    std::vector<GdbRegister> registers;
    for (const Row& row : kRows) {
        const auto core = FindRegister(row.name);
        if (!core) throw std::logic_error("no core register named " + std::string(row.name));
        registers.push_back({row.name, row.bits, row.type, row.group, row.feature, *core});
    }
    return registers;
}

std::string Hex(uint32_t value) {
    char text[sizeof("0xffffffff")];
    std::snprintf(text, sizeof(text), "0x%x", value);
    return text;
}

std::string BuildTargetXml() {
    std::string xml =
        "<?xml version=\"1.0\"?>\n"
        "<!DOCTYPE target SYSTEM \"gdb-target.dtd\">\n"
        "<target version=\"1.0\">\n"
        "  <architecture>arm</architecture>\n";
    std::string_view open;
    uint32_t number = 0;
    for (const GdbRegister& reg : Registers()) {
        if (reg.feature != open) {
            if (!open.empty()) xml += "  </feature>\n";
            open = reg.feature;
            xml += "  <feature name=\"" + std::string(open) + "\">\n";
        }
        xml += "    <reg name=\"" + std::string(reg.name) + "\" bitsize=\"" + std::to_string(reg.bits) +
               "\" regnum=\"" + std::to_string(number++) + "\" type=\"" + std::string(reg.type) +
               "\" group=\"" + std::string(reg.group) + "\"/>\n";
    }
    xml += "  </feature>\n</target>\n";
    return xml;
}

std::string BuildMemoryMapXml() {
    using namespace target_memory;
    return "<?xml version=\"1.0\"?>\n"
           "<memory-map>\n"
           "  <memory type=\"flash\" start=\"" + Hex(memory_map::kFlashBase) + "\" length=\"" + Hex(kFlashSize) +
           "\">\n"
           "    <property name=\"blocksize\">" + Hex(flash::kPageSize) + "</property>\n"
           "  </memory>\n"
           "  <memory type=\"ram\" start=\"" + Hex(memory_map::kSramBase) + "\" length=\"" + Hex(kSramSize) +
           "\"/>\n"
           "  <memory type=\"ram\" start=\"" + Hex(kPeripheralBase) + "\" length=\"" + Hex(kPeripheralSize) +
           "\"/>\n"
           "  <memory type=\"ram\" start=\"" + Hex(kSystemBase) + "\" length=\"" + Hex(kSystemSize) + "\"/>\n"
           "</memory-map>\n";
}

}  // namespace

uint32_t GdbRegister::bytes() const { return bits / kBitsPerByte; }

std::span<const GdbRegister> Registers() {
    static const std::vector<GdbRegister> registers = BuildRegisters();
    return registers;
}

const std::string& TargetXml() {
    static const std::string xml = BuildTargetXml();
    return xml;
}

const std::string& MemoryMapXml() {
    static const std::string xml = BuildMemoryMapXml();
    return xml;
}

}  // namespace cm3tools::gdb
