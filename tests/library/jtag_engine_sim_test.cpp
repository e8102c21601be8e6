// The MPSSE JTAG engine against the simulator's JTAG-DP: what the scans do to
// the TAP and the debug port, queued against immediate, and the pins.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "adapter/backend.h"
#include "adapter/jtag_pins.h"
#include "adapter/mpsse.h"
#include "adapter/mpsse_jtag_engine.h"
#include "connection/line_mode.h"
#include "dap/ap_registers.h"
#include "dap/dp_registers.h"
#include "transport/jtag_scan.h"
#include "usb/sim_usb_driver.h"
#include "virtual_probe.h"

namespace cm3test {
namespace {

using cm3probe::BuildDapScan;
using cm3probe::DecodeDapScan;
using cm3probe::adapter::JtagHandle;
using cm3probe::adapter::JtagStatus;
using cm3probe::adapter::kJtagOk;
using cm3probe::adapter::PinRecord;
using cm3sim::TapState;
namespace jtag = cm3probe::adapter::jtag;
namespace jtag_ir = cm3probe::jtag_ir;
namespace dap_scan = cm3probe::dap_scan;
namespace pins = cm3probe::adapter::jtag_pins;
namespace mpsse = cm3probe::mpsse;
using Bytes = std::vector<uint8_t>;

constexpr const char* kChannelA = "USB Debug Bridge A";
constexpr uint32_t kDivisor = 5;
constexpr uint32_t kIdcode = 0x4BA00477;
constexpr uint32_t kPowerUpRequest = 0x50000000;  // CDBGPWRUPREQ | CSYSPWRUPREQ
constexpr uint32_t kPowerUpAcks = 0xA0000000;     // CDBGPWRUPACK | CSYSPWRUPACK
constexpr uint32_t kSelectBankF = 0x000000F0;
constexpr uint8_t kAhbApIdr = cm3probe::ap::kIdr;  // A[3:2] of it, with APBANKSEL 0xF
constexpr uint32_t kAhbApIdrValue = 0x24770011;
constexpr uint32_t kSelectAp1 = 0x01000000;

const cm3probe::adapter::JtagEngine& Engine() { return cm3probe::adapter::MpsseJtagEngine(); }
cm3sim::VirtualProbe& Probe() { return cm3sim::GlobalProbe(); }
TapState Tap() { return Probe().debugPort().jtag().state(); }

uint32_t Word(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

class JtagEngineSimTest : public ::testing::Test {
protected:
    void SetUp() override { PowerOn(); }
    void TearDown() override {
        Shutdown();
        cm3probe::adapter::InstallBackendForTesting(nullptr, nullptr);
    }

    // A freshly powered bench, switched to JTAG as DebugOpen does, with the
    // engine open, DebugOpen's pins set and initialised.
    void PowerOn() {
        cm3sim::SimConfig config;
        config.logWireTransactions = true;
        cm3sim::ResetGlobalProbe(config);
        cm3probe::adapter::InstallBackendForTesting(&cm3sim::SimUsbDriver(), &Engine());
        ASSERT_EQ(cm3probe::connection::SendLineModeSequence(kChannelA, false), 0u);
        ASSERT_EQ(Engine().open(kChannelA, 0, &handle_), kJtagOk);
        ASSERT_EQ(Engine().setPins(handle_, pins::kSetLowGroup, &pins::kResetReleased, pins::kLeaveHighGroup,
                                   &pins::kHighGroupInputs),
                  kJtagOk);
        ASSERT_EQ(Engine().initialise(handle_, kDivisor), kJtagOk);
        ASSERT_EQ(Tap(), TapState::RunTestIdle);
        Probe().clearWireLog();
    }
    void Shutdown() {
        // Host and target never drove TDO (or TMS) at once, whatever the test did.
        EXPECT_EQ(Probe().contentionCount(), 0u);
        if (handle_ != nullptr) {
            EXPECT_EQ(Engine().close(handle_), kJtagOk);
        }
        handle_ = nullptr;
    }

    void Instruction(uint8_t code) {
        ASSERT_EQ(Engine().scanWrite(handle_, jtag::kInstructionRegister, jtag_ir::kBits, &code, 1,
                                     jtag::kRunTestIdle),
                  kJtagOk);
        ASSERT_EQ(Tap(), TapState::RunTestIdle);
    }
    void Write(uint8_t reg, uint32_t value) {
        uint8_t request[dap_scan::kBytes];
        BuildDapScan(value, reg, dap_scan::kWrite, request);
        ASSERT_EQ(Engine().scanWrite(handle_, jtag::kDataRegister, dap_scan::kBits, request, dap_scan::kBytes,
                                     jtag::kRunTestIdle),
                  kJtagOk);
        ASSERT_EQ(Tap(), TapState::RunTestIdle);
    }
    // A register read as the library makes it: the request, then a read-only
    // scan bringing its result.
    uint32_t Read(uint8_t reg) {
        uint8_t request[dap_scan::kBytes];
        BuildDapScan(0, reg, dap_scan::kRead, request);
        uint8_t capture[dap_scan::kBytes] = {};
        uint32_t count = 0;
        EXPECT_EQ(Engine().scanWrite(handle_, jtag::kDataRegister, dap_scan::kBits, request, dap_scan::kBytes,
                                     jtag::kRunTestIdle),
                  kJtagOk);
        EXPECT_EQ(Tap(), TapState::RunTestIdle);
        EXPECT_EQ(Engine().scanRead(handle_, jtag::kDataRegister, dap_scan::kBits, capture, &count,
                                    jtag::kRunTestIdle),
                  kJtagOk);
        EXPECT_EQ(Tap(), TapState::RunTestIdle);
        EXPECT_EQ(count, dap_scan::kBytes);
        uint32_t value = 0;
        EXPECT_EQ(DecodeDapScan(capture, &value), cm3probe::WireStatus::Ok);
        return value;
    }
    uint32_t ReadIdcode() {
        uint8_t capture[dap_scan::kIdcodeBytes] = {};
        uint32_t count = 0;
        EXPECT_EQ(Engine().scanRead(handle_, jtag::kDataRegister, dap_scan::kIdcodeBits, capture, &count,
                                    jtag::kRunTestIdle),
                  kJtagOk);
        EXPECT_EQ(Tap(), TapState::RunTestIdle);
        EXPECT_EQ(count, dap_scan::kIdcodeBytes);
        return Word(capture);
    }

    JtagHandle handle_ = nullptr;
};

TEST_F(JtagEngineSimTest, InstructionScansLoadTheInstructionRegister) {
    for (uint8_t code : {jtag_ir::kDpacc, jtag_ir::kApacc, jtag_ir::kIdcode, uint8_t{0xF}, uint8_t{0x8},
                         uint8_t{0x5}, jtag_ir::kDpacc}) {
        Instruction(code);
        EXPECT_EQ(Probe().debugPort().jtag().instruction(), code);
    }
}

TEST_F(JtagEngineSimTest, IdcodeComesThroughA32BitScan) {
    // Test-Logic-Reset loaded IDCODE already; load it anyway, as the library does.
    EXPECT_EQ(ReadIdcode(), kIdcode);
    Instruction(jtag_ir::kDpacc);
    Instruction(jtag_ir::kIdcode);
    EXPECT_EQ(ReadIdcode(), kIdcode);
    EXPECT_EQ(ReadIdcode(), kIdcode);
}

TEST_F(JtagEngineSimTest, DpaccWritesLandAndReadBack) {
    Instruction(jtag_ir::kDpacc);
    Write(cm3probe::dp::kSelect, kSelectBankF);
    EXPECT_EQ(Probe().dpState().select(), kSelectBankF);
    EXPECT_EQ(Read(cm3probe::dp::kSelect), kSelectBankF);

    Write(cm3probe::dp::kCtrlStat, kPowerUpRequest);
    uint32_t status = Read(cm3probe::dp::kCtrlStat);
    EXPECT_EQ(status & kPowerUpRequest, kPowerUpRequest);
    EXPECT_EQ(status & kPowerUpAcks, kPowerUpAcks);
}

TEST_F(JtagEngineSimTest, WriteReadScansCarryARequestAndThePreviousResult) {
    Instruction(jtag_ir::kDpacc);
    Write(cm3probe::dp::kSelect, kSelectBankF);
    uint8_t request[dap_scan::kBytes];
    uint8_t capture[dap_scan::kBytes];
    uint32_t count = 0;
    BuildDapScan(0, cm3probe::dp::kSelect, dap_scan::kRead, request);
    ASSERT_EQ(Engine().scanWriteRead(handle_, jtag::kDataRegister, dap_scan::kBits, request, dap_scan::kBytes,
                                     capture, &count, jtag::kRunTestIdle),
              kJtagOk);
    EXPECT_EQ(Tap(), TapState::RunTestIdle);
    // This scan's result is the write's (0); the next brings SELECT.
    ASSERT_EQ(Engine().scanWriteRead(handle_, jtag::kDataRegister, dap_scan::kBits, request, dap_scan::kBytes,
                                     capture, &count, jtag::kRunTestIdle),
              kJtagOk);
    uint32_t value = 0;
    EXPECT_EQ(DecodeDapScan(capture, &value), cm3probe::WireStatus::Ok);
    EXPECT_EQ(value, kSelectBankF);
    // The AP's identification through APACC in bank 0xF.
    Instruction(jtag_ir::kApacc);
    EXPECT_EQ(Read(kAhbApIdr), kAhbApIdrValue);
}

TEST_F(JtagEngineSimTest, AReadOnlyScanChangesNoRegister) {
    Instruction(jtag_ir::kDpacc);
    Write(cm3probe::dp::kCtrlStat, kPowerUpRequest);
    Write(cm3probe::dp::kSelect, kSelectBankF);
    const uint32_t ctrlStat = Probe().dpState().ctrlStat();
    const uint32_t select = Probe().dpState().select();
    Probe().clearWireLog();
    uint8_t capture[dap_scan::kBytes];
    uint32_t count = 0;
    for (uint8_t code : {jtag_ir::kDpacc, jtag_ir::kApacc, jtag_ir::kDpacc}) {
        Instruction(code);
        for (int i = 0; i < 3; ++i) {
            ASSERT_EQ(Engine().scanRead(handle_, jtag::kDataRegister, dap_scan::kBits, capture, &count,
                                        jtag::kRunTestIdle),
                      kJtagOk);
            ASSERT_EQ(Engine().queueRead(handle_, jtag::kDataRegister, dap_scan::kBits, jtag::kRunTestIdle),
                      kJtagOk);
        }
        uint8_t readBack[3 * dap_scan::kBytes];
        ASSERT_EQ(Engine().executeSequence(handle_, readBack, sizeof readBack, &count), kJtagOk);
    }
    EXPECT_EQ(Probe().dpState().ctrlStat(), ctrlStat);
    EXPECT_EQ(Probe().dpState().select(), select);
    EXPECT_EQ(Probe().dpState().stickyFlags(), 0u);
    ASSERT_EQ(Probe().wireLog().size(), 18u);
    for (const cm3sim::WireTransaction& t : Probe().wireLog()) {
        EXPECT_TRUE(t.read);
        EXPECT_EQ(t.address, 0u);
    }
}

// One script, made of scans of every kind, run immediately and queued.
enum class Kind { Ir, Write, WriteRead, Read, Idcode };
struct Step {
    Kind kind;
    uint8_t code = 0;  // instruction, or DAP register
    uint32_t value = 0;
    uint8_t rnw = dap_scan::kWrite;
};

const Step kScript[] = {
    {Kind::Ir, jtag_ir::kDpacc},
    {Kind::Write, cm3probe::dp::kCtrlStat, kPowerUpRequest},
    {Kind::WriteRead, cm3probe::dp::kCtrlStat, 0, dap_scan::kRead},
    {Kind::Read},
    {Kind::Write, cm3probe::dp::kSelect, kSelectBankF},
    {Kind::Ir, jtag_ir::kApacc},
    {Kind::WriteRead, kAhbApIdr, 0, dap_scan::kRead},
    {Kind::Ir, jtag_ir::kDpacc},
    {Kind::WriteRead, cm3probe::dp::kSelect, 0, dap_scan::kRead},
    {Kind::WriteRead, cm3probe::dp::kSelect, kSelectAp1, dap_scan::kWrite},
    {Kind::Read},
    {Kind::Ir, jtag_ir::kIdcode},
    {Kind::Idcode},
    {Kind::Ir, jtag_ir::kDpacc},
    {Kind::WriteRead, cm3probe::dp::kCtrlStat, 0, dap_scan::kRead},
    {Kind::Read},
};

struct Outcome {
    Bytes captures;
    uint32_t ctrlStat;
    uint32_t select;
    uint8_t instruction;
    std::vector<cm3sim::WireTransaction> log;
};

Outcome Observe(Bytes captures) {
    return {std::move(captures), Probe().dpState().ctrlStat(), Probe().dpState().select(),
            Probe().debugPort().jtag().instruction(), Probe().wireLog()};
}

// Runs one step immediately (capture appended to `captures`) or queues it.
JtagStatus RunStep(JtagHandle handle, const Step& step, bool queued, Bytes& captures) {
    const auto& e = Engine();
    constexpr uint32_t dr = jtag::kDataRegister;
    constexpr uint32_t idle = jtag::kRunTestIdle;
    // Every request is built in the same area: queued ones must have been copied.
    static uint8_t request[dap_scan::kBytes];
    request[0] = step.code;
    if (step.kind == Kind::Ir) {
        return queued ? e.queueWrite(handle, jtag::kInstructionRegister, jtag_ir::kBits, request, 1, idle)
                      : e.scanWrite(handle, jtag::kInstructionRegister, jtag_ir::kBits, request, 1, idle);
    }
    BuildDapScan(step.value, step.code, step.rnw, request);
    const uint32_t bits = step.kind == Kind::Idcode ? dap_scan::kIdcodeBits : dap_scan::kBits;
    if (step.kind == Kind::Write) {
        return queued ? e.queueWrite(handle, dr, bits, request, dap_scan::kBytes, idle)
                      : e.scanWrite(handle, dr, bits, request, dap_scan::kBytes, idle);
    }
    if (queued) {
        return step.kind == Kind::WriteRead ? e.queueWriteRead(handle, dr, bits, request, dap_scan::kBytes, idle)
                                            : e.queueRead(handle, dr, bits, idle);
    }
    uint8_t capture[dap_scan::kBytes];
    uint32_t count = 0;
    const JtagStatus status = step.kind == Kind::WriteRead
                                  ? e.scanWriteRead(handle, dr, bits, request, dap_scan::kBytes, capture, &count, idle)
                                  : e.scanRead(handle, dr, bits, capture, &count, idle);
    captures.insert(captures.end(), capture, capture + count);
    return status;
}

TEST_F(JtagEngineSimTest, AQueuedSequenceMatchesTheSameScansMadeImmediately) {
    Bytes immediate;
    for (const Step& step : kScript) {
        ASSERT_EQ(RunStep(handle_, step, false, immediate), kJtagOk);
        ASSERT_EQ(Tap(), TapState::RunTestIdle);
    }
    const Outcome first = Observe(immediate);

    Shutdown();
    PowerOn();
    Bytes none;
    ASSERT_EQ(Engine().clearSequence(handle_), kJtagOk);
    for (const Step& step : kScript) ASSERT_EQ(RunStep(handle_, step, true, none), kJtagOk);
    EXPECT_TRUE(Probe().wireLog().empty());
    std::vector<uint8_t> readBack(jtag::kReadBackSize);
    uint32_t count = 0;
    ASSERT_EQ(Engine().executeSequence(handle_, readBack.data(), jtag::kReadBackSize, &count), kJtagOk);
    EXPECT_EQ(Tap(), TapState::RunTestIdle);
    const Outcome second = Observe(Bytes(readBack.begin(), readBack.begin() + count));

    EXPECT_EQ(second.captures, first.captures);
    EXPECT_EQ(second.ctrlStat, first.ctrlStat);
    EXPECT_EQ(second.select, first.select);
    EXPECT_EQ(second.instruction, first.instruction);
    EXPECT_TRUE(second.log == first.log);
    // Eight DAP captures and one IDCODE; the AP's IDR comes out of the scan
    // after its request (the fourth), IDCODE is the seventh.
    ASSERT_EQ(first.captures.size(), 8 * dap_scan::kBytes + dap_scan::kIdcodeBytes);
    uint32_t value = 0;
    EXPECT_EQ(DecodeDapScan(first.captures.data() + 3 * dap_scan::kBytes, &value), cm3probe::WireStatus::Ok);
    EXPECT_EQ(value, kAhbApIdrValue);
    EXPECT_EQ(Word(first.captures.data() + 6 * dap_scan::kBytes), kIdcode);
    EXPECT_EQ(second.select, kSelectAp1);
}

TEST_F(JtagEngineSimTest, ABlockTransfersWorthOfQueuedScansReachTheTarget) {
    // Word accesses with auto-increment; TAR is set again at every 1 KiB
    // boundary, where the AP's increment wraps.
    constexpr uint32_t kWords = 1030;
    constexpr uint32_t kWordsPerPage = 256;
    constexpr uint32_t kSram = 0x20000000;
    constexpr uint32_t kWordBytes = 4;
    constexpr uint32_t kCswSizeWord = 2;
    constexpr uint32_t kCswWordIncrement =
        cm3probe::ap::csw::kBase | kCswSizeWord | cm3probe::ap::csw::kAddrIncSingle;
    auto pattern = [](uint32_t i) { return 0x1000 + i * 3; };
    Instruction(jtag_ir::kDpacc);
    Write(cm3probe::dp::kCtrlStat, kPowerUpRequest);
    Write(cm3probe::dp::kSelect, 0);

    // Every scan of the sequence captured, so capture k + 1 holds the result of scan k.
    std::vector<bool> isData;
    auto queue = [&](uint8_t reg, uint32_t value, uint8_t rnw) {
        uint8_t request[dap_scan::kBytes];
        BuildDapScan(value, reg, rnw, request);
        isData.push_back(reg == cm3probe::ap::kDrw && rnw == dap_scan::kRead);
        return Engine().queueWriteRead(handle_, jtag::kDataRegister, dap_scan::kBits, request, dap_scan::kBytes,
                                       jtag::kRunTestIdle);
    };
    const uint8_t apacc = jtag_ir::kApacc;
    ASSERT_EQ(Engine().queueWrite(handle_, jtag::kInstructionRegister, jtag_ir::kBits, &apacc, 1, jtag::kRunTestIdle),
              kJtagOk);
    ASSERT_EQ(queue(cm3probe::ap::kCsw, kCswWordIncrement, dap_scan::kWrite), kJtagOk);
    for (uint32_t i = 0; i < kWords; ++i) {
        if (i % kWordsPerPage == 0) {
            ASSERT_EQ(queue(cm3probe::ap::kTar, kSram + i * kWordBytes, dap_scan::kWrite), kJtagOk);
        }
        ASSERT_EQ(queue(cm3probe::ap::kDrw, pattern(i), dap_scan::kWrite), kJtagOk);
    }
    for (uint32_t i = 0; i < kWords; ++i) {
        if (i % kWordsPerPage == 0) {
            ASSERT_EQ(queue(cm3probe::ap::kTar, kSram + i * kWordBytes, dap_scan::kWrite), kJtagOk);
        }
        ASSERT_EQ(queue(cm3probe::ap::kDrw, 0, dap_scan::kRead), kJtagOk);
    }
    ASSERT_EQ(Engine().queueRead(handle_, jtag::kDataRegister, dap_scan::kBits, jtag::kRunTestIdle), kJtagOk);
    ASSERT_GT(isData.size(), 2 * kWords);

    std::vector<uint8_t> readBack(jtag::kReadBackSize);
    uint32_t count = 0;
    ASSERT_EQ(Engine().executeSequence(handle_, readBack.data(), jtag::kReadBackSize, &count), kJtagOk);
    ASSERT_EQ(count, (isData.size() + 1) * dap_scan::kBytes);
    EXPECT_EQ(Tap(), TapState::RunTestIdle);
    uint32_t word = 0;
    for (size_t k = 0; k < isData.size(); ++k) {
        uint32_t value = 0;
        ASSERT_EQ(DecodeDapScan(readBack.data() + (k + 1) * dap_scan::kBytes, &value), cm3probe::WireStatus::Ok) << k;
        if (!isData[k]) continue;
        ASSERT_EQ(value, pattern(word)) << word;
        ++word;
    }
    EXPECT_EQ(word, kWords);
    EXPECT_EQ(Probe().dpState().stickyFlags(), 0u);
}

struct SimPinCase {
    const char* name;
    uint32_t controlLow;
    PinRecord low;
    uint32_t controlHigh;
    PinRecord high;
    uint8_t lowValue, lowDirection;    // ADBUS4-7
    uint8_t highValue, highDirection;  // ACBUS0-3
    bool resetAsserted;
};

TEST_F(JtagEngineSimTest, PinsReachAdbus4To7AndAcbus0To3AndSurviveScansAndInitialise) {
    const SimPinCase cases[] = {
        {"DebugOpen's pins", 1, pins::kResetReleased, 0, {}, 0xA0, 0xE0, 0x00, 0x00, false},
        {"reset asserted", 1, pins::kResetAsserted, 0, {}, 0x80, 0xE0, 0x00, 0x00, true},
        {"high group", 1, pins::kResetReleased, 1, {{{1, 1}, {1, 0}, {0, 0}, {1, 1}}}, 0xA0, 0xE0, 0x09, 0x0B, false},
        {"every low pin high", 1, {{{1, 1}, {1, 1}, {1, 1}, {1, 1}}}, 1, {{{1, 0}, {1, 1}, {1, 1}, {1, 0}}}, 0xF0,
         0xF0, 0x06, 0x0F, false},
    };
    for (const SimPinCase& c : cases) {
        ASSERT_EQ(Engine().setPins(handle_, c.controlLow, &c.low, c.controlHigh, &c.high), kJtagOk) << c.name;
        auto check = [&](const char* after) {
            const cm3sim::PinBank& low = Probe().channel(0).engine().lowPins();
            const cm3sim::PinBank& high = Probe().channel(0).engine().highPins();
            EXPECT_EQ(low.value & mpsse::pin::kLowGpioMask, c.lowValue) << c.name << after;
            EXPECT_EQ(low.direction & mpsse::pin::kLowGpioMask, c.lowDirection) << c.name << after;
            EXPECT_EQ(low.direction & ~mpsse::pin::kLowGpioMask, mpsse::pin::kJtagOutputs) << c.name << after;
            EXPECT_EQ(high.value & mpsse::high_pin::kGpioMask, c.highValue) << c.name << after;
            EXPECT_EQ(high.direction & mpsse::high_pin::kGpioMask, c.highDirection) << c.name << after;
            EXPECT_EQ(Probe().board().resetAsserted(), c.resetAsserted) << c.name << after;
        };
        check(": pin call");
        Instruction(jtag_ir::kIdcode);
        EXPECT_EQ(ReadIdcode(), kIdcode) << c.name;
        check(": after scans");
        ASSERT_EQ(Engine().initialise(handle_, kDivisor), kJtagOk);
        EXPECT_EQ(Tap(), TapState::RunTestIdle);
        check(": after initialise");
    }
}

TEST_F(JtagEngineSimTest, InitialiseBringsTheTapBackFromAnyState) {
    // Leave the TAP in Shift-DR with raw commands, as a crashed host would.
    const uint8_t strand[] = {mpsse::kTmsOutNeg, mpsse::LengthLow(3), 0b001};
    // Straight into the chip: the engine holds the channel's only handle.
    Probe().channel(0).engine().write(strand);
    ASSERT_EQ(Tap(), TapState::ShiftDr);
    ASSERT_EQ(Engine().initialise(handle_, kDivisor), kJtagOk);
    EXPECT_EQ(Tap(), TapState::RunTestIdle);
    EXPECT_EQ(Probe().debugPort().jtag().instruction(), jtag_ir::kIdcode);
    EXPECT_EQ(ReadIdcode(), kIdcode);
}

TEST_F(JtagEngineSimTest, InitialiseEndsACommandLeftHalfSent) {
    // Clock 65536 bytes out: without its data the chip takes whatever follows as data.
    const uint8_t half[] = {mpsse::kBytesOutNeg, 0xFF, 0xFF, 0x00};
    Probe().channel(0).engine().write(half);
    ASSERT_EQ(Engine().initialise(handle_, kDivisor), kJtagOk);
    EXPECT_EQ(Probe().channel(0).engine().commandBytesPending(), 0u);
    EXPECT_EQ(Tap(), TapState::RunTestIdle);
    EXPECT_EQ(ReadIdcode(), kIdcode);
}

TEST_F(JtagEngineSimTest, AnFt2232hTakesTheSameCommands) {
    Shutdown();
    cm3sim::SimConfig config;
    config.chip = cm3sim::ChipType::Ft2232H;
    cm3sim::ResetGlobalProbe(config);
    ASSERT_EQ(Engine().open(kChannelA, 0, &handle_), kJtagOk);
    ASSERT_EQ(Engine().initialise(handle_, kDivisor), kJtagOk);
    EXPECT_TRUE(Probe().channel(0).engine().divideBy5());
    EXPECT_EQ(Probe().channel(0).engine().divisor(), kDivisor);
    Instruction(jtag_ir::kIdcode);
    EXPECT_EQ(ReadIdcode(), kIdcode);
    EXPECT_EQ(Probe().channel(0).engine().replyBytesQueued(), 0u);
}

}  // namespace
}  // namespace cm3test
