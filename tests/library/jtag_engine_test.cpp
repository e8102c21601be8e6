// The MPSSE JTAG engine on a recording USB driver: exact command bytes, reply
// unpacking, the command sequence, and what a failing driver leads to.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "adapter/backend.h"
#include "adapter/jtag_mpsse_scan.h"
#include "adapter/mpsse.h"
#include "adapter/mpsse_jtag_engine.h"

namespace cm3test {
namespace {

using cm3probe::adapter::Description;
using cm3probe::adapter::JtagEngine;
using cm3probe::adapter::JtagHandle;
using cm3probe::adapter::kJtagOk;
using cm3probe::adapter::PinRecord;
using cm3probe::adapter::UsbHandle;
using cm3probe::adapter::UsbStatus;
namespace jtag = cm3probe::adapter::jtag;
namespace mpsse = cm3probe::mpsse;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kDr = jtag::kDataRegister;
constexpr uint32_t kIr = jtag::kInstructionRegister;
constexpr uint32_t kIdle = jtag::kRunTestIdle;

// ---- an MPSSE command walker: which opcodes, how many reply bytes ----

struct Walk {
    bool known = true;
    Bytes opcodes;
    uint32_t replyBytes = 0;
};

bool IsTmsOpcode(uint8_t op) {
    return (op & ~(mpsse::kDoRead | mpsse::kWriteNegEdge | mpsse::kReadNegEdge)) ==
           (mpsse::kWriteTms | mpsse::kLsbFirst | mpsse::kBitMode);
}

// Decodes only the commands both FT2232D and FT2232H know; anything else
// (the H-only 0x8A-0x97 among them) makes the walk unknown.
Walk WalkCommands(const Bytes& s) {
    Walk walk;
    size_t i = 0;
    auto take = [&](size_t n) {
        if (i + n > s.size()) walk.known = false;
        i += n;
    };
    while (i < s.size() && walk.known) {
        const uint8_t op = s[i++];
        walk.opcodes.push_back(op);
        const bool reads = (op & mpsse::kDoRead) != 0;
        if (op >= mpsse::kDoWrite && op < mpsse::kWriteTms && (op & mpsse::kLsbFirst) != 0) {
            if ((op & mpsse::kBitMode) != 0) {
                take(1);
                if ((op & mpsse::kDoWrite) != 0) take(1);
                walk.replyBytes += reads ? 1 : 0;
            } else {
                if (i + 2 > s.size()) return Walk{false, {}, 0};
                const uint32_t n = (s[i] | s[i + 1] << 8) + 1u;
                take(2);
                if ((op & mpsse::kDoWrite) != 0) take(n);
                walk.replyBytes += reads ? n : 0;
            }
        } else if (IsTmsOpcode(op)) {
            take(2);
            walk.replyBytes += reads ? 1 : 0;
        } else if (op == mpsse::kSetLowBits || op == mpsse::kSetHighBits || op == mpsse::kSetDivisor) {
            take(2);
        } else if (op == mpsse::kReadLowBits || op == mpsse::kReadHighBits) {
            walk.replyBytes += 1;
        } else if (op == mpsse::kSyncProbe) {
            walk.replyBytes += 2;  // bad-command marker and the opcode
        } else if (op != mpsse::kLoopbackOff && op != mpsse::kSendImmediate) {
            walk.known = false;
        }
    }
    return walk;
}

// ---- a USB driver that records every call and hands out scripted replies ----

enum class Op { List, Open, BitMode, Write, Read, Purge, Latency, Close };

struct Call {
    Op op;
    Bytes bytes;            // Write: sent; Read: handed out
    uint32_t argument = 0;  // BitMode: mask << 8 | mode; Read: count asked; Purge: mask; Latency: ms
    std::string text;       // Open: description
};

struct Recorder {
    std::vector<std::string> devices{"USB Debug Bridge A", "USB Debug Bridge B"};
    std::vector<Call> calls;
    std::deque<uint8_t> replies;      // arrived, not yet read
    std::deque<Bytes> answers;        // each arrives when a write asks for a reply
    std::deque<uint32_t> readLimits;  // per read: most bytes handed out
    UsbStatus readStatus = 0;         // once
    UsbStatus writeStatus = 0;        // once
    uint32_t writeShortBy = 0;        // once
    UsbStatus closeStatus = 0;        // once
    int openHandles = 0;

