// Library tests on the simulator: the real USB-driver binding of the virtual
// FT2232 and our JTAG engine, a freshly powered target per test, and the four
// transport paths (SWD or JTAG, direct or batched) as a test parameter.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "adapter/backend.h"
#include "adapter/mpsse_jtag_engine.h"
#include "cm3probe.h"
#include "frame/connection.h"
#include "fakes.h"
#include "target/cortex_m3_target.h"
#include "transport/swd_batch.h"
#include "transport/timing.h"
#include "usb/sim_usb_driver.h"
#include "virtual_probe.h"

namespace cm3test {

struct Path {
    bool swd;
    bool batched;
};

inline std::string PathName(const ::testing::TestParamInfo<Path>& info) {
    return std::string(info.param.swd ? "Swd" : "Jtag") + (info.param.batched ? "Batched" : "Direct");
}

inline constexpr Path kAllPaths[] = {{true, false}, {true, true}, {false, false}, {false, true}};

inline constexpr uint32_t kSram = 0x20000000;
inline constexpr uint32_t kClockHz = 1000000;
inline constexpr const char* kAdapter = "USB Debug Bridge A";

class SimTest : public ::testing::Test {
protected:
    void SetUp() override { Boot(cm3sim::SimConfig{}); }

    // A new target from `config`; the library's connection starts closed.
    void Boot(const cm3sim::SimConfig& config) {
        cm3probe::adapter::InstallBackendForTesting(&cm3sim::SimUsbDriver(), &cm3probe::adapter::MpsseJtagEngine());
        cm3probe::timing::SetSleepForTesting([](uint32_t ms) { Sleeps().push_back(ms); });
        Sleeps().clear();
        if (cm3probe::g_connection.usbHandle != nullptr || cm3probe::g_connection.jtagHandle != nullptr) {
            (void)DebugClose();
        }
        cm3probe::BatchRelease();
        cm3probe::connection::LockHandle* lock = cm3probe::g_connection.lockHandle;
        cm3probe::g_connection = cm3probe::DebugConnection{};
        cm3probe::g_connection.lockHandle = lock;
        cm3sim::ResetGlobalProbe(config);
    }

    void TearDown() override {
        if (cm3probe::g_connection.usbHandle != nullptr || cm3probe::g_connection.jtagHandle != nullptr) {
            (void)DebugClose();
        }
        cm3probe::BatchRelease();
        cm3probe::adapter::InstallBackendForTesting(nullptr, nullptr);
        cm3probe::timing::SetSleepForTesting(nullptr);
    }

    DebugResult Open(bool swd) { return DebugOpen(kClockHz, kAdapter, swd ? 1 : 0); }

    void Connect(const Path& path) {
        ASSERT_EQ(Open(path.swd), DBG_OK);
        // The first DebugInit decides how the second stores batchedMode; a
        // fresh connection takes the wanted mode at once.
        ASSERT_EQ(DebugInit(path.batched ? 1 : 0), DBG_OK);
        ASSERT_EQ(cm3probe::g_connection.batchedMode, path.batched ? 1 : 0);
    }

    cm3sim::VirtualProbe& Probe() { return cm3sim::GlobalProbe(); }
    cm3sim::SimConfig& Config() { return Probe().config(); }
    cm3sim::CortexM3Target& Target() { return static_cast<cm3sim::CortexM3Target&>(Probe().target()); }
};

class PathTest : public SimTest, public ::testing::WithParamInterface<Path> {
protected:
    void SetUp() override {
        SimTest::SetUp();
        Connect(GetParam());
    }
};

}  // namespace cm3test
