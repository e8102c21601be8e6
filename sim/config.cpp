#include "config.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string_view>

#include <nlohmann/json.hpp>

namespace cm3sim {

namespace {

using nlohmann::json;

constexpr std::string_view kHexPrefix = "0x";
constexpr int kHexBase = 16;
constexpr int kDecimalBase = 10;
constexpr uint64_t kMaxU32 = std::numeric_limits<uint32_t>::max();
constexpr uint64_t kMaxU64 = std::numeric_limits<uint64_t>::max();

[[noreturn]] void Fail(const std::string& key, const std::string& what) {
    throw std::runtime_error("sim config: \"" + key + "\": " + what);
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

// A number, or a string holding a decimal or 0x-prefixed hex number.
uint64_t Unsigned(const json& value, const std::string& key, uint64_t max) {
    uint64_t result = 0;
    if (value.is_number_unsigned()) {
        result = value.get<uint64_t>();
    } else if (value.is_number_integer()) {
        Fail(key, "must not be negative");
    } else if (value.is_string()) {
        const std::string text = Lower(value.get<std::string>());
        const bool hex = text.starts_with(kHexPrefix);
        const std::string digits = hex ? text.substr(kHexPrefix.size()) : text;
        const int base = hex ? kHexBase : kDecimalBase;
        if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [base](unsigned char c) {
                return base == kHexBase ? std::isxdigit(c) != 0 : std::isdigit(c) != 0;
            })) {
            Fail(key, "\"" + value.get<std::string>() + "\" is not a number (write 0x1F or 31)");
        }
        try {
            result = std::stoull(digits, nullptr, base);
        } catch (const std::out_of_range&) {
            Fail(key, "out of range");
        }
    } else {
        Fail(key, "expected a number or a string such as \"0x20000000\"");
    }
    if (result > max) Fail(key, "out of range (at most " + std::to_string(max) + ")");
    return result;
}

uint32_t U32(const json& value, const std::string& key) { return uint32_t(Unsigned(value, key, kMaxU32)); }
uint64_t U64(const json& value, const std::string& key) { return Unsigned(value, key, kMaxU64); }

bool Bool(const json& value, const std::string& key) {
    if (!value.is_boolean()) Fail(key, "expected true or false");
    return value.get<bool>();
}

std::string String(const json& value, const std::string& key) {
    if (!value.is_string()) Fail(key, "expected a string");
    return value.get<std::string>();
}

const json& Array(const json& value, const std::string& key) {
    if (!value.is_array()) Fail(key, "expected an array");
    return value;
}

std::string Element(const std::string& key, size_t index) { return key + "[" + std::to_string(index) + "]"; }

using FieldParser = std::function<void(const json&, const std::string&)>;

// Applies each member of `object` through its parser; unknown members are errors.
void ParseObject(const json& object, const std::string& key, const std::map<std::string, FieldParser>& fields) {
    if (!object.is_object()) Fail(key.empty() ? "(top level)" : key, "expected an object");
    for (const auto& [name, value] : object.items()) {
        const std::string path = key.empty() ? name : key + "." + name;
        const auto field = fields.find(name);
        if (field == fields.end()) Fail(path, "unknown key");
        field->second(value, path);
    }
}

AddressRange Range(const json& value, const std::string& key, const AddressRange& defaults) {
    AddressRange range = defaults;
    ParseObject(value, key,
                {{"base", [&](const json& v, const std::string& k) { range.base = U32(v, k); }},
                 {"size", [&](const json& v, const std::string& k) { range.size = U32(v, k); }}});
    if (uint64_t{range.base} + range.size > kMaxU32 + 1) Fail(key, "runs past the end of the address space");
    return range;
}

ChipType Chip(const json& value, const std::string& key) {
    const std::string name = Lower(String(value, key));
    if (name == "ft2232d") return ChipType::Ft2232D;
    if (name == "ft2232h") return ChipType::Ft2232H;
    Fail(key, "expected \"FT2232D\" or \"FT2232H\"");
}

DriverOp Op(const json& value, const std::string& key) {
    static const std::map<std::string, DriverOp> kOps{
        {"open", DriverOp::Open},   {"bit_mode", DriverOp::BitMode},         {"write", DriverOp::Write},
        {"read", DriverOp::Read},   {"purge", DriverOp::Purge},              {"latency_timer", DriverOp::LatencyTimer},
        {"close", DriverOp::Close}, {"list", DriverOp::List},
    };
    const auto op = kOps.find(String(value, key));
    if (op == kOps.end()) {
        Fail(key, "expected one of open, bit_mode, write, read, purge, latency_timer, close, list");
    }
    return op->second;
}

MemoryImage Image(const json& value, const std::string& key) {
    MemoryImage image;
    bool hasPath = false;
    ParseObject(value, key,
                {{"path",
                  [&](const json& v, const std::string& k) {
                      image.path = String(v, k);
                      hasPath = true;
                  }},
                 {"address", [&](const json& v, const std::string& k) { image.address = U32(v, k); }}});
    if (!hasPath) Fail(key + ".path", "missing");
    return image;
}

DriverFault Fault(const json& value, const std::string& key) {
    DriverFault fault;
    bool hasOp = false;
    ParseObject(value, key,
                {{"op",
                  [&](const json& v, const std::string& k) {
                      fault.op = Op(v, k);
                      hasOp = true;
                  }},
                 {"always", [&](const json& v, const std::string& k) { fault.always = Bool(v, k); }},
                 {"skip", [&](const json& v, const std::string& k) { fault.skip = U32(v, k); }},
                 {"short_transfer", [&](const json& v, const std::string& k) { fault.shortTransfer = Bool(v, k); }}});
    if (!hasOp) Fail(key + ".op", "missing");
    return fault;
}

template <typename T, typename Parse>
std::vector<T> List(const json& value, const std::string& key, Parse parse) {
    std::vector<T> items;
    const json& array = Array(value, key);
    for (size_t i = 0; i < array.size(); ++i) items.push_back(parse(array[i], Element(key, i)));
    return items;
}

// A fixed-size list of words; a shorter list leaves the remaining defaults.
template <size_t N>
void Words(const json& value, const std::string& key, std::array<uint32_t, N>& words) {
    const json& array = Array(value, key);
    if (array.size() > N) Fail(key, "at most " + std::to_string(N) + " values");
    for (size_t i = 0; i < array.size(); ++i) words[i] = U32(array[i], Element(key, i));
}

template <typename T, typename Parse>
std::optional<T> Optional(const json& value, const std::string& key, Parse parse) {
    if (value.is_null()) return std::nullopt;
    return parse(value, key);
}

void Apply(const json& document, SimConfig& c) {
    auto u32 = [](uint32_t& field) { return [&field](const json& v, const std::string& k) { field = U32(v, k); }; };
    auto u64 = [](uint64_t& field) { return [&field](const json& v, const std::string& k) { field = U64(v, k); }; };
    auto flag = [](bool& field) { return [&field](const json& v, const std::string& k) { field = Bool(v, k); }; };
    ParseObject(
        document, "",
        {
            {"descriptions",
             [&](const json& v, const std::string& k) { c.descriptions = List<std::string>(v, k, String); }},
            {"chip", [&](const json& v, const std::string& k) { c.chip = Chip(v, k); }},
            {"swdp_idcode", u32(c.swdpIdcode)},
            {"jtag_idcode", u32(c.jtagIdcode)},
            {"ap_idr", u32(c.apIdr)},
            {"ap_base", u32(c.apBase)},
            {"cpuid", u32(c.cpuid)},
            {"device_id0", u32(c.deviceId0)},
            {"device_id1", u32(c.deviceId1)},
            {"device_capabilities",
             [&](const json& v, const std::string& k) { Words(v, k, c.deviceCapabilities); }},
            {"pll_cfg", u32(c.pllCfg)},
            {"user_dbg", u32(c.userDbg)},
            {"user_reg", [&](const json& v, const std::string& k) { Words(v, k, c.userReg); }},
            {"flash_read_enable", [&](const json& v, const std::string& k) { Words(v, k, c.flashReadEnable); }},
            {"flash_program_enable",
             [&](const json& v, const std::string& k) { Words(v, k, c.flashProgramEnable); }},
            {"flash", [&](const json& v, const std::string& k) { c.flash = Range(v, k, c.flash); }},
            {"sram", [&](const json& v, const std::string& k) { c.sram = Range(v, k, c.sram); }},
            {"images", [&](const json& v, const std::string& k) { c.images = List<MemoryImage>(v, k, Image); }},
            {"flash_program_ns", u64(c.flashProgramNs)},
            {"flash_erase_ns", u64(c.flashEraseNs)},
            {"flash_mass_erase_ns", u64(c.flashMassEraseNs)},
            {"instructions_per_microsecond", u32(c.instructionsPerMicrosecond)},
            {"reset_duration_ns", u64(c.resetDurationNs)},
            {"register_transfer_ns", u64(c.registerTransferNs)},
            {"ahb_error_regions",
             [&](const json& v, const std::string& k) {
                 c.ahbErrorRegions = List<AddressRange>(
                     v, k, [](const json& e, const std::string& ek) { return Range(e, ek, AddressRange{}); });
             }},
            {"wait_next_ap_transactions", u32(c.waitNextApTransactions)},
            {"sticky_error_at_ahb_access",
             [&](const json& v, const std::string& k) { c.stickyErrorAtAhbAccess = Optional<uint64_t>(v, k, U64); }},
            {"no_target", flag(c.noTarget)},
            {"power_up_never_acknowledged", flag(c.powerUpNeverAcknowledged)},
            {"reg_ready_never_set", flag(c.regReadyNeverSet)},
            {"reset_never_ends", flag(c.resetNeverEnds)},
            {"driver_faults",
             [&](const json& v, const std::string& k) { c.driverFaults = List<DriverFault>(v, k, Fault); }},
            {"log_ahb_accesses", flag(c.logAhbAccesses)},
            {"log_wire_transactions", flag(c.logWireTransactions)},
            {"read_sensitive_register",
             [&](const json& v, const std::string& k) { c.readSensitiveRegister = Optional<uint32_t>(v, k, U32); }},
        });
}

json Parse(const std::string& text, const std::string& source) {
    try {
        return json::parse(text);
    } catch (const json::parse_error& error) {
        throw std::runtime_error("sim config " + source + ": not valid JSON: " + error.what());
    }
}

}  // namespace

SimConfig ParseSimConfig(const std::string& jsonText) {
    SimConfig config;
    Apply(Parse(jsonText, "text"), config);
    return config;
}

SimConfig LoadSimConfig(const std::string& path) {
    std::ifstream file(path);
    if (!file) throw std::runtime_error("sim config " + path + ": cannot open");
    std::stringstream text;
    text << file.rdbuf();
    SimConfig config;
    try {
        Apply(Parse(text.str(), path), config);
    } catch (const std::runtime_error& error) {
        // A bad value names its key; say which file it is in too.
        const std::string what = error.what();
        constexpr std::string_view kKeyPrefix = "sim config: ";
        if (!what.starts_with(kKeyPrefix)) throw;
        throw std::runtime_error("sim config " + path + ": " + what.substr(kKeyPrefix.size()));
    }
    // Image paths in a file are relative to the file.
    const std::filesystem::path directory = std::filesystem::path(path).parent_path();
    for (MemoryImage& image : config.images) {
        if (std::filesystem::path(image.path).is_relative()) image.path = (directory / image.path).string();
    }
    return config;
}

}  // namespace cm3sim
