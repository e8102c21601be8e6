// The simulator as a USB driver backend, through the driver record only.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "swd_bench.h"
#include "usb/sim_usb_driver.h"
#include "usb/sim_usb_status.h"
#include "virtual_probe.h"

namespace cm3sim::wire_testing {
namespace {

using namespace cm3probe::adapter;

class UsbBinding : public ::testing::Test {
protected:
    void SetUp() override { reset(SimConfig{}); }
    void TearDown() override { reset(SimConfig{}); }

    void reset(const SimConfig& config) {
        ResetGlobalProbe(config, [](SimConfig&) { return std::make_unique<FakeTarget>(); });
    }
    UsbHandle open(const char* description = "USB Debug Bridge A") {
        UsbHandle handle = nullptr;
        EXPECT_EQ(driver.openByDescription(description, &handle), kUsbOk);
        return handle;
    }
    void write(UsbHandle handle, const Bytes& bytes) {
        uint32_t written = 0;
        ASSERT_EQ(driver.write(handle, bytes.data(), static_cast<uint32_t>(bytes.size()), &written), kUsbOk);
        ASSERT_EQ(written, bytes.size());
    }
    Bytes read(UsbHandle handle, uint32_t count) {
        Bytes buffer(count);
        uint32_t got = 0;
        EXPECT_EQ(driver.read(handle, buffer.data(), count, &got), kUsbOk);
        buffer.resize(got);
        return buffer;
    }

