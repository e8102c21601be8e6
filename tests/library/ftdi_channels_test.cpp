#include "adapter/ftdi_channels.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <optional>

namespace cm3probe::adapter::ftdi {
namespace {

constexpr char kUntouched = 0x5A;

// Descriptions with room after them, to see that nothing writes past the end.
template <size_t N>
struct Guarded {
    Description text[N];
    char after[16];
    Guarded() { std::memset(this, kUntouched, sizeof(*this)); }
    bool AfterIntact() const {
        for (char c : after) {
            if (c != kUntouched) return false;
        }
        return true;
    }
};

struct ChannelCountCase {
    uint16_t bcdDevice;
    uint32_t channels;
};

class ChannelCountTest : public ::testing::TestWithParam<ChannelCountCase> {};

TEST_P(ChannelCountTest, FollowsTheChipType) {
    EXPECT_EQ(ChannelCount(GetParam().bcdDevice), GetParam().channels);
}

INSTANTIATE_TEST_SUITE_P(Releases, ChannelCountTest,
                         ::testing::Values(ChannelCountCase{0x0500, 2},  // FT2232C/D
                                           ChannelCountCase{0x0700, 2},  // FT2232H
                                           ChannelCountCase{0x0800, 4},  // FT4232H
                                           ChannelCountCase{0x0900, 1},  // FT232H
                                           ChannelCountCase{0x0600, 1},  // FT232R
                                           ChannelCountCase{0x0400, 1},  // FT232BM
                                           ChannelCountCase{0x0200, 1},  // FT232AM
                                           ChannelCountCase{0x1000, 1},  // FT230X
                                           ChannelCountCase{0x0501, 1}));  // unknown parts

struct DescriptionCase {
    std::string product;
    uint32_t channel;
    uint32_t channels;
    std::string expected;
};

class ComposeDescriptionTest : public ::testing::TestWithParam<DescriptionCase> {};

TEST_P(ComposeDescriptionTest, NamesTheChannelWithinSixtyThreeCharacters) {
    const DescriptionCase& c = GetParam();
    Guarded<1> out;
    ComposeDescription(c.product, c.channel, c.channels, out.text[0]);
    EXPECT_EQ(std::string(out.text[0]), c.expected);
    EXPECT_TRUE(out.AfterIntact());
}

std::string Repeat(char c, size_t n) { return std::string(n, c); }

INSTANTIATE_TEST_SUITE_P(
    Products, ComposeDescriptionTest,
    ::testing::Values(
        DescriptionCase{"USB Debug Bridge", 0, 2, "USB Debug Bridge A"},
        DescriptionCase{"USB Debug Bridge", 1, 2, "USB Debug Bridge B"},
        DescriptionCase{"Quad RS232-HS", 3, 4, "Quad RS232-HS D"},
        DescriptionCase{"FT232R USB UART", 0, 1, "FT232R USB UART"},
        DescriptionCase{"", 0, 2, " A"},
        DescriptionCase{"", 0, 1, ""},
        DescriptionCase{Repeat('p', 63), 0, 1, Repeat('p', 63)},
        DescriptionCase{Repeat('p', 64), 0, 1, Repeat('p', 63)},
        DescriptionCase{Repeat('p', 61), 0, 2, Repeat('p', 61) + " A"},
        // Cut before the suffix: both channels stay distinct.
        DescriptionCase{Repeat('p', 62), 0, 2, Repeat('p', 61) + " A"},
        DescriptionCase{Repeat('p', 126), 1, 2, Repeat('p', 61) + " B"}));

TEST(AppendChannels, CountsEveryChannelButFillsOnlyTheCapacity) {
    Guarded<2> listing;
    uint32_t count = 0;
    AppendChannels("USB Debug Bridge", 2, listing.text, 2, &count);
    AppendChannels("FT232R USB UART", 1, listing.text, 2, &count);
    EXPECT_EQ(count, 3u);
    EXPECT_STREQ(listing.text[0], "USB Debug Bridge A");
    EXPECT_STREQ(listing.text[1], "USB Debug Bridge B");
    EXPECT_TRUE(listing.AfterIntact());
}

TEST(AppendChannels, WalksMoreThanFourDevicesWhole) {
    Guarded<12> listing;
    uint32_t count = 0;
    const char* products[] = {"one", "two", "three", "four", "five"};
    for (const char* product : products) AppendChannels(product, 2, listing.text, 12, &count);
    ASSERT_EQ(count, 10u);
    EXPECT_STREQ(listing.text[0], "one A");
    EXPECT_STREQ(listing.text[8], "five A");
    EXPECT_STREQ(listing.text[9], "five B");
    EXPECT_EQ(listing.text[10][0], kUntouched);
}

TEST(AppendChannels, CountsWithoutAnyRoom) {
    uint32_t count = 0;
    AppendChannels("Quad RS232-HS", 4, nullptr, 0, &count);
    EXPECT_EQ(count, 4u);
}

struct MatchCase {
    std::string product;
    uint32_t channels;
    std::string wanted;
    std::optional<uint32_t> channel;
};

class MatchChannelTest : public ::testing::TestWithParam<MatchCase> {};

TEST_P(MatchChannelTest, OpensOnlyWhatIsListed) {
    const MatchCase& c = GetParam();
    EXPECT_EQ(MatchChannel(c.product, c.channels, c.wanted), c.channel);
}

INSTANTIATE_TEST_SUITE_P(
    Descriptions, MatchChannelTest,
    ::testing::Values(MatchCase{"USB Debug Bridge", 2, "USB Debug Bridge A", 0u},
                      MatchCase{"USB Debug Bridge", 2, "USB Debug Bridge B", 1u},
                      MatchCase{"USB Debug Bridge", 2, "USB Debug Bridge C", std::nullopt},
                      MatchCase{"USB Debug Bridge", 2, "USB Debug Bridge", std::nullopt},
                      MatchCase{"Quad RS232-HS", 4, "Quad RS232-HS D", 3u},
                      MatchCase{"FT232R USB UART", 1, "FT232R USB UART", 0u},
                      MatchCase{"FT232R USB UART", 1, "FT232R USB UART A", std::nullopt},
                      MatchCase{Repeat('p', 80), 2, Repeat('p', 61) + " B", 1u},
                      MatchCase{Repeat('p', 80), 2, Repeat('p', 80) + " B", std::nullopt}));

}  // namespace
}  // namespace cm3probe::adapter::ftdi