    std::vector<Call> of(Op op) const {
        std::vector<Call> out;
        std::copy_if(calls.begin(), calls.end(), std::back_inserter(out), [op](const Call& c) { return c.op == op; });
        return out;
    }
    std::vector<Bytes> writes() const {
        std::vector<Bytes> out;
        for (const Call& c : of(Op::Write)) out.push_back(c.bytes);
        return out;
    }
    void answer(const Bytes& bytes) { answers.push_back(bytes); }
};

Recorder g_usb;
const uint8_t g_deviceToken = 0;

UsbStatus List(Description* descriptions, uint32_t capacity, uint32_t* count) {
    g_usb.calls.push_back({Op::List, {}, capacity, {}});
    *count = static_cast<uint32_t>(g_usb.devices.size());
    for (uint32_t i = 0; i < std::min(capacity, *count); ++i) {
        std::snprintf(descriptions[i], sizeof(Description), "%s", g_usb.devices[i].c_str());
    }
    return 0;
}

UsbStatus Open(const char* description, UsbHandle* handle) {
    g_usb.calls.push_back({Op::Open, {}, 0, description});
    if (std::find(g_usb.devices.begin(), g_usb.devices.end(), description) == g_usb.devices.end()) return 9;
    ++g_usb.openHandles;
    *handle = const_cast<uint8_t*>(&g_deviceToken);
    return 0;
}

UsbStatus BitMode(UsbHandle, uint8_t mask, uint8_t mode) {
    g_usb.calls.push_back({Op::BitMode, {}, static_cast<uint32_t>(mask) << 8 | mode, {}});
    return 0;
}

UsbStatus Write(UsbHandle, const uint8_t* data, uint32_t count, uint32_t* written) {
    g_usb.calls.push_back({Op::Write, Bytes(data, data + count), count, {}});
    if (WalkCommands(g_usb.calls.back().bytes).replyBytes != 0 && !g_usb.answers.empty()) {
        const Bytes& answer = g_usb.answers.front();
        g_usb.replies.insert(g_usb.replies.end(), answer.begin(), answer.end());
        g_usb.answers.pop_front();
    }
    *written = count - std::min(count, std::exchange(g_usb.writeShortBy, 0));
    return std::exchange(g_usb.writeStatus, 0);
}

UsbStatus Read(UsbHandle, uint8_t* buffer, uint32_t count, uint32_t* got) {
    uint32_t n = std::min<uint32_t>(count, static_cast<uint32_t>(g_usb.replies.size()));
    if (!g_usb.readLimits.empty()) {
        n = std::min(n, g_usb.readLimits.front());
        g_usb.readLimits.pop_front();
    }
    Bytes handed(g_usb.replies.begin(), g_usb.replies.begin() + n);
    g_usb.replies.erase(g_usb.replies.begin(), g_usb.replies.begin() + n);
    std::copy(handed.begin(), handed.end(), buffer);
    *got = n;
    g_usb.calls.push_back({Op::Read, handed, count, {}});
    return std::exchange(g_usb.readStatus, 0);
}

UsbStatus Purge(UsbHandle, uint32_t mask) {
    g_usb.calls.push_back({Op::Purge, {}, mask, {}});
    g_usb.replies.clear();
    return 0;
}

UsbStatus Latency(UsbHandle, uint8_t ms) {
    g_usb.calls.push_back({Op::Latency, {}, ms, {}});
    return 0;
}

UsbStatus Close(UsbHandle) {
    g_usb.calls.push_back({Op::Close, {}, 0, {}});
    const UsbStatus status = std::exchange(g_usb.closeStatus, 0);
    if (status == 0) --g_usb.openHandles;
    return status;
}

constexpr cm3probe::adapter::UsbDriver kRecorder{"recorder", List, Open, BitMode, Write, Read, Purge, Latency, Close};

// Every write the chip would answer ends with send-immediate, and the read
// that follows asks for exactly the bytes it answers. An exchange the driver
// broke off may have no read.
void ExpectWellFormedExchanges(const std::vector<Call>& calls) {
    for (size_t k = 0; k < calls.size(); ++k) {
        if (calls[k].op != Op::Write) continue;
        const Walk walk = WalkCommands(calls[k].bytes);
        ASSERT_TRUE(walk.known) << "write " << k;
        const bool readFollows = k + 1 < calls.size() && calls[k + 1].op == Op::Read;
        if (walk.replyBytes == 0) {
            EXPECT_FALSE(readFollows) << "write " << k << " expects no reply";
            continue;
        }
        EXPECT_EQ(calls[k].bytes.back(), mpsse::kSendImmediate) << "write " << k;
        if (readFollows) {
            EXPECT_EQ(calls[k + 1].argument, walk.replyBytes) << "write " << k;
        }
    }
}

// ---- fixture: an engine opened and initialised on the recorder ----

const JtagEngine& Engine() { return cm3probe::adapter::MpsseJtagEngine(); }

constexpr PinRecord kDebugOpenLow{{{0, 0}, {1, 1}, {1, 0}, {1, 1}}};
constexpr PinRecord kAllInputs{};

class JtagEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_usb = Recorder{};
        cm3probe::adapter::InstallBackendForTesting(&kRecorder, &Engine());
    }
    void TearDown() override {
        if (handle_ != nullptr) {
            g_usb.closeStatus = 0;
            EXPECT_EQ(Engine().close(handle_), kJtagOk);
        }
        EXPECT_EQ(g_usb.openHandles, 0);
        ExpectWellFormedExchanges(g_usb.calls);
        cm3probe::adapter::InstallBackendForTesting(nullptr, nullptr);
    }
    void OpenEngine() { ASSERT_EQ(Engine().open("USB Debug Bridge A", 0, &handle_), kJtagOk); }
    void Initialise(uint32_t divisor = 5) {
        g_usb.answer({0xFA, 0xAA});
        ASSERT_EQ(Engine().initialise(handle_, divisor), kJtagOk);
    }
    // Opened and initialised, with the call log cleared.
    void Ready() {
        OpenEngine();
        Initialise();
        g_usb.calls.clear();
    }
    JtagHandle handle_ = nullptr;
};

