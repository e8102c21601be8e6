// The tools' shared pieces that need no target: number parsing, register
// names, image loading, output formats, result texts.
#include <gtest/gtest.h>

#include "cli/format.h"
#include "cli_support.h"
#include "common/adapters.h"
#include "common/core_registers.h"
#include "common/image.h"
#include "common/numbers.h"
#include "common/progress.h"
#include "common/results.h"
#include "common/transfer.h"

namespace cm3test {
namespace {

using cm3tools::ParseFrequency;
using cm3tools::ParseU32;

struct NumberCase {
    const char* text;
    std::optional<uint32_t> value;
};

class ParseU32Test : public ::testing::TestWithParam<NumberCase> {};

TEST_P(ParseU32Test, AcceptsOnlyWholeNumbersThatFit) { EXPECT_EQ(ParseU32(GetParam().text), GetParam().value); }

INSTANTIATE_TEST_SUITE_P(Numbers, ParseU32Test,
                         ::testing::Values(NumberCase{"0", 0u}, NumberCase{"4096", 4096u},
                                           NumberCase{"0x20000000", 0x20000000u}, NumberCase{"0XfF", 0xFFu},
                                           NumberCase{"0b101", 5u}, NumberCase{"4294967295", 0xFFFFFFFFu},
                                           NumberCase{"0xFFFFFFFF", 0xFFFFFFFFu}, NumberCase{"4294967296", {}},
                                           NumberCase{"0x100000000", {}}, NumberCase{"", {}}, NumberCase{"0x", {}},
                                           NumberCase{"-1", {}}, NumberCase{"12abc", {}}, NumberCase{"0x1g", {}},
                                           NumberCase{" 1", {}}, NumberCase{"0b102", {}}));

class ParseFrequencyTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(ParseFrequencyTest, ScalesSuffixes) { EXPECT_EQ(ParseFrequency(GetParam().text), GetParam().value); }

INSTANTIATE_TEST_SUITE_P(Frequencies, ParseFrequencyTest,
                         ::testing::Values(NumberCase{"1000000", 1000000u}, NumberCase{"400k", 400000u},
                                           NumberCase{"400K", 400000u}, NumberCase{"6M", 6000000u},
                                           NumberCase{"4294M", 4294000000u}, NumberCase{"4295M", {}},
                                           NumberCase{"M", {}}, NumberCase{"1m", {}}, NumberCase{"fast", {}}));

TEST(CoreRegisters, ListsEveryRegisterOnceInDcrsrOrder) {
    const auto listed = cm3tools::ListedRegisters();
    const std::vector<std::string> expected{"r0", "r1", "r2",  "r3", "r4", "r5",   "r6",  "r7",  "r8",     "r9",
                                            "r10", "r11", "r12", "sp", "lr", "pc", "xpsr", "msp", "psp", "special"};
    ASSERT_EQ(listed.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(listed[i].name, expected[i]);
    // REGSEL: r0-r12 0-12, sp 13, lr 14, pc 15, xPSR 16, MSP 17, PSP 18, the special word 20.
    for (uint32_t i = 0; i <= 18; ++i) EXPECT_EQ(listed[i].selector, i) << listed[i].name;
    EXPECT_EQ(listed.back().selector, 20u);
}

TEST(CoreRegisters, FindsAliasesAndFieldsCaseInsensitively) {
    struct Case {
        const char* name;
        uint32_t selector;
        std::optional<uint32_t> shift;
    };
    for (const Case& c : {Case{"R13", 13, {}}, Case{"r14", 14, {}}, Case{"r15", 15, {}}, Case{"PC", 15, {}},
                          Case{"primask", 20, 0u}, Case{"basepri", 20, 8u}, Case{"FAULTMASK", 20, 16u},
                          Case{"control", 20, 24u}}) {
        const auto found = cm3tools::FindRegister(c.name);
        ASSERT_TRUE(found.has_value()) << c.name;
        EXPECT_EQ(found->selector, c.selector) << c.name;
        EXPECT_EQ(found->fieldShift, c.shift) << c.name;
    }
    EXPECT_FALSE(cm3tools::FindRegister("r16"));
    EXPECT_FALSE(cm3tools::FindRegister(""));
}

TEST(CoreRegisters, FieldsReadAndMergeTheirByteOnly) {
    const auto basepri = *cm3tools::FindRegister("basepri");
    EXPECT_EQ(cm3tools::FieldValue(basepri, 0x01A0E001), 0xE0u);
    EXPECT_EQ(cm3tools::MergeField(basepri, 0x01A0E001, 0x40), 0x01A04001u);
    // Bits past the field's byte do not spill into the neighbours.
    EXPECT_EQ(cm3tools::MergeField(basepri, 0, 0x1FF), 0x0000FF00u);
    const auto pc = *cm3tools::FindRegister("pc");
    EXPECT_EQ(cm3tools::MergeField(pc, 0x1234, 0x5678), 0x5678u);
    EXPECT_EQ(cm3tools::DescribeSpecial(0x02010300), "CONTROL 0x02 FAULTMASK 0x01 BASEPRI 0x03 PRIMASK 0x00");
}

TEST(Image, RawBinaryLandsAtTheGivenAddress) {
    ScratchDir dir;
    const auto bytes = Pattern(300, 1);
    WriteBytes(dir.file("image.bin"), bytes);
    const cm3tools::Image image = cm3tools::LoadImage(dir.file("image.bin"), 0x20000100);
    EXPECT_FALSE(image.elf);
    ASSERT_EQ(image.segments.size(), 1u);
    EXPECT_EQ(image.segments[0].address, 0x20000100u);
    EXPECT_EQ(image.segments[0].bytes, bytes);
    EXPECT_FALSE(cm3tools::IsElfFile(dir.file("image.bin")));
}

TEST(Image, ElfSegmentsGoToTheirPhysicalAddressesWithoutBss) {
    ScratchDir dir;
    const auto text = Pattern(200, 2);
    const auto data = Pattern(12, 3);
    // .data runs at 0x20000000 but is loaded from flash right after .text.
    WriteElf(dir.file("fw.elf"), {{0x0, 0x0, text}, {0xC8, 0x20000000, data, 64}}, {{"tick", 0x41}}, EM_ARM, 0x41);
    ASSERT_TRUE(cm3tools::IsElfFile(dir.file("fw.elf")));
    const cm3tools::Image image = cm3tools::LoadImage(dir.file("fw.elf"), std::nullopt);
    EXPECT_TRUE(image.elf);
    EXPECT_EQ(image.entry, 0x41u);
    ASSERT_EQ(image.segments.size(), 2u);
    EXPECT_EQ(image.segments[0].address, 0x0u);
    EXPECT_EQ(image.segments[0].bytes, text);
    EXPECT_EQ(image.segments[1].address, 0xC8u);
    EXPECT_EQ(image.segments[1].bytes, data);
    EXPECT_EQ(image.size(), 212u);
    EXPECT_EQ(cm3tools::FindSymbol(dir.file("fw.elf"), "tick"), 0x41u);
    EXPECT_EQ(cm3tools::FindSymbol(dir.file("fw.elf"), "tock"), std::nullopt);
}

TEST(Image, RefusesWhatItCannotPlace) {
    ScratchDir dir;
    WriteElf(dir.file("fw.elf"), {{0x0, 0x0, Pattern(8, 4)}});
    WriteElf(dir.file("x86.elf"), {{0x0, 0x0, Pattern(8, 4)}}, {}, EM_386);
    WriteBytes(dir.file("raw.bin"), Pattern(32, 5));
    EXPECT_THROW(cm3tools::LoadImage(dir.file("fw.elf"), 0x100), cm3tools::ImageError);   // ELF with an address
    EXPECT_THROW(cm3tools::LoadImage(dir.file("raw.bin"), std::nullopt), cm3tools::ImageError);  // no address
    EXPECT_THROW(cm3tools::LoadImage(dir.file("raw.bin"), 0xFFFFFFF0), cm3tools::ImageError);    // past 4 GB
    EXPECT_THROW(cm3tools::LoadImage(dir.file("x86.elf"), std::nullopt), cm3tools::ImageError);
    EXPECT_THROW(cm3tools::LoadImage(dir.file("missing.bin"), 0), cm3tools::ImageError);
}

TEST(Format, HexDumpShowsAddressesBytesAndText) {
    const std::vector<uint8_t> bytes{'H', 'e', 'l', 'l', 'o', 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0x7F, 'A'};
    EXPECT_EQ(cm3tools::cli::HexDump(0x20000000, bytes),
              "0x20000000  48 65 6c 6c 6f 00 01 02  03 04 05 06 07 08 09 0a  |Hello...........|\n"
              "0x20000010  7f 41                                             |.A|\n");
}

TEST(Format, WordDumpIsLittleEndianWithATrailingTail) {
    const std::vector<uint8_t> bytes{0x30, 0xC2, 0x2F, 0x41, 0x00, 0x00, 0x05, 0xFA, 0xAB};
    EXPECT_EQ(cm3tools::cli::WordDump(0xE000ED00, bytes), "0xE000ED00  412fc230 fa050000 ab\n");
}

TEST(Progress, RendersProportionalBars) {
    using cm3tools::ProgressBar;
    const std::string half = ProgressBar::Render("flash", 2048, 4096);
    EXPECT_NE(half.find("[" + std::string(ProgressBar::kWidth / 2, '#') + std::string(ProgressBar::kWidth / 2, ' ') +
                        "]"),
              std::string::npos)
        << half;
    EXPECT_NE(half.find(" 50%  2/4 KB"), std::string::npos) << half;
    EXPECT_NE(ProgressBar::Render("read", 5, 0).find("100%"), std::string::npos);
    EXPECT_NE(ProgressBar::Render("read", 9000, 4096).find("100%  4/4 KB"), std::string::npos);
}

TEST(Progress, StaysSilentWhenDisabled) {
    std::ostringstream out;
    {
        cm3tools::ProgressBar bar("read", out, false);
        bar.update(1, 2);
        bar.update(2, 2);
    }
    EXPECT_EQ(out.str(), "");
}

TEST(Results, EveryCodeHasANameAndAdvice) {
    for (DebugResult result = DBG_OK; result <= DBG_OPENED_AFTER_RETRY; ++result) {
        EXPECT_EQ(cm3tools::ResultName(result).substr(0, 4), "DBG_") << result;
        EXPECT_FALSE(cm3tools::ResultAdvice(result).empty()) << result;
    }
    EXPECT_EQ(cm3tools::ResultName(DBG_NOT_HALTED), "DBG_NOT_HALTED");
    EXPECT_EQ(cm3tools::ResultName(99), "unknown result");
    EXPECT_EQ(cm3tools::DescribeFailure("DebugInit", DBG_TIMEOUT).substr(0, 38),
              "DebugInit failed: DBG_TIMEOUT (4): the");
    EXPECT_THROW(cm3tools::Check(DBG_STICKY_ERROR, "x"), cm3tools::TargetError);
    EXPECT_NO_THROW(cm3tools::Check(DBG_OK, "x"));
}

TEST(Transfer, KnowsTheEndOfTheAddressSpace) {
    EXPECT_TRUE(cm3tools::FitsAddressSpace(0xFFFFFFF0, 16));
    EXPECT_FALSE(cm3tools::FitsAddressSpace(0xFFFFFFF0, 17));
    EXPECT_TRUE(cm3tools::FitsAddressSpace(0, uint64_t{1} << 32));
}

TEST(Adapters, SimulatedListingFollowsTheConfiguration) {
    ScratchDir dir;
    EXPECT_EQ(cm3tools::ListSimulatedAdapters(""),
              (std::vector<std::string>{"USB Debug Bridge A", "USB Debug Bridge B"}));
    WriteText(dir.file("two.json"), R"({"descriptions": ["Amber Probe A", "Amber Probe B"], "chip": "FT2232H"})");
    EXPECT_EQ(cm3tools::ListSimulatedAdapters(dir.file("two.json")),
              (std::vector<std::string>{"Amber Probe A", "Amber Probe B"}));
    WriteText(dir.file("none.json"), R"({"chip": "FT2232H"})");
    EXPECT_EQ(cm3tools::ListSimulatedAdapters(dir.file("none.json")).size(), 2u);
    WriteText(dir.file("bad.json"), R"({"descriptions": [1]})");
    EXPECT_THROW(cm3tools::ListSimulatedAdapters(dir.file("bad.json")), std::runtime_error);
    EXPECT_THROW(cm3tools::ListSimulatedAdapters(dir.file("missing.json")), std::runtime_error);
}

}  // namespace
}  // namespace cm3test
