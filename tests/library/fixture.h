// Every library test starts from a zero connection on the scripted fakes.
#pragma once

#include <gtest/gtest.h>

#include "adapter/backend.h"
#include "frame/connection.h"
#include "fakes.h"
#include "transport/swd_batch.h"
#include "transport/timing.h"

namespace cm3test {

class FakeBackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetUsb();
        ResetJtag();
        Sleeps().clear();
        cm3probe::BatchRelease();
        cm3probe::connection::LockHandle* lock = cm3probe::g_connection.lockHandle;
        cm3probe::g_connection = cm3probe::DebugConnection{};
        cm3probe::g_connection.lockHandle = lock;
        cm3probe::adapter::InstallBackendForTesting(&FakeUsbDriver(), &FakeJtagEngine());
        cm3probe::timing::SetSleepForTesting([](uint32_t ms) { Sleeps().push_back(ms); });
    }
    void TearDown() override {
        cm3probe::BatchRelease();
        cm3probe::adapter::InstallBackendForTesting(nullptr, nullptr);
        cm3probe::timing::SetSleepForTesting(nullptr);
    }
};

}  // namespace cm3test