// ---- devices, open, close ----

TEST_F(JtagEngineTest, ListsTheDriversDescriptionsWithTheIndexAsLocation) {
    g_usb.devices.clear();
    for (int i = 0; i < 11; ++i) g_usb.devices.push_back("Bridge " + std::to_string(i));
    uint32_t count = 0;
    ASSERT_EQ(Engine().deviceCount(&count), kJtagOk);
    EXPECT_EQ(count, 11u);
    for (uint32_t index : {0u, 7u, 10u}) {
        char name[jtag::kNameSize] = {};
        uint32_t location = 99;
        ASSERT_EQ(Engine().deviceName(index, name, sizeof name, &location), kJtagOk) << index;
        EXPECT_EQ(std::string(name), "Bridge " + std::to_string(index));
        EXPECT_EQ(location, index);
    }
    char name[jtag::kNameSize];
    uint32_t location = 0;
    EXPECT_NE(Engine().deviceName(11, name, sizeof name, &location), kJtagOk);
    char small[4];
    ASSERT_EQ(Engine().deviceName(3, small, sizeof small, &location), kJtagOk);
    EXPECT_STREQ(small, "Bri");
}

TEST_F(JtagEngineTest, OpenSetsMpsseWithJtagOutputsAndAShortLatency) {
    OpenEngine();
    ASSERT_EQ(g_usb.of(Op::Open).size(), 1u);
    EXPECT_EQ(g_usb.of(Op::Open)[0].text, "USB Debug Bridge A");
    ASSERT_EQ(g_usb.of(Op::BitMode).size(), 1u);
    EXPECT_EQ(g_usb.of(Op::BitMode)[0].argument, 0x0B02u);
    ASSERT_EQ(g_usb.of(Op::Latency).size(), 1u);
    EXPECT_GE(g_usb.of(Op::Latency)[0].argument, 1u);
    EXPECT_LE(g_usb.of(Op::Latency)[0].argument, 2u);
    EXPECT_TRUE(g_usb.writes().empty());
}

TEST_F(JtagEngineTest, OpenOfAnUnknownDeviceFailsWithoutAHandle) {
    JtagHandle handle = nullptr;
    EXPECT_NE(Engine().open("USB Debug Bridge C", 0, &handle), kJtagOk);
    EXPECT_EQ(handle, nullptr);
}

TEST_F(JtagEngineTest, CloseReportsTheDriversStatusAndAFailedCloseCanBeRepeated) {
    OpenEngine();
    g_usb.closeStatus = 7;
    EXPECT_EQ(Engine().close(handle_), 7u);
    EXPECT_EQ(g_usb.openHandles, 1);
    EXPECT_EQ(Engine().close(handle_), kJtagOk);
    handle_ = nullptr;
}

// ---- initialise ----

struct InitCase {
    uint32_t divisor;
    uint8_t low;
    uint8_t high;
};

TEST_F(JtagEngineTest, InitialiseSendsOnlyCommonOpcodesAndClampsTheDivisor) {
    const InitCase cases[] = {{0, 0x00, 0x00}, {5, 0x05, 0x00}, {0x1234, 0x34, 0x12},
                              {0xFFFF, 0xFF, 0xFF}, {0x10000, 0xFF, 0xFF}, {0xFFFFFFFF, 0xFF, 0xFF}};
    OpenEngine();
    for (const InitCase& c : cases) {
        g_usb.calls.clear();
        g_usb.answer({0xFA, 0xAA});
        ASSERT_EQ(Engine().initialise(handle_, c.divisor), kJtagOk) << c.divisor;
        ASSERT_EQ(g_usb.calls.size(), 6u) << c.divisor;
        // Purge, then out of MPSSE mode and back: a purge alone may leave
        // half a command in the chip.
        EXPECT_EQ(g_usb.calls[0].op, Op::Purge);
        EXPECT_EQ(g_usb.calls[0].argument, cm3probe::adapter::purge::kBoth);
        EXPECT_EQ(g_usb.calls[1].op, Op::BitMode);
        EXPECT_EQ(g_usb.calls[1].argument, 0x0B00u);
        EXPECT_EQ(g_usb.calls[2].op, Op::BitMode);
        EXPECT_EQ(g_usb.calls[2].argument, 0x0B02u);
        EXPECT_EQ(g_usb.calls[3].op, Op::Purge);
        EXPECT_EQ(g_usb.calls[3].argument, cm3probe::adapter::purge::kBoth);
        // Divisor, loopback off, pins with TMS low, a harmless read shifted
        // into a register a cut scan may have left open, TMS high, five
        // TMS-high clocks and one low, a bad opcode whose echo proves the
        // chip in step.
        const Bytes expected{0x86, c.low, c.high, 0x85, 0x80, 0x00, 0x0B, 0x82, 0x00, 0x00,
                             0x19, 0x04, 0x00, 0x60, 0x00, 0x00, 0x00, 0x00, 0x80, 0x08, 0x0B,
                             0x4B, 0x05, 0x1F, 0xAA, 0x87};
        EXPECT_EQ(g_usb.calls[4].bytes, expected) << c.divisor;
        EXPECT_EQ(g_usb.calls[5].op, Op::Read);
        EXPECT_EQ(g_usb.calls[5].argument, 2u);
    }
}

