// One fault at every step of a memory call, on every path: a driver write or
// read that fails, AP WAITs from a chosen wire transaction on, or a bus error
// at a chosen bus transfer. Whatever the call reports, a DBG_OK read holds the
// target's bytes, a DBG_OK write left all of its bytes, nothing outside the
// call's range moved, the debug domain stays powered, and the calls after it
// work.
#include <limits>
#include <random>
#include <vector>

#include "sim_fixture.h"

namespace cm3test {
namespace {

using Bytes = std::vector<uint8_t>;
using cm3probe::adapter::UsbDriver;
using cm3probe::adapter::UsbHandle;
using cm3probe::adapter::UsbStatus;

inline constexpr size_t kNever = std::numeric_limits<size_t>::max();
// The block crosses this page start; both pages are watched.
inline constexpr uint32_t kPage = kSram + 0x2000;
inline constexpr uint32_t kWatchStart = kPage - 0x1000;
inline constexpr uint32_t kWatchBytes = 0x2000;
inline constexpr uint32_t kPowerUpRequests = 0x50000000;  // CSYSPWRUPREQ, CDBGPWRUPREQ

// Counts the driver's writes and reads. While armed, writes go out a byte at
// a time, so that the AP WAITs start right after the chosen wire transaction.
struct Injector {
    uint32_t writes = 0;
    uint32_t reads = 0;
    size_t armAt = kNever;
    uint32_t waits = 0;
    uint64_t busAccesses = 0;
};
Injector g_injector;

UsbStatus CountedWrite(UsbHandle handle, const uint8_t* data, uint32_t count, uint32_t* written) {
    ++g_injector.writes;
    const UsbDriver& sim = cm3sim::SimUsbDriver();
    uint32_t sent = 0;
    while (g_injector.armAt != kNever && sent < count) {
        if (cm3sim::GlobalProbe().wireLog().size() >= g_injector.armAt) {
            cm3sim::GlobalProbe().config().waitNextApTransactions = g_injector.waits;
            g_injector.armAt = kNever;
            break;
        }
        uint32_t one = 0;
        UsbStatus status = sim.write(handle, data + sent, 1, &one);
        if (status != cm3probe::adapter::kUsbOk) return status;
        sent += one;
    }
    if (sent == count) {
        *written = sent;
        return cm3probe::adapter::kUsbOk;
    }
    uint32_t rest = 0;
    UsbStatus status = sim.write(handle, data + sent, count - sent, &rest);
    *written = sent + rest;
    return status;
}

UsbStatus CountedRead(UsbHandle handle, uint8_t* buffer, uint32_t count, uint32_t* got) {
    ++g_injector.reads;
    return cm3sim::SimUsbDriver().read(handle, buffer, count, got);
}

const UsbDriver& CountingDriver() {
    static const UsbDriver driver = [] {
        UsbDriver counting = cm3sim::SimUsbDriver();
        counting.name = "counting sim";
        counting.write = &CountedWrite;
        counting.read = &CountedRead;
        return counting;
    }();
    return driver;
}

// A short transfer leaves half a command in the adapter, and a batch whose
// reply read failed leaves its replies queued: the link comes back from both.
enum class Fault { WriteFails, ReadFails, OneWait, ThreeWaits, BusError, WriteShort, ReadShort };
inline constexpr Fault kFaults[] = {Fault::WriteFails, Fault::ReadFails, Fault::OneWait, Fault::ThreeWaits,
                                    Fault::BusError, Fault::WriteShort, Fault::ReadShort};

const char* Name(Fault fault) {
    switch (fault) {
    case Fault::WriteFails: return "write fails";
    case Fault::ReadFails: return "read fails";
    case Fault::OneWait: return "one WAIT";
    case Fault::ThreeWaits: return "three WAITs";
    case Fault::BusError: return "bus error";
    case Fault::WriteShort: return "short write";
    case Fault::ReadShort: return "short read";
    }
    return "?";
}

enum class Kind { ReadBlock, WriteBlock, ReadMem, WriteMem };

struct Operation {
    const char* name;
    Kind kind;
    uint32_t address;
    uint32_t count;  // bytes; for single accesses the size code
    bool busError = false;  // a word inside answers with a bus error
};

inline constexpr Operation kOperations[] = {
    {"aligned block read across the page", Kind::ReadBlock, kPage - 32, 64},
    {"unaligned block read across the page", Kind::ReadBlock, kPage - 30, 61},
    {"aligned block write across the page", Kind::WriteBlock, kPage - 32, 64},
    {"unaligned block write across the page", Kind::WriteBlock, kPage - 30, 61},
    // The page change after the last word goes out with the closing check.
    {"block write ending on the page", Kind::WriteBlock, kPage - 32, 32},
    {"block read over a bus error", Kind::ReadBlock, kPage - 32, 64, true},
    {"block write over a bus error", Kind::WriteBlock, kPage - 32, 64, true},
    {"word read", Kind::ReadMem, kPage - 4, 2},
    {"word write", Kind::WriteMem, kPage - 4, 2},
    {"byte write", Kind::WriteMem, kPage - 3, 0},
};

uint32_t Length(const Operation& op) {
    if (op.kind == Kind::ReadBlock || op.kind == Kind::WriteBlock) return op.count;
    return 1u << op.count;
}

class FaultDataTest : public SimTest, public ::testing::WithParamInterface<Path> {
protected:
    // A new target and connection: a case that failed leaves nothing behind.
    void Fresh(const Operation& op) {
        cm3sim::SimConfig config;
        config.logWireTransactions = true;
        if (op.busError) config.ahbErrorRegions.push_back({kPage - 8, 4});
        Boot(config);
        cm3probe::adapter::InstallBackendForTesting(&CountingDriver(), &cm3probe::adapter::MpsseJtagEngine());
        Connect(GetParam());
    }