    const UsbDriver& driver = SimUsbDriver();
};

TEST_F(UsbBinding, ListsOneDescriptionPerChannel) {
    Description found[4] = {};
    uint32_t count = 0;
    ASSERT_EQ(driver.listByDescription(found, 4, &count), kUsbOk);
    ASSERT_EQ(count, 2u);
    EXPECT_STREQ(found[0], "USB Debug Bridge A");
    EXPECT_STREQ(found[1], "USB Debug Bridge B");
    // Too little room: the count still says how many there are.
    Description one[1] = {};
    ASSERT_EQ(driver.listByDescription(one, 1, &count), kUsbOk);
    EXPECT_EQ(count, 2u);
    EXPECT_STREQ(one[0], "USB Debug Bridge A");
    ASSERT_EQ(driver.listByDescription(nullptr, 0, &count), kUsbOk);
    EXPECT_EQ(count, 2u);
    EXPECT_STREQ(driver.name, "sim");
}

TEST_F(UsbBinding, ListsConfiguredDescriptionsCutToFit) {
    SimConfig config;
    config.descriptions = {std::string(100, 'x'), "Other B"};
    reset(config);
    Description found[2] = {};
    uint32_t count = 0;
    ASSERT_EQ(driver.listByDescription(found, 2, &count), kUsbOk);
    EXPECT_EQ(std::string(found[0]), std::string(kDescriptionSize - 1, 'x'));
    EXPECT_STREQ(found[1], "Other B");
}

TEST_F(UsbBinding, OpensEachChannelOnce) {
    UsbHandle a = open();
    UsbHandle again = nullptr;
    EXPECT_EQ(driver.openByDescription("USB Debug Bridge A", &again), usb_status::kAlreadyOpen);
    EXPECT_EQ(driver.openByDescription("No Such Bridge", &again), usb_status::kNoSuchDescription);
    UsbHandle b = open("USB Debug Bridge B");
    EXPECT_NE(a, b);
    EXPECT_EQ(driver.close(a), kUsbOk);
    EXPECT_EQ(driver.close(a), usb_status::kBadHandle);
    EXPECT_EQ(driver.purge(a, purge::kBoth), usb_status::kBadHandle);
    a = open();
    EXPECT_EQ(driver.close(a), kUsbOk);
    EXPECT_EQ(driver.close(b), kUsbOk);
}

TEST_F(UsbBinding, ReadsIdcodeAndReturnsWhatThereIsPromptly) {
    UsbHandle h = open();
    ASSERT_EQ(driver.setBitMode(h, 0, bitmode::kMpsse), kUsbOk);
    write(h, Concat({kBringUp, Bench::ReadStream(0xA5)}));
    // Ask for more than was produced: the six bytes come back, no more.
    EXPECT_EQ(read(h, 64), (Bytes{0x20, 0x77, 0x14, 0xA0, 0x2B, 0xC0}));
    EXPECT_TRUE(read(h, 8).empty());
    EXPECT_EQ(GlobalProbe().contentionCount(), 0u);
    driver.close(h);
}

TEST_F(UsbBinding, ClosingAndReopeningResetsNothing) {
    UsbHandle h = open();
    driver.setBitMode(h, 0, bitmode::kMpsse);
    write(h, Concat({kBringUp, Bench::ReadStream(0xA5), Bench::WriteStream(0xB1, 0xF0, false)}));
    EXPECT_EQ(read(h, 7).size(), 7u);
    write(h, {0x81});  // a reply left unread across the close
    ASSERT_EQ(driver.close(h), kUsbOk);
    h = open();
    EXPECT_EQ(read(h, 1).size(), 1u);
    EXPECT_EQ(GlobalProbe().dpState().select(), 0xF0u);
    // No new line reset: the port is still in step.
    write(h, Bench::ReadStream(0xA5));
    EXPECT_EQ(Bench::ParseRead(read(h, 6)).data, 0x2BA01477u);
    driver.close(h);
}

TEST_F(UsbBinding, BitModes) {
    UsbHandle h = open();
    EXPECT_EQ(driver.setBitMode(h, 0, 0x01), usb_status::kUnsupportedMode);
    // Not in MPSSE mode: the bytes go nowhere.
    write(h, {0x81});
    EXPECT_TRUE(read(h, 1).empty());
    ASSERT_EQ(driver.setBitMode(h, 0, bitmode::kMpsse), kUsbOk);
    write(h, {0x80, 0xFF, 0xFF, 0x81});
    EXPECT_EQ(read(h, 1), Bytes{0xFF});
    ASSERT_EQ(driver.setBitMode(h, 0, bitmode::kReset), kUsbOk);
    EXPECT_EQ(GlobalProbe().channel(0).engine().lowPins(), PinBank{});
    driver.close(h);
}

TEST_F(UsbBinding, PurgeEachDirection) {
    UsbHandle h = open();
    driver.setBitMode(h, 0, bitmode::kMpsse);
    write(h, {0x81, 0x81});
    ASSERT_EQ(driver.purge(h, purge::kReceive), kUsbOk);
    EXPECT_TRUE(read(h, 2).empty());
    // An unfinished command outlives the purge: the next opcode is taken as
    // its length, and only leaving MPSSE mode ends it.
    write(h, {0x39, 0x01});
    ASSERT_EQ(driver.purge(h, purge::kTransmit), kUsbOk);
    write(h, {0x81});
    EXPECT_TRUE(read(h, 2).empty());
    ASSERT_EQ(driver.setBitMode(h, 0, bitmode::kReset), kUsbOk);
    ASSERT_EQ(driver.setBitMode(h, 0, bitmode::kMpsse), kUsbOk);
    write(h, {0x81});
    EXPECT_EQ(read(h, 2).size(), 1u);
    driver.close(h);
}

TEST_F(UsbBinding, LatencyTimerTakesOneToTwoFiftyFive) {
    UsbHandle h = open();
    EXPECT_EQ(driver.setLatencyTimer(h, 0), usb_status::kBadArgument);
    EXPECT_EQ(driver.setLatencyTimer(h, 2), kUsbOk);
    EXPECT_EQ(GlobalProbe().channel(0).latencyMs, 2u);
    driver.close(h);
}

// Runs one call of the operation on an open channel A and returns its status.
using OpCall = std::function<UsbStatus(const UsbDriver&, UsbHandle&)>;

struct FaultCase {
    const char* name;
    DriverOp op;
    OpCall call;
};

UsbStatus CallOpen(const UsbDriver& d, UsbHandle&) {
    UsbHandle b = nullptr;
    const UsbStatus status = d.openByDescription("USB Debug Bridge B", &b);
    if (status == kUsbOk) d.close(b);
    return status;
}
UsbStatus CallClose(const UsbDriver& d, UsbHandle& h) {
    const UsbStatus status = d.close(h);
    if (status == kUsbOk) d.openByDescription("USB Debug Bridge A", &h);
    return status;
}
UsbStatus CallList(const UsbDriver& d, UsbHandle&) {
    uint32_t count = 0;
    return d.listByDescription(nullptr, 0, &count);
}
UsbStatus CallBitMode(const UsbDriver& d, UsbHandle& h) { return d.setBitMode(h, 0, bitmode::kMpsse); }
UsbStatus CallWrite(const UsbDriver& d, UsbHandle& h) {
    const uint8_t sendImmediate = 0x87;
    uint32_t written = 0;
    return d.write(h, &sendImmediate, 1, &written);
}
UsbStatus CallRead(const UsbDriver& d, UsbHandle& h) {
    uint8_t byte = 0;
    uint32_t got = 0;
    return d.read(h, &byte, 1, &got);
}
UsbStatus CallPurge(const UsbDriver& d, UsbHandle& h) { return d.purge(h, purge::kBoth); }
UsbStatus CallLatency(const UsbDriver& d, UsbHandle& h) { return d.setLatencyTimer(h, 1); }

const FaultCase kFaultCases[] = {
    {"open", DriverOp::Open, CallOpen},          {"close", DriverOp::Close, CallClose},
    {"list", DriverOp::List, CallList},          {"bit mode", DriverOp::BitMode, CallBitMode},
    {"write", DriverOp::Write, CallWrite},       {"read", DriverOp::Read, CallRead},
    {"purge", DriverOp::Purge, CallPurge},       {"latency", DriverOp::LatencyTimer, CallLatency},
};

TEST_F(UsbBinding, EachDriverOperationFailsOnceAlwaysOrAfterSkips) {
    struct Shape {
        const char* name;
        bool always;
        uint32_t skip;
        std::vector<bool> fails;  // for four calls
    };
    const Shape shapes[] = {
        {"once", false, 0, {true, false, false, false}},
        {"always", true, 0, {true, true, true, true}},
        {"once after two", false, 2, {false, false, true, false}},
        {"always after one", true, 1, {false, true, true, true}},
    };
    for (const auto& c : kFaultCases) {
        for (const auto& shape : shapes) {
            SCOPED_TRACE(::testing::Message() << c.name << ", " << shape.name);
            reset(SimConfig{});
            UsbHandle h = open();
            GlobalProbe().config().driverFaults = {{c.op, shape.always, shape.skip, false}};
            for (size_t i = 0; i < shape.fails.size(); ++i) {
                const UsbStatus status = c.call(driver, h);
                EXPECT_EQ(status, shape.fails[i] ? usb_status::kInjectedFault : kUsbOk) << "call " << i;
            }
            GlobalProbe().config().driverFaults.clear();
            driver.close(h);
        }
    }
}

TEST_F(UsbBinding, ShortWriteAndShortRead) {
    UsbHandle h = open();
    driver.setBitMode(h, 0, bitmode::kMpsse);
    GlobalProbe().config().driverFaults = {{DriverOp::Write, false, 0, true}, {DriverOp::Read, false, 0, true}};
    const Bytes reads = {0x81, 0x81, 0x81, 0x81};
    uint32_t written = 0;
    ASSERT_EQ(driver.write(h, reads.data(), 4, &written), kUsbOk);
    EXPECT_EQ(written, 2u);  // only what was moved reaches the chip
    uint8_t buffer[4] = {};
    uint32_t got = 0;
    ASSERT_EQ(driver.read(h, buffer, 4, &got), kUsbOk);
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(read(h, 4).size(), 1u);  // the rest stayed queued
    EXPECT_TRUE(GlobalProbe().config().driverFaults.empty());
    driver.close(h);
}

TEST_F(UsbBinding, AFailedCloseLeavesTheChannelOpen) {
    UsbHandle h = open();
    GlobalProbe().config().driverFaults = {{DriverOp::Close, false, 0, false}};
    EXPECT_EQ(driver.close(h), usb_status::kInjectedFault);
    EXPECT_EQ(driver.setLatencyTimer(h, 4), kUsbOk);
    EXPECT_EQ(driver.close(h), kUsbOk);
}

TEST(UsbBindingGlobal, FirstUseReadsTheConfigurationFileNamedInTheEnvironment) {
    // A fresh process: the global probe there has not been made yet.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const std::string path =
                (std::filesystem::temp_directory_path() / ("sim_usb_config_" + std::to_string(getpid()) + ".json"))
                    .string();
            std::ofstream(path) << R"({"descriptions": ["Env Bridge A", "Env Bridge B"]})";
            setenv("CM3PROBE_SIM_CONFIG", path.c_str(), 1);
            Description found[2] = {};
            uint32_t count = 0;
            const UsbStatus status = SimUsbDriver().listByDescription(found, 2, &count);
            std::filesystem::remove(path);
            std::exit(status == kUsbOk && count == 2 && std::string(found[0]) == "Env Bridge A" ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(UsbBindingGlobal, AnUnreadableConfigurationFailsTheDriverCalls) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const auto missing = std::filesystem::temp_directory_path() / "no-such-directory" / "sim.json";
            setenv("CM3PROBE_SIM_CONFIG", missing.c_str(), 1);
            uint32_t count = 0;
            const UsbStatus status = SimUsbDriver().listByDescription(nullptr, 0, &count);
            std::exit(status == usb_status::kSimulatorUnavailable ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace cm3sim::wire_testing