TEST_F(JtagEngineTest, InitialiseKeepsThePinsTheLastPinCallSet) {
    OpenEngine();
    const PinRecord high{{{1, 1}, {1, 0}, {0, 1}, {1, 1}}};
    ASSERT_EQ(Engine().setPins(handle_, 1, &kDebugOpenLow, 1, &high), kJtagOk);
    g_usb.calls.clear();
    Initialise(5);
    const Bytes expected{0x86, 0x05, 0x00, 0x85, 0x80, 0xA0, 0xEB, 0x82, 0x0D, 0x0B, 0x19, 0x04, 0x00, 0x60,
                         0x00, 0x00, 0x00, 0x00, 0x80, 0xA8, 0xEB, 0x4B, 0x05, 0x1F, 0xAA, 0x87};
    EXPECT_EQ(g_usb.writes().at(0), expected);
}

TEST_F(JtagEngineTest, InitialiseFailsWhenTheChipDoesNotAnswer) {
    OpenEngine();
    EXPECT_NE(Engine().initialise(handle_, 5), kJtagOk);
    g_usb.answer({0xAA, 0x87});  // bytes eaten as a command's operands, not the echo
    EXPECT_NE(Engine().initialise(handle_, 5), kJtagOk);
    g_usb.answer({0x00});
    g_usb.readStatus = 3;
    EXPECT_NE(Engine().initialise(handle_, 5), kJtagOk);
    g_usb.writeShortBy = 1;
    EXPECT_NE(Engine().initialise(handle_, 5), kJtagOk);
}

// ---- pins ----

struct PinCase {
    const char* name;
    uint32_t controlLow;
    PinRecord low;
    uint32_t controlHigh;
    PinRecord high;
    Bytes expected;
};

TEST_F(JtagEngineTest, PinsReachAdbus4To7AndAcbus0To3WithoutTouchingJtagPins) {
    const PinCase cases[] = {
        {"DebugOpen's low pins", 1, kDebugOpenLow, 0, kAllInputs, {0x80, 0xA0, 0xEB}},
        {"reset asserted", 1, {{{0, 0}, {1, 0}, {1, 0}, {1, 1}}}, 0, kAllInputs, {0x80, 0x80, 0xEB}},
        {"all low outputs high", 1, {{{1, 1}, {1, 1}, {1, 1}, {1, 1}}}, 0, kAllInputs, {0x80, 0xF0, 0xFB}},
        {"all low inputs", 1, kAllInputs, 0, kAllInputs, {0x80, 0x00, 0x0B}},
        {"input levels kept", 1, {{{0, 1}, {0, 0}, {0, 1}, {0, 0}}}, 0, kAllInputs, {0x80, 0x50, 0x0B}},
        {"high group only", 0, kAllInputs, 1, {{{1, 1}, {1, 0}, {0, 0}, {1, 1}}}, {0x82, 0x09, 0x0B}},
        {"high group pin 3", 0, kAllInputs, 1, {{{0, 0}, {0, 0}, {1, 1}, {0, 0}}}, {0x82, 0x04, 0x04}},
        {"both groups", 1, kDebugOpenLow, 1, {{{1, 0}, {1, 1}, {0, 0}, {0, 0}}},
         {0x80, 0xA0, 0xEB, 0x82, 0x02, 0x03}},
    };
    Ready();
    for (const PinCase& c : cases) {
        g_usb.calls.clear();
        ASSERT_EQ(Engine().setPins(handle_, c.controlLow, &c.low, c.controlHigh, &c.high), kJtagOk) << c.name;
        ASSERT_EQ(g_usb.writes().size(), 1u) << c.name;
        EXPECT_EQ(g_usb.writes()[0], c.expected) << c.name;
    }
    g_usb.calls.clear();
    EXPECT_EQ(Engine().setPins(handle_, 0, nullptr, 0, nullptr), kJtagOk);
    EXPECT_TRUE(g_usb.calls.empty());
}

TEST_F(JtagEngineTest, PinCallsKeepTdiWhereTheLastScanLeftIt) {
    Ready();
    const uint8_t ones[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x07};
    ASSERT_EQ(Engine().scanWrite(handle_, kDr, 35, ones, sizeof ones, kIdle), kJtagOk);
    g_usb.calls.clear();
    ASSERT_EQ(Engine().setPins(handle_, 1, &kDebugOpenLow, 0, &kAllInputs), kJtagOk);
    EXPECT_EQ(g_usb.writes().at(0), (Bytes{0x80, 0xA2, 0xEB}));
}

// ---- immediate scans ----

struct WriteCase {
    const char* name;
    uint32_t reg;
    uint32_t bits;
    Bytes request;
    Bytes expected;
};