    void Pattern() {
        Bytes bytes(kWatchBytes);
        for (uint32_t i = 0; i < kWatchBytes; ++i) bytes[i] = static_cast<uint8_t>(kWatchStart + i + 1);
        Target().pokeBytes(kWatchStart, bytes);
    }

    // Runs the operation; `data` is what a write puts, `back` what a read got.
    DebugResult Run(const Operation& op, const Bytes& data, Bytes& back) {
        back.assign(Length(op), 0xEE);
        uint32_t value = 0;
        DebugResult result = DBG_ERROR;
        switch (op.kind) {
        case Kind::ReadBlock: return DebugReadBlock(op.address, back.data(), op.count);
        case Kind::WriteBlock: return DebugWriteBlock(op.address, data.data(), op.count);
        case Kind::ReadMem:
            result = DebugReadMem(op.address, &value, op.count);
            for (uint32_t i = 0; i < back.size(); ++i) back[i] = static_cast<uint8_t>(value >> (8 * i));
            return result;
        case Kind::WriteMem: {
            uint32_t word = 0;
            for (uint32_t i = 0; i < data.size() && i < 4; ++i) word |= static_cast<uint32_t>(data[i]) << (8 * i);
            return DebugWriteMem(op.address, word, op.count);
        }
        }
        return result;
    }

    // The driver calls and wire transactions of the operation without faults.
    Injector Clean(const Operation& op) {
        Pattern();
        Bytes data(Length(op), 0x5A);
        Bytes back;
        g_injector = Injector{};
        Probe().clearWireLog();
        const uint64_t busBefore = Target().counters().ahbAccesses;
        EXPECT_EQ(Run(op, data, back), op.busError ? DBG_STICKY_ERROR : DBG_OK) << op.name;
        Injector counts = g_injector;
        counts.armAt = Probe().wireLog().size();
        counts.busAccesses = Target().counters().ahbAccesses - busBefore;
        EXPECT_GT(counts.busAccesses, 0u) << op.name;
        return counts;
    }

