// One driver transfer failing or coming short at any point of a session of
// block and word traffic, on every path: no DBG_OK result disagrees with the
// target, nothing lands outside what a call was asked to write, at most the
// call that met the fault and the one after it fail, and the link comes back
// without a reopen. Also the IN side stopping until a purge, as the libftdi1
// backend does after a failed IN transfer.
#include <cstdio>
#include <random>
#include <vector>

#include "adapter/usb_driver.h"
#include "sim_fixture.h"

namespace cm3test {
namespace {

using Bytes = std::vector<uint8_t>;
using cm3probe::adapter::UsbHandle;
using cm3probe::adapter::UsbStatus;

// The traffic area crosses a 4 KB page; guards on both sides stay untouched.
inline constexpr uint32_t kArea = kSram + 0xFE0;
inline constexpr uint32_t kAreaBytes = 64;
inline constexpr uint32_t kGuardBytes = 16;
inline constexpr uint32_t kWordSize = 2;
// Fault positions swept: every stride-th call, and always the first ones.
inline constexpr uint32_t kStride = 5;
inline constexpr uint32_t kAlwaysSwept = 8;

// The simulator's driver with one more fault: from a chosen read on, every
// write and read fails until a purge of the receive side, as the libftdi1
// backend behaves once an IN transfer failed.
struct StoppedIn {
    bool armed = false;
    uint32_t readsLeft = 0;
    bool stopped = false;
    bool fired = false;
};
StoppedIn g_in;

const cm3probe::adapter::UsbDriver& Sim() { return cm3sim::SimUsbDriver(); }

UsbStatus InList(cm3probe::adapter::Description* d, uint32_t capacity, uint32_t* count) {
    return Sim().listByDescription(d, capacity, count);
}
UsbStatus InOpen(const char* description, UsbHandle* handle) { return Sim().openByDescription(description, handle); }
UsbStatus InBitMode(UsbHandle h, uint8_t mask, uint8_t mode) { return Sim().setBitMode(h, mask, mode); }
UsbStatus InWrite(UsbHandle h, const uint8_t* data, uint32_t count, uint32_t* written) {
    *written = 0;
    return g_in.stopped ? cm3probe::adapter::kUsbFailed : Sim().write(h, data, count, written);
}
UsbStatus InRead(UsbHandle h, uint8_t* buffer, uint32_t count, uint32_t* got) {
    *got = 0;
    if (g_in.armed && !g_in.stopped && g_in.readsLeft-- == 0) g_in.stopped = g_in.fired = true;
    return g_in.stopped ? cm3probe::adapter::kUsbFailed : Sim().read(h, buffer, count, got);
}
UsbStatus InPurge(UsbHandle h, uint32_t mask) {
    if ((mask & cm3probe::adapter::purge::kReceive) != 0) g_in.stopped = false;
    return Sim().purge(h, mask);
}
UsbStatus InLatency(UsbHandle h, uint8_t ms) { return Sim().setLatencyTimer(h, ms); }
UsbStatus InClose(UsbHandle h) { return Sim().close(h); }
const cm3probe::adapter::UsbDriver kStoppingDriver{"sim-stopping-in", InList, InOpen, InBitMode, InWrite,
                                                   InRead,           InPurge, InLatency, InClose};

enum class Kind { WriteFails, WriteShort, ReadFails, ReadShort, InStops };
inline constexpr Kind kKinds[] = {Kind::WriteFails, Kind::WriteShort, Kind::ReadFails, Kind::ReadShort,
                                  Kind::InStops};
const char* KindName(Kind kind) {
    static const char* const names[] = {"write fails", "write short", "read fails", "read short", "IN stops"};
    return names[static_cast<size_t>(kind)];
}

class LinkRecoveryTest : public SimTest, public ::testing::WithParamInterface<Path> {
protected:
    void SetUp() override {
        SimTest::SetUp();
        g_in = {};
        cm3probe::adapter::InstallBackendForTesting(&kStoppingDriver, &cm3probe::adapter::MpsseJtagEngine());
        Connect(GetParam());
        Target().pokeBytes(kArea - kGuardBytes, Bytes(kAreaBytes + 2 * kGuardBytes, 0x5A));
    }

    void Arm(Kind kind, uint32_t at) {
        if (kind == Kind::InStops) {
            g_in = {true, at, false, false};
            return;
        }
        const bool write = kind == Kind::WriteFails || kind == Kind::WriteShort;
        const bool shortTransfer = kind == Kind::WriteShort || kind == Kind::ReadShort;
        Config().driverFaults = {{write ? cm3sim::DriverOp::Write : cm3sim::DriverOp::Read, false, at, shortTransfer}};
    }
    // Disarms; true when the fault fired.
    bool Disarm() {
        const bool fired = g_in.fired || (!g_in.armed && Config().driverFaults.empty());
        Config().driverFaults.clear();
        g_in = {};
        return fired;
    }