TEST_F(JtagEngineTest, ScanWritesAreExact) {
    const WriteCase cases[] = {
        // Into Shift-IR, three bits, the fourth with TMS high, to Run-Test/Idle.
        {"IR DPACC", kIr, 4, {0x0A}, {0x4B, 0x03, 0x03, 0x1B, 0x02, 0x02, 0x4B, 0x02, 0x83}},
        {"IR APACC", kIr, 4, {0x0B}, {0x4B, 0x03, 0x83, 0x1B, 0x02, 0x03, 0x4B, 0x02, 0x83}},
        {"IR IDCODE", kIr, 4, {0x0E}, {0x4B, 0x03, 0x03, 0x1B, 0x02, 0x06, 0x4B, 0x02, 0x83}},
        // CSW write, word size: 34 bits through the data commands, the 35th on TMS.
        {"DR CSW write", kDr, 35, {0x10, 0x00, 0x00, 0x18, 0x01},
         {0x4B, 0x02, 0x01, 0x19, 0x03, 0x00, 0x10, 0x00, 0x00, 0x18, 0x1B, 0x01, 0x01, 0x4B, 0x02, 0x03}},
        {"DR top bit set", kDr, 35, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
         {0x4B, 0x02, 0x81, 0x19, 0x03, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x1B, 0x01, 0x03, 0x4B, 0x02, 0x83}},
        {"DR 32 bits", kDr, 32, {0x78, 0x56, 0x34, 0x92},
         {0x4B, 0x02, 0x01, 0x19, 0x02, 0x00, 0x78, 0x56, 0x34, 0x1B, 0x06, 0x12, 0x4B, 0x02, 0x83}},
        {"DR 9 bits", kDr, 9, {0x00, 0x01}, {0x4B, 0x02, 0x01, 0x19, 0x00, 0x00, 0x00, 0x4B, 0x02, 0x83}},
        {"DR 1 bit", kDr, 1, {0x01}, {0x4B, 0x02, 0x81, 0x4B, 0x02, 0x83}},
    };
    Ready();
    for (const WriteCase& c : cases) {
        g_usb.calls.clear();
        ASSERT_EQ(Engine().scanWrite(handle_, c.reg, c.bits, c.request.data(),
                                     static_cast<uint32_t>(c.request.size()), kIdle),
                  kJtagOk)
            << c.name;
        ASSERT_EQ(g_usb.calls.size(), 1u) << c.name;
        EXPECT_EQ(g_usb.calls[0].bytes, c.expected) << c.name;
    }
}

// Reply bytes as the chip sends them: whole bytes, the odd bits in the top of
// a byte, the last bit in bit 5 of the TMS command's byte. The other bits
// hold junk the engine must drop.
struct CaptureCase {
    const char* name;
    uint32_t bits;
    Bytes reply;
    Bytes capture;
};

TEST_F(JtagEngineTest, ScanWriteReadIsExactAndUnpacksTheCapture) {
    const CaptureCase cases[] = {
        {"ACK OK, data 0x4F0AC682", 35, {0x12, 0x34, 0x56, 0x78, 0xBF, 0xDF}, {0x12, 0x34, 0x56, 0x78, 0x02}},
        {"all ones", 35, {0xFF, 0xFF, 0xFF, 0xFF, 0xC0, 0x20}, {0xFF, 0xFF, 0xFF, 0xFF, 0x07}},
        {"all zero, junk set", 35, {0x00, 0x00, 0x00, 0x00, 0x3F, 0xDF}, {0x00, 0x00, 0x00, 0x00, 0x00}},
        {"only bit 34", 35, {0x00, 0x00, 0x00, 0x00, 0x00, 0x20}, {0x00, 0x00, 0x00, 0x00, 0x04}},
        {"only bit 32", 35, {0x00, 0x00, 0x00, 0x00, 0x40, 0x00}, {0x00, 0x00, 0x00, 0x00, 0x01}},
    };
    const uint8_t request[] = {0x10, 0x00, 0x00, 0x18, 0x01};
    const Bytes commands{0x4B, 0x02, 0x01, 0x39, 0x03, 0x00, 0x10, 0x00, 0x00, 0x18,
                         0x3B, 0x01, 0x01, 0x6B, 0x02, 0x03, 0x87};
    Ready();
    for (const CaptureCase& c : cases) {
        g_usb.calls.clear();
        g_usb.answer(c.reply);
        uint8_t capture[5] = {};
        uint32_t count = 0;
        ASSERT_EQ(Engine().scanWriteRead(handle_, kDr, c.bits, request, sizeof request, capture, &count, kIdle),
                  kJtagOk)
            << c.name;
        EXPECT_EQ(g_usb.writes().at(0), commands) << c.name;
        EXPECT_EQ(count, 5u) << c.name;
        EXPECT_EQ(Bytes(capture, capture + 5), c.capture) << c.name;
    }
}

