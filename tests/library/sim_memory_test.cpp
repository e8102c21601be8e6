// Single memory access, bring-up, identification and close, end to end on the
// simulator over every transport path.
#include <random>
#include <vector>

#include "sim_fixture.h"

namespace cm3test {
namespace {

class SingleAccessTest : public PathTest {};

TEST_P(SingleAccessTest, ByteAndHalfwordLanesAtEveryAlignment) {
    for (uint32_t offset = 0; offset < 8; ++offset) {
        const uint32_t address = kSram + 0x100 + offset;
        Target().poke32(kSram + 0x100, 0x11223344);
        Target().poke32(kSram + 0x104, 0x55667788);
        ASSERT_EQ(DebugWriteMem(address, 0xA0 + offset, 0), DBG_OK) << offset;
        EXPECT_EQ(Target().peek8(address), 0xA0 + offset) << offset;
        // Neighbours untouched.
        if (offset > 0) {
            EXPECT_EQ(Target().peek8(address - 1), Target().peekBytes(address - 1, 1)[0]) << offset;
        }
        uint32_t value = 0;
        ASSERT_EQ(DebugReadMem(address, &value, 0), DBG_OK) << offset;
        EXPECT_EQ(value, 0xA0 + offset) << offset;
    }
    for (uint32_t offset = 0; offset < 8; offset += 2) {
        const uint32_t address = kSram + 0x200 + offset;
        ASSERT_EQ(DebugWriteMem(address, 0xBEEF0000 | (0x1234 + offset), 1), DBG_OK) << offset;
        EXPECT_EQ(Target().peek8(address), (0x1234 + offset) & 0xFF) << offset;
        EXPECT_EQ(Target().peek8(address + 1), 0x12) << offset;
        uint32_t value = 0;
        ASSERT_EQ(DebugReadMem(address, &value, 1), DBG_OK) << offset;
        EXPECT_EQ(value, 0x1234 + offset) << offset;
    }
}

TEST_P(SingleAccessTest, WordRoundTripsAndNeighboursStayIntact) {
    std::mt19937 random(1);
    for (uint32_t i = 0; i < 16; ++i) Target().poke32(kSram + 0x400 + 4 * i, 0xA5A5A5A5);
    for (uint32_t i = 1; i < 15; ++i) {
        uint32_t word = random();
        ASSERT_EQ(DebugWriteMem(kSram + 0x400 + 4 * i, word, 2), DBG_OK);
        uint32_t value = 0;
        ASSERT_EQ(DebugReadMem(kSram + 0x400 + 4 * i, &value, 2), DBG_OK);
        EXPECT_EQ(value, word);
        EXPECT_EQ(Target().peek32(kSram + 0x400 + 4 * i), word);
    }
    EXPECT_EQ(Target().peek32(kSram + 0x400), 0xA5A5A5A5u);
    EXPECT_EQ(Target().peek32(kSram + 0x43C), 0xA5A5A5A5u);
}

TEST_P(SingleAccessTest, SizeCodeAboveWordIsAWord) {
    ASSERT_EQ(DebugWriteMem(kSram + 0x10, 0xCAFEBABE, 7), DBG_OK);
    EXPECT_EQ(Target().peek32(kSram + 0x10), 0xCAFEBABEu);
    uint32_t value = 0;
    ASSERT_EQ(DebugReadMem(kSram + 0x10, &value, 0xFFFFFFFF), DBG_OK);
    EXPECT_EQ(value, 0xCAFEBABEu);
}

TEST_P(SingleAccessTest, BusErrorIsStickyAndClearedForTheNextAccess) {
    uint32_t value = 0xDEADBEEF;
    EXPECT_EQ(DebugReadMem(0x30000000, &value, 2), DBG_STICKY_ERROR);
    EXPECT_EQ(DebugWriteMem(0x30000000, 1, 2), DBG_STICKY_ERROR);
    EXPECT_EQ(DebugWriteMem(0x00000100, 1, 2), DBG_STICKY_ERROR);  // flash takes no AHB writes
    Target().poke32(kSram, 0x12345678);
    ASSERT_EQ(DebugReadMem(kSram, &value, 2), DBG_OK);
    EXPECT_EQ(value, 0x12345678u);
    EXPECT_EQ(Probe().dpState().ctrlStat() & 0xA2, 0u);
}

TEST_P(SingleAccessTest, NullOutputIsRefused) {
    EXPECT_EQ(DebugReadMem(kSram, nullptr, 2), DBG_BAD_PARAMETER);
    EXPECT_EQ(DebugGetIDCode(nullptr), DBG_BAD_PARAMETER);
    EXPECT_EQ(DebugGetCoreState(nullptr), DBG_BAD_PARAMETER);
}

TEST_P(SingleAccessTest, IdentificationReadsTheTarget) {
    uint32_t idcode = 0;
    ASSERT_EQ(DebugGetIDCode(&idcode), DBG_OK);
    EXPECT_EQ(idcode, GetParam().swd ? 0x2BA01477u : 0x4BA00477u);
    uint32_t deviceClass = 0, part = 0, revision = 0;
    ASSERT_EQ(DebugGetDeviceInformation(&deviceClass, &part, &revision), DBG_OK);
    const cm3sim::SimConfig defaults;
    EXPECT_EQ(deviceClass, (defaults.deviceId0 >> 16) & 0xFF);
    EXPECT_EQ(revision, defaults.deviceId0 & 0xFFFF);
    EXPECT_EQ(part, (defaults.deviceId1 >> 16) & 0xFF);
}

TEST_P(SingleAccessTest, CloseDisarmsTheVectorCatches) {
    ASSERT_EQ(DebugWriteMem(0xE000EDFC, 0x010007F1, 2), DBG_OK);
    ASSERT_EQ(DebugClose(), DBG_OK);
    EXPECT_EQ(Target().demcr(), 0x01000000u);
    uint32_t value = 0;
    EXPECT_EQ(DebugReadMem(kSram, &value, 2), DBG_NOT_INITIALISED);
}

TEST_P(SingleAccessTest, NoHostTargetContention) { EXPECT_EQ(Probe().contentionCount(), 0u); }

INSTANTIATE_TEST_SUITE_P(AllPaths, SingleAccessTest, ::testing::ValuesIn(kAllPaths), PathName);

class SwdReadSensitiveTest : public SimTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SwdReadSensitiveTest, SingleReadTouchesTheRegisterTwice) {
    cm3sim::SimConfig config;
    config.readSensitiveRegister = 0x40001000;
    Boot(config);
    Connect({true, GetParam()});
    uint64_t before = Target().readSensitiveCount();
    uint32_t value = 0;
    ASSERT_EQ(DebugReadMem(0x40001000, &value, 2), DBG_OK);
    EXPECT_EQ(Target().readSensitiveCount() - before, 2u);
}

INSTANTIATE_TEST_SUITE_P(BatchedOrNot, SwdReadSensitiveTest, ::testing::Bool());

class InitTest : public SimTest, public ::testing::WithParamInterface<bool> {};

TEST_P(InitTest, AcceptsTheDefaultTargetAndEnablesTheFpb) {
    ASSERT_EQ(Open(GetParam()), DBG_OK);
    ASSERT_EQ(DebugInit(1), DBG_OK);
    EXPECT_TRUE(Target().fpb().enabled());
    uint32_t ctrlStat = Probe().dpState().ctrlStat();
    EXPECT_EQ(ctrlStat & 0xF0000000u, 0xF0000000u);
    // Over SWD the link keeps its framing after WAIT and FAULT.
    EXPECT_EQ((ctrlStat & 1u) != 0, GetParam());
}

TEST_P(InitTest, BatchedModeTakesTheLowByteAndSurvivesASecondInit) {
    ASSERT_EQ(Open(GetParam()), DBG_OK);
    ASSERT_EQ(DebugInit(0x100), DBG_OK);
    EXPECT_EQ(cm3probe::g_connection.batchedMode, 0);
    ASSERT_EQ(DebugInit(1), DBG_OK);
    EXPECT_EQ(cm3probe::g_connection.batchedMode, 0);
}

TEST_P(InitTest, PowerUpNeverAcknowledgedTimesOutAfter101Reads) {
    cm3sim::SimConfig config;
    config.powerUpNeverAcknowledged = true;
    config.logWireTransactions = true;
    Boot(config);
    ASSERT_EQ(Open(GetParam()), DBG_OK);
    Probe().clearWireLog();
    EXPECT_EQ(DebugInit(0), DBG_TIMEOUT);
    EXPECT_EQ(cm3probe::g_connection.initialised, 0);
    uint32_t ctrlReads = 0, ctrlWrites = 0;
    for (const cm3sim::WireTransaction& t : Probe().wireLog()) {
        if (t.ap || t.address != 0x4) continue;
        (t.read ? ctrlReads : ctrlWrites) += 1;
    }
    EXPECT_EQ(ctrlReads, 101u);
    EXPECT_EQ(ctrlWrites, 101u);  // the first request and 100 re-requests
}

TEST_P(InitTest, StaleStickyFlagDoesNotHoldPowerUpOff) {
    ASSERT_EQ(Open(GetParam()), DBG_OK);
    ASSERT_EQ(DebugInit(0), DBG_OK);
    uint32_t value = 0;
    ASSERT_EQ(DebugReadMem(0x30000000, &value, 2), DBG_STICKY_ERROR);
    // Leave a sticky flag behind on purpose, then start over.
    ASSERT_EQ(DebugClose(), DBG_OK);
    ASSERT_EQ(Open(GetParam()), DBG_OK);
    ASSERT_EQ(DebugInit(0), DBG_OK);
}

struct IdentityCase {
    const char* name;
    void (*change)(cm3sim::SimConfig&);
    DebugResult expected;
};

TEST_P(InitTest, ValidationAcceptsAndRefusesIdentities) {
    const IdentityCase cases[] = {
        {"SW-DP v2", [](cm3sim::SimConfig& c) { c.swdpIdcode = 0x2BA01477; }, DBG_OK},
        {"JTAG-DP v4", [](cm3sim::SimConfig& c) { c.jtagIdcode = 0x4BA00477; }, DBG_OK},
        {"another revision of the DP", [](cm3sim::SimConfig& c) {
             c.swdpIdcode = 0x1BA01477;
             c.jtagIdcode = 0x3BA00477;
         }, DBG_OK},
        {"not an ARM DP", [](cm3sim::SimConfig& c) {
             c.swdpIdcode = 0x3BA00478;
             c.jtagIdcode = 0x3BA00478;
         }, DBG_BAD_IDCODE},
        {"AHB-AP another revision", [](cm3sim::SimConfig& c) { c.apIdr = 0x14770011; }, DBG_OK},
        {"not an AHB-AP", [](cm3sim::SimConfig& c) { c.apIdr = 0x24770012; }, DBG_BAD_IDCODE},
        {"ROM table elsewhere", [](cm3sim::SimConfig& c) { c.apBase = 0xE00FF002; }, DBG_BAD_ROM_TABLE},
        {"ROM table without its component ID", [](cm3sim::SimConfig& c) {
             c.ahbErrorRegions.push_back({0xE00FFFF0, 16});
         }, DBG_BAD_ROM_TABLE},
    };
    for (const IdentityCase& c : cases) {
        cm3sim::SimConfig config;
        c.change(config);
        Boot(config);
        ASSERT_EQ(Open(GetParam()), DBG_OK) << c.name;
        EXPECT_EQ(DebugInit(0), c.expected) << c.name;
        // A failed validation leaves the connection initialised.
        EXPECT_EQ(cm3probe::g_connection.initialised, 1) << c.name;
    }
}

TEST_P(InitTest, RefusedValidationReadsAreAccessErrorsNotWrongIdentities) {
    ASSERT_EQ(Open(GetParam()), DBG_OK);
    // Power-up needs DP accesses only; the first AP access is the IDR read.
    Config().waitNextApTransactions = 2;
    EXPECT_EQ(DebugInit(0), DBG_ERROR);
    Config().waitNextApTransactions = 0;
    uint32_t value = 0;
    EXPECT_EQ(DebugReadMem(kSram, &value, 2), DBG_OK);  // and the port is usable again
}

TEST_P(InitTest, InitBeforeOpenFails) { EXPECT_EQ(DebugInit(0), DBG_ERROR); }

TEST_P(InitTest, CloseWithoutInitSendsNoTargetTraffic) {
    ASSERT_EQ(Open(GetParam()), DBG_OK);
    uint64_t apBefore = Target().counters().apWrites + Target().counters().apReads;
    EXPECT_EQ(DebugClose(), DBG_OK);
    EXPECT_EQ(Target().counters().apWrites + Target().counters().apReads, apBefore);
}

INSTANTIATE_TEST_SUITE_P(SwdOrJtag, InitTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Swd" : "Jtag"; });

}  // namespace
}  // namespace cm3test