    // One session: each call's outcome checked against the target. Returns
    // the failed calls' positions.
    std::vector<int> Session(uint32_t seed, const std::string& what, int waitBefore = -1, uint32_t waits = 0) {
        std::mt19937 random(seed);
        Bytes data(40);
        for (uint8_t& b : data) b = static_cast<uint8_t>(random());
        const uint32_t word = random();
        const Bytes guardsBefore = Guards();
        std::vector<int> failed;
        auto note = [&](int call, DebugResult result) {
            if (result != DBG_OK) failed.push_back(call);
            // The run of WAITs meets the next call's first AP transaction.
            if (call + 1 == waitBefore) Config().waitNextApTransactions = waits;
        };
        if (waitBefore == 0) Config().waitNextApTransactions = waits;

        DebugResult r = DebugWriteBlock(kArea + 1, data.data(), static_cast<uint32_t>(data.size()));
        if (r == DBG_OK) {
            EXPECT_EQ(Target().peekBytes(kArea + 1, 40), data) << what << ": write block";
        }
        note(0, r);

        Bytes back(48, 0xEE);
        r = DebugReadBlock(kArea + 4, back.data(), 48);
        if (r == DBG_OK) {
            EXPECT_EQ(back, Target().peekBytes(kArea + 4, 48)) << what << ": read block";
        }
        note(1, r);

        uint32_t value = 0xDEADBEEF;
        r = DebugReadMem(kArea + 8, &value, kWordSize);
        if (r == DBG_OK) {
            EXPECT_EQ(value, Target().peek32(kArea + 8)) << what << ": read word";
        }
        note(2, r);

        r = DebugWriteMem(kArea + 0x24, word, kWordSize);
        if (r == DBG_OK) {
            EXPECT_EQ(Target().peek32(kArea + 0x24), word) << what << ": write word";
        }
        note(3, r);

        uint32_t idcode = 0;
        r = DebugGetIDCode(&idcode);
        if (r == DBG_OK) {
            EXPECT_EQ(idcode, GetParam().swd ? Config().swdpIdcode : Config().jtagIdcode) << what << ": IDCODE";
        }
        note(4, r);

        Bytes small(20, 0xEE);
        r = DebugReadBlock(kArea + 0x10, small.data(), 20);
        if (r == DBG_OK) {
            EXPECT_EQ(small, Target().peekBytes(kArea + 0x10, 20)) << what << ": read 20 bytes";
        }
        note(5, r);

        EXPECT_EQ(Guards(), guardsBefore) << what << ": written outside the area";
        return failed;
    }

    Bytes Guards() {
        Bytes guards = Target().peekBytes(kArea - kGuardBytes, kGuardBytes);
        const Bytes after = Target().peekBytes(kArea + kAreaBytes, kGuardBytes);
        guards.insert(guards.end(), after.begin(), after.end());
        return guards;
    }
};

TEST_P(LinkRecoveryTest, OneFaultAtAnyTransferFailsAtMostTwoCallsAndTheLinkComesBack) {
    uint32_t cases = 0;
    uint32_t failedCalls = 0;
    for (const Kind kind : kKinds) {
        for (uint32_t at = 0;; ++at) {
            if (at >= kAlwaysSwept && at % kStride != 0) continue;
            const std::string what = std::string(KindName(kind)) + " at call " + std::to_string(at);
            Arm(kind, at);
            const std::vector<int> failed = Session(at * 7 + static_cast<uint32_t>(kind), what);
            if (!Disarm()) break;
            ++cases;
            failedCalls += static_cast<uint32_t>(failed.size());
            ASSERT_LE(failed.size(), 2u) << what;
            if (failed.size() == 2) {
                EXPECT_EQ(failed[1], failed[0] + 1) << what;
            }
            // Back without a reopen: a whole session without a failure.
            const std::vector<int> clean = Session(at + 1000, what + ", then clean");
            ASSERT_TRUE(clean.empty()) << what << ": call " << clean.front() << " failed";
            if (::testing::Test::HasFailure()) return;
        }
    }
    std::printf("[figures] link recovery %s: %u single-fault sessions, %u failed calls\n",
                PathName(::testing::TestParamInfo<Path>(GetParam(), 0)).c_str(), cases, failedCalls);
}

// The stall must not outlive the session either: a WAIT met by the close's
// own write would otherwise fail the next session's DebugInit.
TEST_P(LinkRecoveryTest, ARunOfWaitsMetByCloseEndsWithTheSession) {
    Config().waitNextApTransactions = 1000;
    (void)DebugClose();
    Connect(GetParam());
    EXPECT_TRUE(Session(2, "next session").empty());
}

TEST_P(LinkRecoveryTest, IdcodeReadWithNoAnswerFailsAndTheNextOneIsRight) {
    // A JTAG scan cannot tell an absent target from one that shifts ones.
    if (!GetParam().swd) GTEST_SKIP() << "SWD only";
    uint32_t idcode = 0;
    Config().noTarget = true;
    EXPECT_EQ(DebugGetIDCode(&idcode), DBG_ERROR);
    Config().noTarget = false;
    ASSERT_EQ(DebugGetIDCode(&idcode), DBG_OK);
    EXPECT_EQ(idcode, Config().swdpIdcode);
    EXPECT_TRUE(Session(1, "after no answer").empty());
}

// Nothing retries a WAIT, so the AP transaction it stalled must be ended
// (DAPABORT) before the next call, or that call waits behind it too.
TEST_P(LinkRecoveryTest, ARunOfWaitsFailsAtMostTwoCalls) {
    for (const uint32_t waits : {1u, 2u, 4u, 1000u}) {
        for (int call = 0; call < 6; ++call) {
            const std::string what = std::to_string(waits) + " WAITs before call " + std::to_string(call);
            const std::vector<int> failed = Session(waits + call, what, call, waits);
            ASSERT_LE(failed.size(), 2u) << what;
            const std::vector<int> clean = Session(waits + call + 100, what + ", then clean");
            ASSERT_TRUE(clean.empty()) << what << ": call " << clean.front() << " failed";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, LinkRecoveryTest, ::testing::ValuesIn(kAllPaths), PathName);

}  // namespace
}  // namespace cm3test