TEST_F(JtagEngineTest, ScanReadShiftsAHarmlessReadRequest) {
    Ready();
    // IDCODE 0x4BA00477: bits 24-30 in the top seven bits of the odd byte, bit 31 clear.
    g_usb.answer({0x77, 0x04, 0xA0, 0x97, 0xDF});
    uint8_t idcode[4] = {};
    uint32_t count = 0;
    ASSERT_EQ(Engine().scanRead(handle_, kDr, 32, idcode, &count, kIdle), kJtagOk);
    EXPECT_EQ(g_usb.writes().at(0),
              (Bytes{0x4B, 0x02, 0x81, 0x39, 0x02, 0x00, 0x01, 0x00, 0x00, 0x3B, 0x06, 0x00, 0x6B, 0x02, 0x03, 0x87}));
    EXPECT_EQ(Bytes(idcode, idcode + 4), (Bytes{0x77, 0x04, 0xA0, 0x4B}));
    EXPECT_EQ(count, 4u);

    // A DAP scan: RnW = 1, A[3:2] = 0, data 0.
    g_usb.calls.clear();
    g_usb.answer({0, 0, 0, 0, 0, 0});
    uint8_t capture[5];
    ASSERT_EQ(Engine().scanRead(handle_, kDr, 35, capture, &count, kIdle), kJtagOk);
    EXPECT_EQ(g_usb.writes().at(0), (Bytes{0x4B, 0x02, 0x81, 0x39, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0x3B, 0x01,
                                           0x00, 0x6B, 0x02, 0x03, 0x87}));
}

TEST_F(JtagEngineTest, AFailedReadHandsOutNothingAndStaleRepliesAreDroppedBeforeTheNext) {
    Ready();
    const uint8_t request[] = {0x03, 0x00, 0x00, 0x00, 0x00};
    uint8_t capture[5] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    uint32_t count = 0;
    g_usb.answer({1, 2, 3});  // half a reply, then nothing
    EXPECT_NE(Engine().scanWriteRead(handle_, kDr, 35, request, sizeof request, capture, &count, kIdle), kJtagOk);
    EXPECT_EQ(Bytes(capture, capture + 5), Bytes(5, 0xAA));
    g_usb.answer({0x12, 0x34, 0x56, 0x78, 0x80, 0x00});
    g_usb.readStatus = 4;
    EXPECT_NE(Engine().scanWriteRead(handle_, kDr, 35, request, sizeof request, capture, &count, kIdle), kJtagOk);
    EXPECT_EQ(Bytes(capture, capture + 5), Bytes(5, 0xAA));

    // Late bytes of the failed exchanges must not shift the next capture.
    g_usb.calls.clear();
    g_usb.replies = {7, 7, 7};
    g_usb.answer({0x12, 0x34, 0x56, 0x78, 0x80, 0x00});
    ASSERT_EQ(Engine().scanWriteRead(handle_, kDr, 35, request, sizeof request, capture, &count, kIdle), kJtagOk);
    EXPECT_EQ(Bytes(capture, capture + 5), (Bytes{0x12, 0x34, 0x56, 0x78, 0x02}));
    ASSERT_GE(g_usb.calls.size(), 2u);
    EXPECT_EQ(g_usb.calls[0].op, Op::Purge);
    EXPECT_EQ(g_usb.calls[0].argument, cm3probe::adapter::purge::kReceive);
    EXPECT_EQ(g_usb.calls[1].op, Op::Write);
    // Once back in step, no more purges.
    g_usb.calls.clear();
    g_usb.answer({0, 0, 0, 0, 0, 0});
    ASSERT_EQ(Engine().scanWriteRead(handle_, kDr, 35, request, sizeof request, capture, &count, kIdle), kJtagOk);
    EXPECT_TRUE(g_usb.of(Op::Purge).empty());
}

TEST_F(JtagEngineTest, AReplyInSeveralPiecesIsReadToTheEnd) {
    Ready();
    g_usb.answer({0x12, 0x34, 0x56, 0x78, 0x80, 0x00});
    g_usb.readLimits = {2, 1, 3};
    uint8_t capture[5] = {};
    uint32_t count = 0;
    const uint8_t request[] = {0x03, 0x00, 0x00, 0x00, 0x00};
    ASSERT_EQ(Engine().scanWriteRead(handle_, kDr, 35, request, sizeof request, capture, &count, kIdle), kJtagOk);
    EXPECT_EQ(Bytes(capture, capture + 5), (Bytes{0x12, 0x34, 0x56, 0x78, 0x02}));
    EXPECT_EQ(g_usb.of(Op::Read).size(), 3u);
}

TEST_F(JtagEngineTest, AShortWriteFails) {
    Ready();
    const uint8_t request[] = {0x03, 0x00, 0x00, 0x00, 0x00};
    g_usb.writeShortBy = 1;
    EXPECT_NE(Engine().scanWrite(handle_, kDr, 35, request, sizeof request, kIdle), kJtagOk);
    g_usb.writeStatus = 6;
    EXPECT_NE(Engine().scanWrite(handle_, kDr, 35, request, sizeof request, kIdle), kJtagOk);
}

struct BadScan {
    const char* name;
    uint32_t reg;
    uint32_t bits;
    uint32_t byteCount;
    uint32_t finalState;
};

