// DP and AP register access on the simulator over both transports: banking,
// posted reads, sticky flags, and refused transactions that must end in a
// reported error with the next access working.
#include "dap/ap_registers.h"
#include "dap/dap_access.h"
#include "dap/dp_registers.h"
#include "sim_fixture.h"

namespace cm3test {
namespace {

class DapSimTest : public SimTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        SimTest::SetUp();
        ASSERT_EQ(Open(GetParam()), DBG_OK);
        ASSERT_EQ(DebugInit(0), DBG_OK);
    }
};

TEST_P(DapSimTest, BankedApRegistersReadThroughSelect) {
    uint32_t idr = 0, base = 0, csw = 0;
    EXPECT_EQ(cm3probe::ReadApRegister(cm3probe::ap::kIdr, &idr), cm3probe::WireStatus::Ok);
    EXPECT_EQ(cm3probe::ReadApRegister(cm3probe::ap::kBase, &base), cm3probe::WireStatus::Ok);
    EXPECT_EQ(cm3probe::ReadApRegister(cm3probe::ap::kCsw, &csw), cm3probe::WireStatus::Ok);
    EXPECT_EQ(idr, 0x24770011u);
    EXPECT_EQ(base, 0xE00FF003u);
    EXPECT_EQ(csw & 0x7u, 0x2u);  // the FP_CTRL write of DebugInit left word size
}

TEST_P(DapSimTest, ApWriteThenReadBack) {
    EXPECT_EQ(cm3probe::WriteApRegister(cm3probe::ap::kTar, 0x20000124), cm3probe::WireStatus::Ok);
    uint32_t tar = 0;
    EXPECT_EQ(cm3probe::ReadApRegister(cm3probe::ap::kTar, &tar), cm3probe::WireStatus::Ok);
    EXPECT_EQ(tar, 0x20000124u);
}

TEST_P(DapSimTest, StickyFlagsAreFoundAndCleared) {
    uint32_t value = 0;
    ASSERT_EQ(DebugReadMem(0x60000000, &value, 2), DBG_STICKY_ERROR);
    uint32_t ctrlStat = 0;
    ASSERT_EQ(cm3probe::ReadDpRegister(cm3probe::dp::kCtrlStat, &ctrlStat), cm3probe::WireStatus::Ok);
    EXPECT_EQ(cm3probe::StickyFlags(ctrlStat), 0u);
}

TEST_P(DapSimTest, RefusedSingleAccessesEndInAnErrorAndTheNextWorks) {
    for (uint32_t waits : {1u, 2u, 3u, 6u}) {
        Target().poke32(kSram, 0x13572468);
        Config().waitNextApTransactions = waits;
        uint32_t value = 0xDEADBEEF;
        DebugResult read = DebugReadMem(kSram, &value, 2);
        Config().waitNextApTransactions = 0;
        // Either the word really arrived, or the call says it did not.
        if (read == DBG_OK) {
            EXPECT_EQ(value, 0x13572468u) << waits;
        } else {
            EXPECT_TRUE(read == DBG_ERROR || read == DBG_STICKY_ERROR) << waits;
        }
        ASSERT_EQ(DebugReadMem(kSram, &value, 2), DBG_OK) << waits;
        EXPECT_EQ(value, 0x13572468u) << waits;

        Config().waitNextApTransactions = waits;
        DebugResult write = DebugWriteMem(kSram + 4, 0xA5A5A5A5, 2);
        Config().waitNextApTransactions = 0;
        if (write == DBG_OK) {
            EXPECT_EQ(Target().peek32(kSram + 4), 0xA5A5A5A5u) << waits;
        }
        ASSERT_EQ(DebugWriteMem(kSram + 4, 0x5A5A5A5A, 2), DBG_OK) << waits;
        EXPECT_EQ(Target().peek32(kSram + 4), 0x5A5A5A5Au) << waits;
        // A refused write never lands anywhere else.
        EXPECT_EQ(Target().peek32(kSram), 0x13572468u) << waits;
    }
}

TEST_P(DapSimTest, FaultedAccessesEndInAnErrorAndTheNextWorks) {
    Config().ahbErrorRegions.push_back({kSram + 0x100, 4});
    uint32_t value = 0xDEADBEEF;
    EXPECT_EQ(DebugReadMem(kSram + 0x100, &value, 2), DBG_STICKY_ERROR);
    EXPECT_EQ(DebugWriteMem(kSram + 0x100, 1, 2), DBG_STICKY_ERROR);
    Target().poke32(kSram + 0x104, 0x600DF00D);
    ASSERT_EQ(DebugReadMem(kSram + 0x104, &value, 2), DBG_OK);
    EXPECT_EQ(value, 0x600DF00Du);
}

TEST_P(DapSimTest, NoTargetGivesErrorsNotData) {
    Config().noTarget = true;
    uint32_t value = 0xDEADBEEF;
    EXPECT_NE(DebugReadMem(kSram, &value, 2), DBG_OK);
    EXPECT_EQ(value, 0xDEADBEEFu);
    Config().noTarget = false;
    // Once the target answers again the link comes back by itself (SWD: line
    // reset and IDCODE read after the silence).
    Target().poke32(kSram, 42);
    EXPECT_EQ(DebugReadMem(kSram, &value, 2), DBG_OK);
    EXPECT_EQ(value, 42u);
}

INSTANTIATE_TEST_SUITE_P(SwdOrJtag, DapSimTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Swd" : "Jtag"; });

}  // namespace
}  // namespace cm3test
