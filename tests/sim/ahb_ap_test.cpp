// The AHB-AP driven register by register, as a debug port would.
#include <gtest/gtest.h>

#include "target_test_support.h"

namespace cm3sim::testing {
namespace {

constexpr uint32_t kWord = 0x20000100;
constexpr uint32_t kPattern = 0xA1B2C3D4;
constexpr uint32_t kUnmapped = 0x30000000;
constexpr uint32_t kFlashWord = 0x00000200;

class AhbApTest : public TargetFixture {
protected:
    void SetUp() override { build(); }
};

TEST_F(AhbApTest, IdentificationRegistersReadAsConfigured) {
    EXPECT_EQ(ap->read(ap_reg::kIdr).value, 0x24770011u);
    EXPECT_EQ(ap->read(ap_reg::kBase).value, 0xE00FF003u);
    EXPECT_EQ(ap->read(ap_reg::kCfg).value, 0u);  // little endian
    ap->write(ap_reg::kIdr, 0);
    EXPECT_EQ(ap->read(ap_reg::kIdr).value, 0x24770011u) << "IDR is read-only";

    config.apIdr = 0x14770011;
    config.apBase = 0xE00FF002;
    EXPECT_EQ(ap->read(ap_reg::kIdr).value, 0x14770011u);
    EXPECT_EQ(ap->read(ap_reg::kBase).value, 0xE00FF002u);
}

TEST_F(AhbApTest, OtherApSelectsHaveNoAccessPort) {
    EXPECT_EQ(target->apRead(1, ap_reg::kIdr).value, 0u);
    EXPECT_FALSE(target->apWrite(1, ap_reg::kTar, kWord).error);
    EXPECT_EQ(target->apRead(0xFF, ap_reg::kTar).value, 0u);
    EXPECT_NE(ap->tar(), kWord) << "a write to another APSEL reached AP 0";
}

TEST_F(AhbApTest, CswKeepsSupportedFieldsAndShowsDebugPower) {
    ap->write(ap_reg::kCsw, 0x23000000 | csw::Value(csw::kSize16, csw::kAddrIncPacked));
    const uint32_t value = ap->read(ap_reg::kCsw).value;
    EXPECT_EQ(value & csw::kSizeMask, csw::kSize16);
    EXPECT_EQ((value & csw::kAddrIncMask) >> csw::kAddrIncShift, csw::kAddrIncPacked);
    EXPECT_EQ(value & csw::kProtMask, 0x23000000u) << "Prot bits are stored";
    EXPECT_TRUE(value & csw::kDbgStatus);
    EXPECT_FALSE(value & csw::kTrInProg);

    ap->write(ap_reg::kCsw, csw::Value(0x5, 0x3));  // size and increment the AP lacks
    const uint32_t kept = ap->read(ap_reg::kCsw).value;
    EXPECT_EQ(kept & csw::kSizeMask, csw::kSize16);
    EXPECT_EQ((kept & csw::kAddrIncMask) >> csw::kAddrIncShift, csw::kAddrIncPacked);

    target->setDebugPower(false, true);
    EXPECT_FALSE(ap->read(ap_reg::kCsw).value & csw::kDbgStatus);
}

TEST_F(AhbApTest, WithoutDebugPowerNoTransferStarts) {
    target->setDebugPower(false, false);
    const uint64_t before = target->counters().ahbAccesses;
    EXPECT_TRUE(ap->writeWord(kWord, kPattern).error);
    EXPECT_TRUE(ap->readWord(kWord).error);
    EXPECT_EQ(target->counters().ahbAccesses, before);
    EXPECT_EQ(target->peek32(kWord), 0u);
}

struct LaneCase {
    uint32_t size;
    uint32_t offset;     // address offset inside the word
    uint32_t drwValue;   // data as placed on DRW by the host
    uint32_t wordAfter;  // memory word after writing into zeroed memory
};

void PrintTo(const LaneCase& c, std::ostream* os) { *os << "size " << c.size << " offset " << c.offset; }

class AhbApLaneTest : public AhbApTest, public ::testing::WithParamInterface<LaneCase> {};

TEST_P(AhbApLaneTest, SubWordAccessUsesTheAddressedLanes) {
    const LaneCase c = GetParam();
    ap->setCsw(c.size);
    ap->setTar(kWord + c.offset);
    ASSERT_FALSE(ap->write(ap_reg::kDrw, c.drwValue).error);
    EXPECT_EQ(target->peek32(kWord), c.wordAfter);

    target->poke32(kWord, kPattern);
    const ApResponse read = ap->read(ap_reg::kDrw);
    ASSERT_FALSE(read.error);
    const uint32_t laneMask = c.size == csw::kSize8 ? 0xFFu << (8 * c.offset) : 0xFFFFu << (8 * c.offset);
    EXPECT_EQ(read.value, kPattern & laneMask) << "addressed lanes carry data, the others read as zero";
}

INSTANTIATE_TEST_SUITE_P(
    Lanes, AhbApLaneTest,
    ::testing::Values(LaneCase{csw::kSize8, 0, 0xEEEEEE5A, 0x0000005A}, LaneCase{csw::kSize8, 1, 0xEEEE5AEE, 0x00005A00},
                      LaneCase{csw::kSize8, 2, 0xEE5AEEEE, 0x005A0000}, LaneCase{csw::kSize8, 3, 0x5AEEEEEE, 0x5A000000},
                      LaneCase{csw::kSize16, 0, 0xEEEE1234, 0x00001234},
                      LaneCase{csw::kSize16, 2, 0x1234EEEE, 0x12340000}));

TEST_F(AhbApTest, TarIncrementsBySizeInSingleMode) {
    const struct {
        uint32_t size;
        uint32_t step;
    } cases[] = {{csw::kSize8, 1}, {csw::kSize16, 2}, {csw::kSize32, 4}};
    for (const auto& c : cases) {
        ap->setCsw(c.size, csw::kAddrIncSingle);
        ap->setTar(kWord);
        ap->read(ap_reg::kDrw);
        ap->write(ap_reg::kDrw, 0);
        EXPECT_EQ(ap->tar(), kWord + 2 * c.step) << "size field " << c.size;
    }
    ap->setCsw(csw::kSize32, csw::kAddrIncOff);
    ap->setTar(kWord);
    ap->read(ap_reg::kDrw);
    EXPECT_EQ(ap->tar(), kWord);
}

TEST_F(AhbApTest, SequentialWordsLandInSequence) {
    ap->setCsw(csw::kSize32, csw::kAddrIncSingle);
    ap->setTar(kWord);
    for (uint32_t i = 0; i < 4; ++i) ap->write(ap_reg::kDrw, kPattern + i);
    for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(target->peek32(kWord + 4 * i), kPattern + i);
}

TEST_F(AhbApTest, TarWrapsWithinTheFourKilobyteBlock) {
    const uint32_t blockEnd = kSramBase + 0x1000;
    ap->setCsw(csw::kSize32, csw::kAddrIncSingle);
    ap->setTar(blockEnd - 4);
    ap->write(ap_reg::kDrw, 0x11111111);
    EXPECT_EQ(ap->tar(), kSramBase) << "only TAR[11:0] counts";
    ap->write(ap_reg::kDrw, 0x22222222);
    EXPECT_EQ(target->peek32(blockEnd - 4), 0x11111111u);
    EXPECT_EQ(target->peek32(kSramBase), 0x22222222u);
    EXPECT_EQ(target->peek32(blockEnd), 0u) << "the next block was written";
}

TEST_F(AhbApTest, PackedBytesAndHalfwords) {
    ap->setCsw(csw::kSize8, csw::kAddrIncPacked);
    ap->setTar(kWord);
    const uint64_t before = target->counters().ahbAccesses;
    ASSERT_FALSE(ap->write(ap_reg::kDrw, 0x44332211).error);
    EXPECT_EQ(target->counters().ahbAccesses - before, 4u) << "four byte transfers";
    EXPECT_EQ(target->peek32(kWord), 0x44332211u);
    EXPECT_EQ(ap->tar(), kWord + 4);

    target->poke32(kWord + 4, 0x88776655);
    ap->setCsw(csw::kSize16, csw::kAddrIncPacked);
    const ApResponse read = ap->read(ap_reg::kDrw);
    EXPECT_EQ(read.value, 0x88776655u);
    EXPECT_EQ(ap->tar(), kWord + 8);
}

TEST_F(AhbApTest, BankedDataRegistersAddressTheTarBlock) {
    ap->setCsw(csw::kSize32, csw::kAddrIncSingle);
    ap->setTar(kWord + 0x8);  // BDn ignore TAR[3:0]
    const uint8_t banked[] = {ap_reg::kBd0, ap_reg::kBd1, ap_reg::kBd2, ap_reg::kBd3};
    for (uint32_t n = 0; n < 4; ++n) ASSERT_FALSE(ap->write(banked[n], 0xB0 + n).error);
    for (uint32_t n = 0; n < 4; ++n) {
        EXPECT_EQ(target->peek32(kWord + 4 * n), 0xB0 + n);
        EXPECT_EQ(ap->read(banked[n]).value, 0xB0 + n);
    }
    EXPECT_EQ(ap->tar(), kWord + 0x8) << "banked access does not increment TAR";
}

struct ErrorCase {
    const char* name;
    uint32_t address;
    bool write;
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }

class AhbApErrorTest : public AhbApTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(AhbApErrorTest, ErrorResponseHasNoEffectAndHoldsTar) {
    const ErrorCase c = GetParam();
    const uint64_t errors = target->counters().ahbErrors;
    const uint32_t flashBefore = target->peek32(kFlashWord);
    ap->setCsw(csw::kSize32, csw::kAddrIncSingle);
    ap->setTar(c.address);
    const ApResponse response = c.write ? ap->write(ap_reg::kDrw, kPattern) : ap->read(ap_reg::kDrw);
    EXPECT_TRUE(response.error);
    EXPECT_EQ(target->counters().ahbErrors, errors + 1);
    EXPECT_EQ(ap->tar(), c.address) << "TAR stays on the failing address";
    EXPECT_EQ(target->peek32(kFlashWord), flashBefore);
}

INSTANTIATE_TEST_SUITE_P(Errors, AhbApErrorTest,
                         ::testing::Values(ErrorCase{"UnmappedRead", kUnmapped, false},
                                           ErrorCase{"UnmappedWrite", kUnmapped, true},
                                           ErrorCase{"ExternalRamRead", 0x60000000, false},
                                           ErrorCase{"FlashWrite", kFlashWord, true},
                                           ErrorCase{"PastSramWrite", kSramBase + 0x10000, true},
                                           ErrorCase{"AbsentEtmRead", 0xE0041000, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AhbApTest, InjectedErrorHitsExactlyTheChosenAccess) {
    config.stickyErrorAtAhbAccess = target->counters().ahbAccesses + 1;
    ap->setCsw(csw::kSize32, csw::kAddrIncOff);
    ap->setTar(kWord);
    EXPECT_FALSE(ap->write(ap_reg::kDrw, 1).error);
    EXPECT_TRUE(ap->write(ap_reg::kDrw, 2).error);
    EXPECT_EQ(target->peek32(kWord), 1u) << "the failed write had an effect";
    EXPECT_FALSE(ap->write(ap_reg::kDrw, 3).error);
    EXPECT_EQ(target->peek32(kWord), 3u);
}

TEST_F(AhbApTest, LogRecordsEveryTransfer) {
    config.logAhbAccesses = true;
    target->clearAhbLog();
    ap->setCsw(csw::kSize16, csw::kAddrIncSingle);
    ap->setTar(kWord + 2);
    ap->write(ap_reg::kDrw, 0xBEEF0000);
    ap->setTar(kUnmapped);
    ap->read(ap_reg::kDrw);
    const auto& log = target->ahbLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].address, kWord + 2);
    EXPECT_EQ(log[0].size, AccessSize::Halfword);
    EXPECT_TRUE(log[0].write);
    EXPECT_EQ(log[0].value, 0xBEEFu);
    EXPECT_FALSE(log[0].error);
    EXPECT_EQ(log[1].address, kUnmapped);
    EXPECT_FALSE(log[1].write);
    EXPECT_TRUE(log[1].error);
}

}  // namespace
}  // namespace cm3sim::testing