TEST_F(JtagEngineTest, MalformedScansAreRefusedWithoutTraffic) {
    const BadScan cases[] = {
        {"unknown register", 2, 35, 5, kIdle},
        {"no bits", kDr, 0, 5, kIdle},
        {"too few bytes", kDr, 35, 4, kIdle},
        {"longer than the engine takes", kDr, cm3probe::adapter::jtag_mpsse::kMaxBits + 1, 1024, kIdle},
        {"other final state", kDr, 35, 5, 1},
    };
    Ready();
    const uint8_t request[1024] = {};
    uint8_t capture[1024];
    uint32_t count = 0;
    for (const BadScan& c : cases) {
        EXPECT_NE(Engine().scanWrite(handle_, c.reg, c.bits, request, c.byteCount, c.finalState), kJtagOk) << c.name;
        EXPECT_NE(Engine().scanWriteRead(handle_, c.reg, c.bits, request, c.byteCount, capture, &count,
                                         c.finalState),
                  kJtagOk)
            << c.name;
        EXPECT_NE(Engine().queueWrite(handle_, c.reg, c.bits, request, c.byteCount, c.finalState), kJtagOk)
            << c.name;
    }
    EXPECT_TRUE(g_usb.calls.empty());
}

// ---- the command sequence ----

TEST_F(JtagEngineTest, ExecuteSendsTheQueueInOneExchangeAndReturnsCapturesInOrder) {
    Ready();
    uint8_t request[5] = {0x0B};
    ASSERT_EQ(Engine().clearSequence(handle_), kJtagOk);
    ASSERT_EQ(Engine().queueWrite(handle_, kIr, 4, request, 1, kIdle), kJtagOk);
    // Bytes are copied at the call: the caller builds the next one in the same area.
    const uint8_t cswWrite[] = {0x10, 0x00, 0x00, 0x18, 0x01};
    std::memcpy(request, cswWrite, sizeof request);
    ASSERT_EQ(Engine().queueWrite(handle_, kDr, 35, request, 5, kIdle), kJtagOk);
    const uint8_t drwRead[] = {0x07, 0x00, 0x00, 0x00, 0x00};
    std::memcpy(request, drwRead, sizeof request);
    ASSERT_EQ(Engine().queueWriteRead(handle_, kDr, 35, request, 5, kIdle), kJtagOk);
    std::memset(request, 0xEE, sizeof request);
    ASSERT_EQ(Engine().queueRead(handle_, kDr, 35, kIdle), kJtagOk);
    EXPECT_TRUE(g_usb.calls.empty());

    // The same bytes the immediate scans send, one after another.
    const Bytes expected{
        0x4B, 0x03, 0x83, 0x1B, 0x02, 0x03, 0x4B, 0x02, 0x83,
        0x4B, 0x02, 0x01, 0x19, 0x03, 0x00, 0x10, 0x00, 0x00, 0x18, 0x1B, 0x01, 0x01, 0x4B, 0x02, 0x03,
        0x4B, 0x02, 0x81, 0x39, 0x03, 0x00, 0x07, 0x00, 0x00, 0x00, 0x3B, 0x01, 0x00, 0x6B, 0x02, 0x03,
        0x4B, 0x02, 0x81, 0x39, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0x3B, 0x01, 0x00, 0x6B, 0x02, 0x03,
        0x87};
    g_usb.answer({0x12, 0x34, 0x56, 0x78, 0xBF, 0xDF, 0xFF, 0xFF, 0xFF, 0xFF, 0xC0, 0x20});
    std::vector<uint8_t> readBack(jtag::kReadBackSize, 0xAA);
    uint32_t count = 0;
    ASSERT_EQ(Engine().executeSequence(handle_, readBack.data(), jtag::kReadBackSize, &count), kJtagOk);
    ASSERT_EQ(g_usb.writes().size(), 1u);
    EXPECT_EQ(g_usb.writes()[0], expected);
    EXPECT_EQ(count, 10u);
    EXPECT_EQ(Bytes(readBack.begin(), readBack.begin() + 11),
              (Bytes{0x12, 0x34, 0x56, 0x78, 0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0x07, 0xAA}));

    // Empty afterwards: a second execute sends nothing.
    g_usb.calls.clear();
    ASSERT_EQ(Engine().executeSequence(handle_, readBack.data(), jtag::kReadBackSize, &count), kJtagOk);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(g_usb.calls.empty());
}

TEST_F(JtagEngineTest, AQueueOfWritesOnlyWaitsForNoReply) {
    Ready();
    const uint8_t request[5] = {0x02, 0x00, 0x00, 0x80, 0x02};
    ASSERT_EQ(Engine().queueWrite(handle_, kDr, 35, request, 5, kIdle), kJtagOk);
    uint8_t readBack[5];
    uint32_t count = 99;
    ASSERT_EQ(Engine().executeSequence(handle_, readBack, sizeof readBack, &count), kJtagOk);
    EXPECT_EQ(count, 0u);
    ASSERT_EQ(g_usb.writes().size(), 1u);
    EXPECT_NE(g_usb.writes()[0].back(), mpsse::kSendImmediate);
    EXPECT_TRUE(g_usb.of(Op::Read).empty());
}

