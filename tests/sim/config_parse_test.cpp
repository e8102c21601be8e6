// The JSON configuration: defaults, the example files, and rejection of bad
// input with a message that names the key.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <string>

#include "config.h"

namespace cm3sim {
namespace {

const std::filesystem::path kConfigs = std::filesystem::path(CM3PROBE_SIM_CONFIGS);

void ExpectDefaults(const SimConfig& c) {
    const SimConfig d;
    EXPECT_EQ(c.descriptions, d.descriptions);
    EXPECT_EQ(c.chip, ChipType::Ft2232D);
    EXPECT_EQ(c.swdpIdcode, 0x2BA01477u);
    EXPECT_EQ(c.jtagIdcode, 0x4BA00477u);
    EXPECT_EQ(c.apIdr, 0x24770011u);
    EXPECT_EQ(c.apBase, 0xE00FF003u);
    EXPECT_EQ(c.cpuid, 0x412FC230u);
    EXPECT_EQ(c.deviceId0, d.deviceId0);
    EXPECT_EQ(c.deviceId1, d.deviceId1);
    EXPECT_EQ(c.deviceCapabilities, d.deviceCapabilities);
    EXPECT_EQ(c.pllCfg, d.pllCfg);
    EXPECT_EQ(c.userDbg, 0xFFFFFFFEu);
    EXPECT_EQ(c.userReg, (std::array<uint32_t, 2>{0xFFFFFFFF, 0xFFFFFFFF}));
    EXPECT_EQ(c.flashReadEnable, (std::array<uint32_t, 4>{0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}));
    EXPECT_EQ(c.flashProgramEnable, c.flashReadEnable);
    EXPECT_EQ(c.flash.base, 0u);
    EXPECT_EQ(c.flash.size, 256u * 1024);
    EXPECT_EQ(c.sram.base, 0x20000000u);
    EXPECT_EQ(c.sram.size, 64u * 1024);
    EXPECT_TRUE(c.images.empty());
    EXPECT_EQ(c.flashProgramNs, d.flashProgramNs);
    EXPECT_EQ(c.flashEraseNs, d.flashEraseNs);
    EXPECT_EQ(c.flashMassEraseNs, d.flashMassEraseNs);
    EXPECT_EQ(c.instructionsPerMicrosecond, d.instructionsPerMicrosecond);
    EXPECT_EQ(c.resetDurationNs, d.resetDurationNs);
    EXPECT_EQ(c.registerTransferNs, d.registerTransferNs);
    EXPECT_TRUE(c.ahbErrorRegions.empty());
    EXPECT_EQ(c.waitNextApTransactions, 0u);
    EXPECT_FALSE(c.stickyErrorAtAhbAccess);
    EXPECT_FALSE(c.noTarget || c.powerUpNeverAcknowledged || c.regReadyNeverSet || c.resetNeverEnds);
    EXPECT_TRUE(c.driverFaults.empty());
    EXPECT_FALSE(c.logAhbAccesses || c.logWireTransactions);
    EXPECT_FALSE(c.readSensitiveRegister);
}

TEST(ConfigParse, EmptyObjectGivesTheDefaults) { ExpectDefaults(ParseSimConfig("{}")); }

TEST(ConfigParse, DefaultFileSpellsOutTheDefaults) {
    ExpectDefaults(LoadSimConfig((kConfigs / "default.json").string()));
}

TEST(ConfigParse, ExampleFileSetsEveryKey) {
    const SimConfig c = LoadSimConfig((kConfigs / "all_keys.json").string());
    EXPECT_EQ(c.descriptions, (std::vector<std::string>{"Bench Probe A", "Bench Probe B"}));
    EXPECT_EQ(c.chip, ChipType::Ft2232H);
    EXPECT_EQ(c.swdpIdcode, 0x1BA01477u);
    EXPECT_EQ(c.jtagIdcode, 0x3BA00477u);
    EXPECT_EQ(c.apIdr, 0x14770011u);
    EXPECT_EQ(c.apBase, 0xE00FF002u);
    EXPECT_EQ(c.cpuid, 0x411FC231u);
    EXPECT_EQ(c.deviceId0, 1u);
    EXPECT_EQ(c.deviceId1, 2u);
    EXPECT_EQ(c.deviceCapabilities, (std::array<uint32_t, 4>{3, 4, 5, 6}));
    EXPECT_EQ(c.pllCfg, 7u);
    EXPECT_EQ(c.userDbg, 8u);
    EXPECT_EQ(c.userReg, (std::array<uint32_t, 2>{9, 10}));
    EXPECT_EQ(c.flashReadEnable, (std::array<uint32_t, 4>{0xF, 0, 0, 0}));
    EXPECT_EQ(c.flashProgramEnable, (std::array<uint32_t, 4>{0xF0, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}))
        << "a shorter list keeps the remaining defaults";
    EXPECT_EQ(c.flash.size, 0x20000u);
    EXPECT_EQ(c.sram.size, 0x8000u);
    ASSERT_EQ(c.images.size(), 2u);
    EXPECT_EQ(std::filesystem::path(c.images[0].path), kConfigs / "firmware.elf") << "relative to the file";
    EXPECT_FALSE(c.images[0].address);
    EXPECT_EQ(c.images[1].path, "/absolute/data.bin");
    EXPECT_EQ(c.images[1].address, 0x20004000u);
    EXPECT_EQ(c.flashProgramNs, 1000u);
    EXPECT_EQ(c.flashEraseNs, 2000u);
    EXPECT_EQ(c.flashMassEraseNs, 3000u);
    EXPECT_EQ(c.instructionsPerMicrosecond, 8u);
    EXPECT_EQ(c.resetDurationNs, 4000u);
    EXPECT_EQ(c.registerTransferNs, 250u);
    ASSERT_EQ(c.ahbErrorRegions.size(), 1u);
    EXPECT_EQ(c.ahbErrorRegions[0].base, 0x20007F00u);
    EXPECT_EQ(c.ahbErrorRegions[0].size, 256u);
    EXPECT_EQ(c.waitNextApTransactions, 3u);
    EXPECT_EQ(c.stickyErrorAtAhbAccess, 7u);
    EXPECT_TRUE(c.noTarget && c.powerUpNeverAcknowledged && c.regReadyNeverSet && c.resetNeverEnds);
    ASSERT_EQ(c.driverFaults.size(), 2u);
    EXPECT_EQ(c.driverFaults[0].op, DriverOp::Open);
    EXPECT_FALSE(c.driverFaults[0].always);
    EXPECT_EQ(c.driverFaults[1].op, DriverOp::Read);
    EXPECT_TRUE(c.driverFaults[1].always);
    EXPECT_EQ(c.driverFaults[1].skip, 2u);
    EXPECT_TRUE(c.driverFaults[1].shortTransfer);
    EXPECT_TRUE(c.logAhbAccesses && c.logWireTransactions);
    EXPECT_EQ(c.readSensitiveRegister, 0x20000100u);
}

TEST(ConfigParse, NumbersMayBeWrittenAsStrings) {
    EXPECT_EQ(ParseSimConfig(R"({"cpuid": "0x412fc231"})").cpuid, 0x412FC231u);
    EXPECT_EQ(ParseSimConfig(R"({"cpuid": "0X10"})").cpuid, 0x10u);
    EXPECT_EQ(ParseSimConfig(R"({"cpuid": "123"})").cpuid, 123u);
    EXPECT_EQ(ParseSimConfig(R"({"flash_erase_ns": "0xFFFFFFFFFF"})").flashEraseNs, 0xFFFFFFFFFFu);
    EXPECT_EQ(ParseSimConfig(R"({"chip": "ft2232h"})").chip, ChipType::Ft2232H);
    const SimConfig partial = ParseSimConfig(R"({"flash": {"size": 4096}})");
    EXPECT_EQ(partial.flash.size, 4096u);
    EXPECT_EQ(partial.flash.base, 0u) << "unset members keep their defaults";
}

struct BadCase {
    const char* json;
    const char* key;  // the message must name it
};

void PrintTo(const BadCase& c, std::ostream* os) { *os << c.json; }

class ConfigRejectTest : public ::testing::TestWithParam<BadCase> {};

TEST_P(ConfigRejectTest, NamesTheBadKey) {
    const BadCase c = GetParam();
    try {
        ParseSimConfig(c.json);
        FAIL() << "accepted " << c.json;
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find(std::string("\"") + c.key + "\""), std::string::npos)
            << error.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    BadInput, ConfigRejectTest,
    ::testing::Values(BadCase{R"({"cpu_id": 1})", "cpu_id"}, BadCase{R"({"cpuid": -1})", "cpuid"},
                      BadCase{R"({"cpuid": 1.5})", "cpuid"}, BadCase{R"({"cpuid": "0x1G"})", "cpuid"},
                      BadCase{R"({"cpuid": "0x"})", "cpuid"}, BadCase{R"({"cpuid": "0x100000000"})", "cpuid"},
                      BadCase{R"({"cpuid": true})", "cpuid"}, BadCase{R"({"chip": "FT232R"})", "chip"},
                      BadCase{R"({"no_target": 1})", "no_target"}, BadCase{R"({"descriptions": "A"})", "descriptions"},
                      BadCase{R"({"descriptions": ["A", 2]})", "descriptions[1]"},
                      BadCase{R"({"flash": {"base": 0, "length": 4}})", "flash.length"},
                      BadCase{R"({"flash": {"base": "0xFFFFF000", "size": "0x2000"}})", "flash"},
                      BadCase{R"({"images": [{"address": 0}]})", "images[0].path"},
                      BadCase{R"({"images": [{"path": "a", "addr": 0}]})", "images[0].addr"},
                      BadCase{R"({"ahb_error_regions": [{"base": 1, "size": []}]})", "ahb_error_regions[0].size"},
                      BadCase{R"({"driver_faults": [{"op": "reopen"}]})", "driver_faults[0].op"},
                      BadCase{R"({"driver_faults": [{"always": true}]})", "driver_faults[0].op"},
                      BadCase{R"({"sticky_error_at_ahb_access": "seven"})", "sticky_error_at_ahb_access"},
                      BadCase{R"({"read_sensitive_register": {}})", "read_sensitive_register"},
                      BadCase{R"({"user_reg": [1, 2, 3]})", "user_reg"},
                      BadCase{R"({"device_capabilities": [1, "x"]})", "device_capabilities[1]"},
                      BadCase{R"([1, 2])", "(top level)"}));

TEST(ConfigParse, MalformedJsonAndMissingFilesAreReported) {
    EXPECT_THROW(ParseSimConfig("{\"cpuid\": "), std::runtime_error);
    try {
        LoadSimConfig((kConfigs / "no_such_file.json").string());
        FAIL();
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("cannot open"), std::string::npos);
    }
}

}  // namespace
}  // namespace cm3sim