    void Arm(Fault fault, uint32_t at) {
        g_injector = Injector{};
        Probe().clearWireLog();
        using cm3sim::DriverOp;
        switch (fault) {
        case Fault::WriteFails: Config().driverFaults.push_back({DriverOp::Write, false, at, false}); break;
        case Fault::ReadFails: Config().driverFaults.push_back({DriverOp::Read, false, at, false}); break;
        case Fault::WriteShort: Config().driverFaults.push_back({DriverOp::Write, false, at, true}); break;
        case Fault::ReadShort: Config().driverFaults.push_back({DriverOp::Read, false, at, true}); break;
        case Fault::OneWait:
        case Fault::ThreeWaits:
            g_injector.armAt = at;
            g_injector.waits = fault == Fault::OneWait ? 1 : 3;
            break;
        case Fault::BusError: Config().stickyErrorAtAhbAccess = Target().counters().ahbAccesses + at; break;
        }
    }

    void Disarm() {
        Config().driverFaults.clear();
        Config().waitNextApTransactions = 0;
        Config().stickyErrorAtAhbAccess.reset();
        g_injector.armAt = kNever;
    }

    void Check(const Operation& op, Fault fault, uint32_t at) {
        const std::string where = std::string(op.name) + ", " + Name(fault) + " at " + std::to_string(at);
        Pattern();
        Bytes data(Length(op));
        std::mt19937 random(at);
        for (uint8_t& b : data) b = static_cast<uint8_t>(random());
        Bytes back;
        Arm(fault, at);
        const DebugResult result = Run(op, data, back);
        Disarm();

        const Bytes held = Target().peekBytes(op.address, Length(op));
        const bool write = op.kind == Kind::WriteBlock || op.kind == Kind::WriteMem;
        if (result == DBG_OK) {
            if (write) {
                EXPECT_EQ(held, data) << where << ": a write reported done is not all there";
            } else {
                EXPECT_EQ(back, held) << where << ": a read reported good is not what the target holds";
            }
        }
        for (uint32_t a = kWatchStart; a < kWatchStart + kWatchBytes; ++a) {
            if (a - op.address >= Length(op) && Target().peek8(a) != static_cast<uint8_t>(a + 1)) {
                ADD_FAILURE() << where << ": written outside, at " << std::hex << a;
                break;
            }
        }
        EXPECT_EQ(Probe().dpState().ctrlStat() & kPowerUpRequests, kPowerUpRequests) << where << ": powered down";

        // The call after the fault may fail; the one after that must work.
        Bytes again(40);
        const uint32_t from = kPage - 4;
        const DebugResult next = DebugReadBlock(from, again.data(), static_cast<uint32_t>(again.size()));
        if (next == DBG_OK) {
            EXPECT_EQ(again, Target().peekBytes(from, static_cast<uint32_t>(again.size()))) << where << ": next read";
        }
        EXPECT_EQ(DebugReadBlock(from, again.data(), static_cast<uint32_t>(again.size())), DBG_OK)
            << where << ": the link did not come back";
        EXPECT_EQ(again, Target().peekBytes(from, static_cast<uint32_t>(again.size()))) << where << ": second read";
    }
};

int Failures() { return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count(); }

TEST_P(FaultDataTest, EveryFaultAtEveryStep) {
    for (const Operation& op : kOperations) {
        Fresh(op);
        const Injector clean = Clean(op);
        for (Fault fault : kFaults) {
            uint32_t steps = static_cast<uint32_t>(clean.armAt);
            if (fault == Fault::WriteFails || fault == Fault::WriteShort) steps = clean.writes;
            if (fault == Fault::ReadShort) steps = clean.reads;
            if (fault == Fault::BusError) steps = static_cast<uint32_t>(clean.busAccesses);
            if (fault == Fault::ReadFails) {
                steps = clean.reads;
            }
            for (uint32_t at = 0; at < steps; ++at) {
                const int before = Failures();
                Check(op, fault, at);
                if (Failures() != before) Fresh(op);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllPaths, FaultDataTest, ::testing::ValuesIn(kAllPaths), PathName);

}  // namespace
}  // namespace cm3test
