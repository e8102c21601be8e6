// DebugOpen and DebugClose on the scripted fakes: exact traffic, every refusal
// and failure path.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "dap/port.h"
#include "cm3probe.h"
#include "frame/adapter_lock.h"
#include "fixture.h"

namespace cm3test {
namespace {

using Bytes = std::vector<uint8_t>;
using cm3probe::g_connection;

const Bytes kLineHigh56 = {0x19, 0x06, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

std::vector<Bytes> LineModeWrites(bool toSwd) {
    return {{0x86, 0x05, 0x00},
            {0x80, 0x68, 0xEB},
            kLineHigh56,
            toSwd ? Bytes{0x19, 0x01, 0x00, 0x9E, 0xE7} : Bytes{0x19, 0x01, 0x00, 0x3C, 0xE7},
            kLineHigh56};
}

std::vector<Bytes> LinkOpenWrites(uint8_t divisorLow, uint8_t divisorHigh) {
    return {{0x86, divisorLow, divisorHigh},
            {0x80, 0x08, 0xCB},
            {0x19, 0x08, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0},
            kLineHigh56,
            {0x19, 0x01, 0x00, 0x9E, 0xE7},
            kLineHigh56,
            {0x1B, 0x07, 0x00}};
}

const Bytes kIdcodeRead = {0x1B, 0x07, 0xA5, 0x80, 0x00, 0xC9, 0x2E, 0x02,
                           0x2C, 0x03, 0x00, 0x2E, 0x02, 0x80, 0x08, 0xCB};

std::vector<UsbOp> Ops() {
    std::vector<UsbOp> ops;
    for (const UsbCall& call : Usb().calls) ops.push_back(call.op);
    return ops;
}

class OpenTest : public FakeBackendTest {};

TEST_F(OpenTest, SwdOpenSendsTheLineModeSwitchThenBringsTheLinkUp) {
    Usb().queueResponse(0x20, 0x2BA01477);
    ASSERT_EQ(DebugOpen(1000000, "USB Debug Bridge A", 1), DBG_OK);

    using enum UsbOp;
    EXPECT_EQ(Ops(), (std::vector<UsbOp>{List, Open, BitMode, Write, Write, Write, Write, Write, Close, Open, BitMode,
                                         Write, Write, Write, Write, Write, Write, Write, Purge, Write, Read,
                                         Latency}));
    std::vector<Bytes> expected = LineModeWrites(true);
    for (const Bytes& b : LinkOpenWrites(0x05, 0x00)) expected.push_back(b);
    expected.push_back(kIdcodeRead);
    EXPECT_EQ(Usb().writes(), expected);
    EXPECT_EQ(Usb().callsOf(BitMode)[0].argument, 0xEB02u);
    EXPECT_EQ(Usb().callsOf(BitMode)[1].argument, 0xCB02u);
    EXPECT_EQ(Usb().callsOf(Purge)[0].argument, 3u);
    EXPECT_EQ(Usb().callsOf(Latency)[0].argument, 2u);
    EXPECT_EQ(Usb().callsOf(Read)[0].argument, 6u);
    EXPECT_EQ(Usb().callsOf(Open)[0].description, "USB Debug Bridge A");
    EXPECT_EQ(Usb().callsOf(Open)[1].description, "USB Debug Bridge A");
    EXPECT_EQ(g_connection.swdMode, 1u);
    EXPECT_NE(g_connection.usbHandle, nullptr);
    EXPECT_EQ(Usb().openHandles, 1);
}

TEST_F(OpenTest, SwdModeHoldsTheCallersValue) {
    ASSERT_EQ(DebugOpen(1000000, "USB Debug Bridge A", 7), DBG_OK);
    EXPECT_EQ(g_connection.swdMode, 7u);
}

TEST_F(OpenTest, JtagOpenSendsTheSwitchToJtag) {
    ASSERT_EQ(DebugOpen(1000000, "USB Debug Bridge A", 0), DBG_OK);
    std::vector<Bytes> writes = Usb().writes();
    EXPECT_EQ(writes, LineModeWrites(false));
}

TEST_F(OpenTest, ClockDivisorsReachTheWire) {
    const struct {
        uint32_t clockHz;
        uint8_t low;
        uint8_t high;
    } cases[] = {{6000000, 0, 0}, {4000000, 0, 0}, {3000000, 1, 0}, {1000000, 5, 0},
                 {100000, 59, 0}, {92, 0xC0, 0xFE}, {91, 0xFF, 0xFF}};
    for (const auto& c : cases) {
        SetUp();
        ASSERT_EQ(DebugOpen(c.clockHz, "USB Debug Bridge A", 1), DBG_OK) << c.clockHz;
        EXPECT_EQ(Usb().writes()[5], (Bytes{0x86, c.low, c.high})) << c.clockHz;
    }
}

TEST_F(OpenTest, ClockOutOfRangeIsRefusedWithoutTraffic) {
    for (uint32_t clockHz : {0u, 90u, 6000001u, 0xFFFFFFFFu}) {
        EXPECT_EQ(DebugOpen(clockHz, "USB Debug Bridge A", 1), DBG_BAD_PARAMETER) << clockHz;
    }
    EXPECT_TRUE(Usb().calls.empty());
    EXPECT_EQ(DebugOpen(91, "USB Debug Bridge A", 1), DBG_OK);
    SetUp();
    EXPECT_EQ(DebugOpen(6000000, "USB Debug Bridge A", 1), DBG_OK);
}

TEST_F(OpenTest, BadDescriptionsAreRefusedWithoutTraffic) {
    const std::string longest(63, 'x');
    const std::string tooLong(64, 'x');
    EXPECT_EQ(DebugOpen(1000000, nullptr, 1), DBG_BAD_PARAMETER);
    EXPECT_EQ(DebugOpen(1000000, tooLong.c_str(), 1), DBG_BAD_PARAMETER);
    // No terminator within 64 bytes: only the 64 bytes are looked at.
    char unterminated[64];
    std::fill(std::begin(unterminated), std::end(unterminated), 'A');
    EXPECT_EQ(DebugOpen(1000000, unterminated, 1), DBG_BAD_PARAMETER);
    EXPECT_TRUE(Usb().calls.empty());
    // 63 characters fit; no such device is attached, so the open step fails.
    EXPECT_EQ(DebugOpen(1000000, longest.c_str(), 1), DBG_ERROR);
}

TEST_F(OpenTest, SupportedAdapterFoundBehindOthersEvenBeyondFourListed) {
    Usb().devices = {"Other Thing A", "Other Thing B", "Serial Cable", "Another", "Fifth", "USB Debug Bridge A"};
    EXPECT_EQ(DebugOpen(1000000, "USB Debug Bridge A", 1), DBG_OK);
    Usb().devices = {"Other Thing A", "USB Debug Bridge A"};
    SetUp();
    Usb().devices = {"Other Thing A", "USB Debug Bridge A"};
    EXPECT_EQ(DebugOpen(1000000, "USB Debug Bridge A", 1), DBG_OK);
}

TEST_F(OpenTest, ListingThatClaimsEveryChannelThereIsGetsBoundedRoom) {
    Usb().devices = {"Other Thing A", "Other Thing B", "Serial Cable", "Another", "Fifth", "USB Debug Bridge A"};
    Usb().claimedCount = 0xFFFFFFFF;
    EXPECT_EQ(DebugOpen(1000000, "USB Debug Bridge A", 1), DBG_OK);
    std::vector<UsbCall> lists = Usb().callsOf(UsbOp::List);
    ASSERT_EQ(lists.size(), 2u);
    EXPECT_EQ(lists[1].argument, 1024u);
}

TEST_F(OpenTest, EverySupportedDescriptionIsRecognised) {
    for (const char* name : {"Vorant Evaluation Board A", "Vorant Bridge Board A", "Vorant Probe Board A",
                             "Amber Probe A", "V200 Evaluation Board A", "V-Series Development Board A",
                             "Vorant Development Board A", "USB Debug Bridge A"}) {
        SetUp();
        Usb().devices = {name};
        EXPECT_EQ(DebugOpen(1000000, name, 1), DBG_OK) << name;
    }
    for (const char* name : {"USB Debug Bridge B", "usb debug bridge a", "USB Debug Bridge A ", "Amber Probe"}) {
        SetUp();
        Usb().devices = {name};
        EXPECT_EQ(DebugOpen(1000000, name, 1), DBG_ERROR) << name;
    }
}

inline constexpr uint32_t kOtherHoldersMs = 60000;

TEST_F(OpenTest, NoSupportedAdapterFailsAndLeavesTheLockFree) {
    Usb().devices = {"Serial Cable A"};
    EXPECT_EQ(DebugOpen(1000000, "Serial Cable A", 1), DBG_ERROR);
    EXPECT_EQ(Ops(), std::vector<UsbOp>{UsbOp::List});
    pid_t child = fork();
    if (child == 0) {
        cm3probe::connection::LockHandle* lock = cm3probe::connection::OpenLock(cm3probe::connection::kAdapterLockName);
        // The machine's one lock: other programs and tests may hold it a
        // while; a hold this open leaked would never end.
        auto outcome = cm3probe::connection::AcquireLockWithin(lock, kOtherHoldersMs);
        // Let go, or the next holder on the machine is told of a dead one.
        cm3probe::connection::ReleaseLock(lock);
        _exit(outcome == cm3probe::connection::LockOutcome::Acquired ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(OpenTest, NoDeviceAtAllFails) {
    Usb().devices.clear();
    EXPECT_EQ(DebugOpen(1000000, "USB Debug Bridge A", 1), DBG_ERROR);
}

TEST_F(OpenTest, UnattachedDescriptionFailsAtOpen) {
    EXPECT_EQ(DebugOpen(1000000, "Vorant Probe Board A", 1), DBG_ERROR);
    EXPECT_EQ(Usb().callsOf(UsbOp::Open).size(), 1u);
    EXPECT_EQ(Usb().openHandles, 0);
}

TEST_F(OpenTest, FailedBitModeClosesTheDeviceAndDoesNotRetry) {
    for (uint32_t skip : {0u, 1u}) {  // the line-mode switch's, then the link's
        SetUp();
        Usb().failures.push_back({UsbOp::BitMode, 4, false, skip});
        EXPECT_EQ(DebugOpen(1000000, "USB Debug Bridge A", 1), DBG_ERROR) << skip;
        EXPECT_EQ(Usb().callsOf(UsbOp::Open).size(), skip + 1) << skip;
        EXPECT_EQ(Usb().openHandles, 0) << skip;
        EXPECT_EQ(g_connection.usbHandle, nullptr) << skip;
        EXPECT_FALSE(cm3probe::BatchAllocated()) << skip;
    }
}

// A refused close leaves the channel claimed; closes nobody would repeat
// later are repeated at once, a bounded number of times.
TEST_F(OpenTest, RefusedClosesAreRepeatedSoTheChannelIsReleased) {
    struct Case {
        const char* name;
        std::vector<UsbFailure> failures;
        DebugResult result;
        size_t opens;
        size_t closes;
        int handlesLeft;
    };
    const Case cases[] = {
        {"line mode close refused once", {{UsbOp::Close, 5}}, DBG_OK, 2, 2, 1},
        {"line mode close refused always", {{UsbOp::Close, 5, true}}, DBG_ERROR, 1, 3, 1},
        {"line mode bit mode fails, close refused once", {{UsbOp::BitMode, 4}, {UsbOp::Close, 5}}, DBG_ERROR, 1, 2, 0},
        {"link bit mode fails, close refused once", {{UsbOp::BitMode, 4, false, 1}, {UsbOp::Close, 5, false, 1}},
         DBG_ERROR, 2, 3, 0},
    };
    for (const Case& c : cases) {
        SetUp();
        Usb().failures = c.failures;
        EXPECT_EQ(DebugOpen(1000000, "USB Debug Bridge A", 1), c.result) << c.name;
        EXPECT_EQ(Usb().callsOf(UsbOp::Open).size(), c.opens) << c.name;
        EXPECT_EQ(Usb().callsOf(UsbOp::Close).size(), c.closes) << c.name;
        EXPECT_EQ(Usb().openHandles, c.handlesLeft) << c.name;
        if (c.result != DBG_OK) {
            EXPECT_EQ(g_connection.usbHandle, nullptr) << c.name;
        }
        Usb().failures.clear();
        (void)DebugClose();
    }
}

TEST_F(OpenTest, FailedLinkOpenKeepsNoBuffers) {
    Usb().failures.push_back({UsbOp::Open, 9, false, 1});
    EXPECT_EQ(DebugOpen(1000000, "USB Debug Bridge A", 1), DBG_ERROR);
    EXPECT_FALSE(cm3probe::BatchAllocated());
}

TEST_F(OpenTest, OpenWhileInitialisedChangesNothing) {
    g_connection.initialised = 1;
    EXPECT_EQ(DebugOpen(1000000, "USB Debug Bridge A", 1), DBG_OK);
    EXPECT_TRUE(Usb().calls.empty());
}

TEST_F(OpenTest, SecondOpenClosesTheFirstTransport) {
    ASSERT_EQ(DebugOpen(1000000, "USB Debug Bridge A", 1), DBG_OK);
    ASSERT_EQ(DebugOpen(1000000, "USB Debug Bridge A", 1), DBG_OK);
    EXPECT_EQ(Usb().openHandles, 1);
    ASSERT_EQ(DebugOpen(1000000, "USB Debug Bridge A", 0), DBG_OK);
    EXPECT_EQ(Usb().openHandles, 0);
    EXPECT_EQ(Jtag().openHandles, 1);
    ASSERT_EQ(DebugOpen(1000000, "USB Debug Bridge A", 0), DBG_OK);
    EXPECT_EQ(Jtag().openHandles, 1);
}

class JtagOpenTest : public FakeBackendTest {};

TEST_F(JtagOpenTest, FirstTrySuccess) {
    cm3probe::dap::UseTransport(1);
    ASSERT_EQ(DebugOpen(1000000, "USB Debug Bridge B", 0), DBG_OK);
    using enum JtagOp;
    std::vector<JtagOp> ops;
    for (const JtagCall& call : Jtag().calls) ops.push_back(call.op);
    EXPECT_EQ(ops, (std::vector<JtagOp>{Count, Name, Name, Open, Pins, Init}));
    EXPECT_EQ(Jtag().callsOf(Open)[0].name, "USB Debug Bridge B");
    EXPECT_EQ(Jtag().callsOf(Open)[0].argument, 0x1001u);
    JtagCall pins = Jtag().callsOf(Pins)[0];
    EXPECT_EQ(pins.controlLow, 1u);
    EXPECT_EQ(pins.controlHigh, 0u);
    const uint32_t expectedLow[4][2] = {{0, 0}, {1, 1}, {1, 0}, {1, 1}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(pins.low.pin[i].output != 0, expectedLow[i][0] != 0) << i;
        EXPECT_EQ(pins.low.pin[i].high != 0, expectedLow[i][1] != 0) << i;
        EXPECT_EQ(pins.high.pin[i].output, 0u) << i;
    }
    EXPECT_EQ(Jtag().callsOf(Init)[0].argument, 5u);
    EXPECT_EQ(g_connection.swdMode, 0u);
    EXPECT_TRUE(Sleeps().empty());
}

TEST_F(JtagOpenTest, DivisorsClampToSixteenBits) {
    const struct {
        uint32_t clockHz;
        uint32_t divisor;
    } cases[] = {{6000000, 0}, {1000000, 5}, {100000, 59}, {92, 65216}, {91, 0xFFFF}};
    for (const auto& c : cases) {
        SetUp();
        ASSERT_EQ(DebugOpen(c.clockHz, "USB Debug Bridge A", 0), DBG_OK);
        EXPECT_EQ(Jtag().callsOf(JtagOp::Init)[0].argument, c.divisor) << c.clockHz;
    }
}

TEST_F(JtagOpenTest, RetryAfterOneFailedInitialise) {
    cm3probe::dap::UseTransport(1);  // an earlier SWD connection
    Jtag().initStatuses = {1};
    EXPECT_EQ(DebugOpen(1000000, "USB Debug Bridge A", 0), DBG_OPENED_AFTER_RETRY);
    EXPECT_EQ(Sleeps(), std::vector<uint32_t>{50});
    EXPECT_EQ(Jtag().callsOf(JtagOp::Init).size(), 2u);
    // Traffic must go to the JTAG handle now, not the closed SWD one.
    EXPECT_EQ(g_connection.swdMode, 0u);
    EXPECT_NE(g_connection.jtagHandle, nullptr);
}

TEST_F(JtagOpenTest, FiveFailedInitialisationsCloseTheHandle) {
    Jtag().initStatuses = {1, 1, 1, 1, 1};
    EXPECT_EQ(DebugOpen(1000000, "USB Debug Bridge A", 0), DBG_ERROR);
    EXPECT_EQ(Sleeps(), (std::vector<uint32_t>{50, 50, 50, 50, 50}));
    EXPECT_EQ(Jtag().openHandles, 0);
    EXPECT_EQ(g_connection.jtagHandle, nullptr);
}

TEST_F(JtagOpenTest, FailuresBeforeInitialise) {
    struct Case {
        const char* name;
        void (*arrange)();
        bool handleKept;
    };
    const Case cases[] = {
        {"no JTAG devices", [] { Jtag().devices.clear(); }, false},
        {"no name matches", [] { Jtag().devices = {"Something Else"}; }, false},
        {"open fails", [] { Jtag().openStatus = 3; }, false},
        {"pins fail", [] { Jtag().pinsStatus = 3; }, true},
    };
    for (const Case& c : cases) {
        SetUp();
        c.arrange();
        EXPECT_EQ(DebugOpen(1000000, "USB Debug Bridge A", 0), DBG_ERROR) << c.name;
        EXPECT_EQ(g_connection.jtagHandle != nullptr, c.handleKept) << c.name;
        EXPECT_TRUE(Jtag().callsOf(JtagOp::Init).empty()) << c.name;
    }
}

// A JTAG open whose pin setup fails keeps its engine handle; after an SWD
// session swdMode still says SWD: DebugInit must not send on the closed SWD
// link, and DebugClose must close the engine handle, never drop it with the
// channel claimed.
TEST_F(JtagOpenTest, HandleLeftByAFailedOpenAfterSwdIsClosedByDebugClose) {
    ASSERT_EQ(DebugOpen(1000000, "USB Debug Bridge A", 1), DBG_OK);
    Jtag().pinsStatus = 3;
    ASSERT_EQ(DebugOpen(1000000, "USB Debug Bridge A", 0), DBG_ERROR);
    ASSERT_NE(g_connection.jtagHandle, nullptr);
    EXPECT_EQ(g_connection.swdMode, 1u);
    EXPECT_EQ(Usb().openHandles, 0) << "the SWD link was closed before the JTAG open";
    // Nothing goes out on the closed SWD link either.
    Usb().calls.clear();
    EXPECT_EQ(DebugInit(0), DBG_ERROR);
    EXPECT_TRUE(Usb().calls.empty());
    ASSERT_EQ(DebugClose(), DBG_OK);
    EXPECT_EQ(Jtag().callsOf(JtagOp::Close).size(), 1u);
    EXPECT_EQ(Jtag().openHandles, 0);
    EXPECT_EQ(g_connection.jtagHandle, nullptr);
}

class CloseTest : public FakeBackendTest {};

TEST_F(CloseTest, WithoutOpenSucceedsAndClearsInitialised) {
    cm3probe::dap::UseTransport(1);
    EXPECT_EQ(DebugClose(), DBG_OK);
    EXPECT_EQ(g_connection.initialised, 0);
    EXPECT_TRUE(Usb().calls.empty());
}

TEST_F(CloseTest, ClosesTheSwdLinkWithoutTargetTrafficBeforeInit) {
    ASSERT_EQ(DebugOpen(1000000, "USB Debug Bridge A", 1), DBG_OK);
    Usb().calls.clear();
    EXPECT_EQ(DebugClose(), DBG_OK);
    EXPECT_EQ(Ops(), std::vector<UsbOp>{UsbOp::Close});
    EXPECT_EQ(g_connection.usbHandle, nullptr);
    EXPECT_FALSE(cm3probe::BatchAllocated());
    EXPECT_EQ(DebugReadMem(0x20000000, nullptr, 2), DBG_NOT_INITIALISED);
}

TEST_F(CloseTest, FailedCloseChangesNothingAndCanBeRepeated) {
    ASSERT_EQ(DebugOpen(1000000, "USB Debug Bridge A", 1), DBG_OK);
    cm3probe::DebugConnection before = g_connection;
    Usb().failures.push_back({UsbOp::Close, 8});
    EXPECT_EQ(DebugClose(), DBG_ERROR);
    EXPECT_EQ(g_connection.usbHandle, before.usbHandle);
    EXPECT_EQ(g_connection.swdMode, before.swdMode);
    EXPECT_TRUE(cm3probe::BatchAllocated());  // the link is still open and may batch
    EXPECT_EQ(DebugClose(), DBG_OK);
    EXPECT_FALSE(cm3probe::BatchAllocated());
    EXPECT_EQ(Usb().openHandles, 0);
}

TEST_F(CloseTest, ClosesTheJtagHandle) {
    ASSERT_EQ(DebugOpen(1000000, "USB Debug Bridge A", 0), DBG_OK);
    Jtag().closeStatus = 2;
    EXPECT_EQ(DebugClose(), DBG_ERROR);
    EXPECT_NE(g_connection.jtagHandle, nullptr);
    Jtag().closeStatus = 0;
    EXPECT_EQ(DebugClose(), DBG_OK);
    EXPECT_EQ(g_connection.jtagHandle, nullptr);
    EXPECT_EQ(Jtag().openHandles, 0);
}

}  // namespace
}  // namespace cm3test