TEST_F(JtagEngineTest, ABlockTransfersWorthOfScansGoesInOneExchange) {
    // A block transfer: instruction, address, then 1030 reads.
    constexpr uint32_t kEntries = 1032;
    Ready();
    const uint8_t instruction = 0x0B;
    const uint8_t request[5] = {0x0F, 0, 0, 0, 0};
    ASSERT_EQ(Engine().queueWrite(handle_, kIr, 4, &instruction, 1, kIdle), kJtagOk);
    ASSERT_EQ(Engine().queueWrite(handle_, kDr, 35, request, 5, kIdle), kJtagOk);
    Bytes answer;
    for (uint32_t i = 2; i < kEntries; ++i) {
        ASSERT_EQ(Engine().queueWriteRead(handle_, kDr, 35, request, 5, kIdle), kJtagOk) << i;
        // Data field i, ACK OK.
        const uint64_t scan = 2u | static_cast<uint64_t>(i) << 3;
        answer.insert(answer.end(), {static_cast<uint8_t>(scan), static_cast<uint8_t>(scan >> 8),
                                     static_cast<uint8_t>(scan >> 16), static_cast<uint8_t>(scan >> 24),
                                     static_cast<uint8_t>(((scan >> 32) & 3) << 6),
                                     static_cast<uint8_t>(((scan >> 34) & 1) << 5)});
    }
    g_usb.answer(answer);
    std::vector<uint8_t> readBack(jtag::kReadBackSize);
    uint32_t count = 0;
    ASSERT_EQ(Engine().executeSequence(handle_, readBack.data(), jtag::kReadBackSize, &count), kJtagOk);
    EXPECT_EQ(count, (kEntries - 2) * 5);
    EXPECT_EQ(g_usb.writes().size(), 1u);
    for (uint32_t i = 2; i < kEntries; ++i) {
        const uint8_t* capture = readBack.data() + (i - 2) * 5;
        uint64_t scan = 0;
        for (int b = 4; b >= 0; --b) scan = scan << 8 | capture[b];
        ASSERT_EQ(scan, 2u | static_cast<uint64_t>(i) << 3) << i;
    }
}

TEST_F(JtagEngineTest, AFullSequenceRefusesMoreAndExecuteWithoutRoomStillEmptiesIt) {
    Ready();
    const uint8_t request[5] = {};
    uint32_t queued = 0;
    while (Engine().queueWriteRead(handle_, kDr, 35, request, 5, kIdle) == kJtagOk && queued <= 100000) ++queued;
    EXPECT_GE(queued, 1032u);
    EXPECT_LT(queued, 100000u);
    uint8_t readBack[5];
    uint32_t count = 99;
    EXPECT_NE(Engine().executeSequence(handle_, readBack, sizeof readBack, &count), kJtagOk);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(g_usb.calls.empty());
    EXPECT_EQ(Engine().queueWriteRead(handle_, kDr, 35, request, 5, kIdle), kJtagOk);
    ASSERT_EQ(Engine().clearSequence(handle_), kJtagOk);
    ASSERT_EQ(Engine().executeSequence(handle_, readBack, sizeof readBack, &count), kJtagOk);
    EXPECT_TRUE(g_usb.calls.empty());
}

TEST_F(JtagEngineTest, AFailedExecuteReturnsNoCapturesAndEmptiesTheSequence) {
    Ready();
    ASSERT_EQ(Engine().queueRead(handle_, kDr, 35, kIdle), kJtagOk);
    g_usb.answer({1, 2, 3});
    uint8_t readBack[5] = {};
    uint32_t count = 99;
    EXPECT_NE(Engine().executeSequence(handle_, readBack, sizeof readBack, &count), kJtagOk);
    EXPECT_EQ(count, 0u);
    g_usb.calls.clear();
    ASSERT_EQ(Engine().executeSequence(handle_, readBack, sizeof readBack, &count), kJtagOk);
    EXPECT_TRUE(g_usb.calls.empty());
}

TEST(JtagMpsseScan, UnpackingIsTheInverseOfTheChipsPacking) {
    namespace scan = cm3probe::adapter::jtag_mpsse;
    // Pack a capture the way the chip returns it, for every length, and unpack.
    for (uint32_t bits = 1; bits <= 80; ++bits) {
        Bytes capture(scan::ByteCount(bits));
        for (uint32_t i = 0; i < bits; ++i) {
            if ((i * 7 + bits) % 3 == 0) capture[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
        }
        Bytes reply(scan::ReplySize(bits), 0);
        const uint32_t whole = scan::BodyBytes(bits);
        const uint32_t odd = scan::BodyBits(bits);
        std::copy(capture.begin(), capture.begin() + whole, reply.begin());
        for (uint32_t i = 0; i < odd; ++i) {
            if ((capture[whole] >> i) & 1) reply[whole] |= static_cast<uint8_t>(1u << (8 - odd + i));
        }
        if ((capture[(bits - 1) / 8] >> ((bits - 1) % 8)) & 1) reply.back() |= 0x20;
        Bytes out(capture.size(), 0xEE);
        scan::UnpackCapture(reply.data(), bits, out.data());
        EXPECT_EQ(out, capture) << bits;
        // Every reading scan's commands ask for exactly ReplySize bytes.
        Bytes commands(scan::CommandSize(bits));
        EXPECT_EQ(scan::BuildScan(commands.data(), scan::Register::Data, bits, capture.data(), true),
                  scan::CommandSize(bits));
        EXPECT_EQ(WalkCommands(commands).replyBytes, scan::ReplySize(bits)) << bits;
    }
}

}  // namespace
}  // namespace cm3test
