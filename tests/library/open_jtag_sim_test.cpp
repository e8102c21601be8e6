// DebugOpen over JTAG on the simulator: the line-mode switch, the device walk,
// the engine's open, pins and initialise, and the scans that follow.
#include <gtest/gtest.h>

#include "adapter/mpsse_jtag_engine.h"
#include "cm3probe.h"
#include "frame/connection.h"
#include "dap/dp_registers.h"
#include "fixture.h"
#include "transport/jtag_scan.h"
#include "transport/timing.h"
#include "usb/sim_usb_driver.h"
#include "virtual_probe.h"

namespace cm3test {
namespace {

using cm3probe::g_connection;
namespace dap_scan = cm3probe::dap_scan;

constexpr const char* kChannelA = "USB Debug Bridge A";
constexpr uint32_t kClockHz = 1000000;
constexpr uint32_t kUseJtag = 0;
constexpr uint32_t kIdcode = 0x4BA00477;
constexpr uint32_t kInitAttempts = 5;

class OpenJtagSimTest : public FakeBackendTest {
protected:
    void SetUp() override {
        FakeBackendTest::SetUp();
        PowerOn(cm3sim::SimConfig{});
    }
    void TearDown() override {
        EXPECT_EQ(cm3sim::GlobalProbe().contentionCount(), 0u);
        FakeBackendTest::TearDown();
    }
    void PowerOn(const cm3sim::SimConfig& config) {
        cm3sim::ResetGlobalProbe(config);
        cm3probe::adapter::InstallBackendForTesting(&cm3sim::SimUsbDriver(), &cm3probe::adapter::MpsseJtagEngine());
    }
    bool ChannelOpen() { return cm3sim::GlobalProbe().channel(0).open; }
};

TEST_F(OpenJtagSimTest, OpensFirstTimeAndTheEngineReachesTheJtagDp) {
    ASSERT_EQ(DebugOpen(kClockHz, kChannelA, kUseJtag), DBG_OK);
    EXPECT_EQ(g_connection.swdMode, 0u);
    ASSERT_NE(g_connection.jtagHandle, nullptr);
    EXPECT_TRUE(Sleeps().empty());
    EXPECT_EQ(cm3sim::GlobalProbe().debugPort().protocol(), cm3sim::WireProtocol::Jtag);
    // 1 MHz: 6 MHz / (1 + 5).
    EXPECT_EQ(cm3sim::GlobalProbe().channel(0).engine().divisor(), 5u);

    ASSERT_EQ(cm3probe::SelectJtagInstruction(cm3probe::jtag_ir::kIdcode), cm3probe::WireStatus::Ok);
    uint8_t idcode[dap_scan::kIdcodeBytes] = {};
    ASSERT_EQ(cm3probe::JtagScanIdcode(idcode), cm3probe::WireStatus::Ok);
    EXPECT_EQ(static_cast<uint32_t>(idcode[0] | idcode[1] << 8 | idcode[2] << 16 | idcode[3] << 24), kIdcode);

    // A DPACC read of CTRL/STAT: the request, then the scan bringing its result.
    ASSERT_EQ(cm3probe::SelectJtagInstruction(cm3probe::jtag_ir::kDpacc), cm3probe::WireStatus::Ok);
    uint8_t request[dap_scan::kBytes];
    cm3probe::BuildDapScan(0, cm3probe::dp::kCtrlStat, dap_scan::kRead, request);
    uint8_t capture[dap_scan::kBytes] = {};
    ASSERT_EQ(cm3probe::JtagScanWrite(request), cm3probe::WireStatus::Ok);
    ASSERT_EQ(cm3probe::JtagScanRead(capture), cm3probe::WireStatus::Ok);
    uint32_t ctrlStat = 0xFFFFFFFF;
    EXPECT_EQ(cm3probe::DecodeDapScan(capture, &ctrlStat), cm3probe::WireStatus::Ok);
    EXPECT_EQ(ctrlStat, cm3sim::GlobalProbe().dpState().ctrlStat());

    EXPECT_EQ(DebugClose(), DBG_OK);
    EXPECT_FALSE(ChannelOpen());
}

TEST_F(OpenJtagSimTest, DebugInitAndIdcodeOverJtag) {
    ASSERT_EQ(DebugOpen(kClockHz, kChannelA, kUseJtag), DBG_OK);
    ASSERT_EQ(DebugInit(0), DBG_OK);
    uint32_t idcode = 0;
    ASSERT_EQ(DebugGetIDCode(&idcode), DBG_OK);
    EXPECT_EQ(idcode, kIdcode);
    EXPECT_EQ(DebugClose(), DBG_OK);
}

TEST_F(OpenJtagSimTest, OneFailedInitialiseOpensAfterOneRetry) {
    cm3sim::SimConfig config;
    config.driverFaults.push_back({cm3sim::DriverOp::Read, false, 0, false});
    PowerOn(config);
    ASSERT_EQ(DebugOpen(kClockHz, kChannelA, kUseJtag), DBG_OPENED_AFTER_RETRY);
    EXPECT_EQ(Sleeps(), std::vector<uint32_t>{cm3probe::timing::kJtagInitRetryMs});
    EXPECT_EQ(g_connection.swdMode, 0u);
    ASSERT_EQ(cm3probe::SelectJtagInstruction(cm3probe::jtag_ir::kIdcode), cm3probe::WireStatus::Ok);
    uint8_t idcode[dap_scan::kIdcodeBytes] = {};
    ASSERT_EQ(cm3probe::JtagScanIdcode(idcode), cm3probe::WireStatus::Ok);
    EXPECT_EQ(static_cast<uint32_t>(idcode[0] | idcode[1] << 8 | idcode[2] << 16 | idcode[3] << 24), kIdcode);
    EXPECT_EQ(DebugClose(), DBG_OK);
}

TEST_F(OpenJtagSimTest, FiveFailedInitialisesFailAndCloseTheEngine) {
    cm3sim::SimConfig config;
    config.driverFaults.push_back({cm3sim::DriverOp::Read, true, 0, false});
    PowerOn(config);
    EXPECT_EQ(DebugOpen(kClockHz, kChannelA, kUseJtag), DBG_ERROR);
    EXPECT_EQ(Sleeps(), std::vector<uint32_t>(kInitAttempts, cm3probe::timing::kJtagInitRetryMs));
    EXPECT_EQ(g_connection.jtagHandle, nullptr);
    EXPECT_FALSE(ChannelOpen());
}

TEST_F(OpenJtagSimTest, AnAdapterThatIsNotThereFails) {
    EXPECT_EQ(DebugOpen(kClockHz, "USB Debug Bridge C", kUseJtag), DBG_ERROR);
    EXPECT_EQ(g_connection.jtagHandle, nullptr);
}

}  // namespace
}  // namespace cm3test
