// The MPSSE engine against pins that record every change, with command bytes
// written out as a host would send them.
#include <gtest/gtest.h>

#include <vector>

#include "config.h"
#include "mpsse/mpsse_commands.h"
#include "mpsse/mpsse_engine.h"
#include "swd_bench.h"

namespace cm3sim::wire_testing {
namespace {

using namespace mpsse;

// Unwired pins that remember every state the host put them in.
class RecordingPins : public UnwiredPins {
public:
    void hostPinsChanged(const PinBank& low, const PinBank& high) override {
        UnwiredPins::hostPinsChanged(low, high);
        states.push_back(low.value);
        last = low.value;
    }
    // Forget the history, keeping the present state as its start.
    void mark() { states = {last}; }
    size_t risingEdges() const {
        size_t n = 0;
        for (size_t i = 1; i < states.size(); ++i) {
            if ((states[i] & adbus::kSk) && !(states[i - 1] & adbus::kSk)) ++n;
        }
        return n;
    }
    // The level of `pin` at each rising SK edge, as a target would sample it.
    std::vector<bool> atRisingEdges(uint8_t pin) const {
        std::vector<bool> seen;
        for (size_t i = 1; i < states.size(); ++i) {
            if ((states[i] & adbus::kSk) && !(states[i - 1] & adbus::kSk)) seen.push_back(states[i - 1] & pin);
        }
        return seen;
    }
    std::vector<uint8_t> states;
    uint8_t last = 0;
};

struct EngineBench {
    explicit EngineBench(ChipType chip = ChipType::Ft2232D) : time(&target) { config.chip = chip; }
    Bytes run(const Bytes& bytes) {
        engine.write(bytes);
        Bytes reply(engine.replyBytesQueued());
        engine.read(reply);
        return reply;
    }
    SimConfig config;
    FakeTarget target;
    RecordingPins pins;
    VirtualTime time;
    MpsseEngine engine{config, pins, time};
};

// SK, DO, CS outputs; SK idles low.
const Bytes kOutputs = {opcode::kSetLowBits, 0x00, 0x0B};

TEST(MpssePins, SetAndReadBothBanks) {
    EngineBench bench;
    // Inputs read their pull-ups, outputs their latches.
    EXPECT_EQ(bench.run({0x80, 0x05, 0x0F, 0x81}), Bytes{0xF5});
    EXPECT_EQ(bench.run({0x82, 0x00, 0xF0, 0x83}), Bytes{0x0F});
    EXPECT_EQ(bench.engine.lowPins(), (PinBank{0x05, 0x0F}));
    EXPECT_EQ(bench.engine.highPins(), (PinBank{0x00, 0xF0}));
}

struct LoopbackCase {
    const char* name;
    Bytes command;
    Bytes reply;
};

TEST(MpsseShift, LoopbackPacksReadsAsTheChipDoes) {
    const LoopbackCase cases[] = {
        // Bit mode, LSB first: three bits land in bits 5-7, the first lowest.
        {"bits -ve out +ve in LSB", {0x3B, 0x02, 0x05}, {0xA0}},
        {"bits -ve out -ve in LSB", {0x3F, 0x02, 0x05}, {0xA0}},
        {"bits -ve out +ve in LSB, 1 bit", {0x3B, 0x00, 0x01}, {0x80}},
        // Bit mode, MSB first: the bits go out from bit 7 and land in bits 2-0.
        {"bits -ve out +ve in MSB", {0x33, 0x02, 0xA0}, {0x05}},
        {"bits -ve out -ve in MSB", {0x37, 0x02, 0xA0}, {0x05}},
        // Bytes come back as they went, in either order.
        {"bytes -ve out +ve in LSB", {0x39, 0x01, 0x00, 0x5A, 0xC3}, {0x5A, 0xC3}},
        {"bytes -ve out +ve in MSB", {0x31, 0x01, 0x00, 0x5A, 0xC3}, {0x5A, 0xC3}},
        {"bytes +ve out -ve in LSB", {0x3C, 0x00, 0x00, 0x96}, {0x96}},
        {"bytes +ve out -ve in MSB", {0x34, 0x00, 0x00, 0x96}, {0x96}},
        // Written and sampled on the same rising edge: the sample is taken
        // first, so it sees the bit before (the idle latch, 0, for the first).
        {"bits +ve out +ve in LSB", {0x3A, 0x02, 0x07}, {0xC0}},
        {"bits -ve out -ve in: same edge", {0x3F, 0x00, 0x01}, {0x80}},
        // Read-only opcodes see DO unchanged (low).
        {"bits in only", {0x2A, 0x03}, {0x00}},
        {"bytes in only", {0x28, 0x01, 0x00}, {0x00, 0x00}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EngineBench bench;
        bench.run(Concat({kOutputs, {opcode::kLoopbackOn}}));
        EXPECT_EQ(bench.run(c.command), c.reply);
    }
}

TEST(MpsseShift, TheTargetSeesEachWriteEdge) {
    struct Case {
        const char* name;
        Bytes command;
        std::vector<bool> sampledOnRising;
    };
    const Case cases[] = {
        // -ve edge writes set the first bit up before the first rising edge.
        {"bits -ve LSB", {0x1B, 0x03, 0x0D}, {true, false, true, true}},
        {"bits -ve MSB", {0x13, 0x03, 0xD0}, {true, true, false, true}},
        {"bytes -ve LSB", {0x19, 0x00, 0x00, 0x01}, {true, false, false, false, false, false, false, false}},
        // +ve edge writes change DO on the rising edge itself: the target sees
        // the previous bit each time.
        {"bits +ve LSB", {0x1A, 0x03, 0x0D}, {false, true, false, true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EngineBench bench;
        bench.run(kOutputs);
        bench.pins.mark();
        bench.run(c.command);
        EXPECT_EQ(bench.pins.atRisingEdges(adbus::kDo), c.sampledOnRising);
    }
}

TEST(MpsseShift, DoKeepsTheLastBitAndSkReturnsToIdle) {
    EngineBench bench;
    bench.run(Concat({kOutputs, {0x1B, 0x02, 0x04}}));
    EXPECT_EQ(bench.engine.lowPins().value & (adbus::kDo | adbus::kSk), adbus::kDo);
}

TEST(MpsseShift, IdleHighClockStartsWithAFallingEdge) {
    EngineBench bench;
    bench.run({0x80, adbus::kSk, 0x0B});
    bench.pins.mark();
    bench.run({0x1A, 0x00, 0x01});  // written on the rising edge, which now ends the cycle
    const std::vector<uint8_t> expected = {
        adbus::kSk,               // idle
        adbus::kSk | adbus::kDo,  // data set up before the cycle
        adbus::kDo,               // SK falls
        adbus::kSk | adbus::kDo,  // and rises back
    };
    EXPECT_EQ(bench.pins.states, expected);
}

TEST(MpsseTms, BitsGoOutOnCsWithBitSevenHeldOnDo) {
    EngineBench bench;
    bench.run(kOutputs);
    bench.pins.mark();
    EXPECT_TRUE(bench.run({0x4B, 0x03, 0x8B}).empty());  // TMS 1,1,0,1; DO high
    EXPECT_EQ(bench.pins.atRisingEdges(adbus::kCs), (std::vector<bool>{true, true, false, true}));
    EXPECT_EQ(bench.pins.atRisingEdges(adbus::kDo), (std::vector<bool>{true, true, true, true}));
    EXPECT_TRUE(bench.engine.lowPins().value & adbus::kDo);
}

TEST(MpsseTms, ReadingVariantsPackLikeLsbFirstBits) {
    for (const uint8_t op : {tms::kOutRisingInRising, tms::kOutFallingInRising, tms::kOutRisingInFalling,
                             tms::kOutFallingInFalling}) {
        SCOPED_TRACE(int(op));
        EngineBench bench;
        bench.run(Concat({kOutputs, {opcode::kLoopbackOn}}));
        // Loopback reads DO, held at bit 7 for the whole command.
        EXPECT_EQ(bench.run({op, 0x02, 0x80}), Bytes{0xE0});
        EXPECT_EQ(bench.run({op, 0x02, 0x00}), Bytes{0x00});
    }
}

// Found by OpenOCD, whose falling-edge TDO mode ORs the read-edge bit into
// every TMS opcode: the chip decodes the opcode bit by bit, so a read edge
// without a read changes nothing.
TEST(MpsseTms, ReadEdgeBitWithoutAReadIsIgnored) {
    const struct {
        uint8_t documented;
        uint8_t withReadEdge;
    } pairs[] = {{tms::kOutRising, 0x4E}, {tms::kOutFalling, 0x4F}};
    for (const auto& pair : pairs) {
        SCOPED_TRACE(int(pair.withReadEdge));
        EngineBench documented;
        EngineBench variant;
        for (EngineBench* bench : {&documented, &variant}) {
            bench->run(kOutputs);
            bench->pins.mark();
        }
        EXPECT_TRUE(documented.run({pair.documented, 0x03, 0x8B}).empty());
        EXPECT_TRUE(variant.run({pair.withReadEdge, 0x03, 0x8B}).empty());
        EXPECT_EQ(variant.pins.states, documented.pins.states);
        EXPECT_EQ(variant.pins.risingEdges(), 4u);
        // The command took its two argument bytes: the next one runs.
        EXPECT_EQ(variant.run({opcode::kReadLowBits}).size(), 1u);
    }
}

TEST(MpsseTms, AtMostSevenBits) {
    EngineBench bench;
    bench.run(kOutputs);
    bench.run({0x4B, 0x07, 0x7F});
    EXPECT_EQ(bench.pins.risingEdges(), tms::kMaxBits);
}

TEST(MpsseCommands, UnknownOpcodesOnADPartAnswerBadCommand) {
    EngineBench bench(ChipType::Ft2232D);
    for (const uint8_t op : {0x8A, 0x8B, 0x8C, 0x8D, 0x8E, 0x8F, 0x94, 0x95, 0x96, 0x97, 0x9C, 0x9D, 0x9E, 0xAA,
                             0x48, 0x5A, 0x00, 0xFF}) {
        EXPECT_EQ(bench.run({op}), (Bytes{kBadCommand, op})) << int(op);
    }
    // The engine skipped only the bad byte: the next command runs.
    EXPECT_EQ(bench.run({0xAB, 0x80, 0x01, 0x01, 0x81}), (Bytes{kBadCommand, 0xAB, 0xFF}));
}

TEST(MpsseCommands, HOnlyOpcodesWorkOnAnHPart) {
    EngineBench bench(ChipType::Ft2232H);
    bench.run(kOutputs);
    EXPECT_TRUE(bench.run({0x8A, 0x8B, 0x8C, 0x8D, 0x96, 0x97}).empty());
    EXPECT_EQ(bench.run({0xAA}), (Bytes{kBadCommand, 0xAA}));
    bench.pins.mark();
    bench.run({opcode::kClockBits, 0x02});
    EXPECT_EQ(bench.pins.risingEdges(), 3u);
    bench.pins.mark();
    bench.run({opcode::kClockBytes, 0x01, 0x00});
    EXPECT_EQ(bench.pins.risingEdges(), 16u);
    // GPIOL1 is an input pulled high: "until high" stops at once, "until low" runs the full count.
    bench.pins.mark();
    bench.run({opcode::kClockBytesOrUntilGpiol1High, 0x00, 0x00, opcode::kClockUntilGpiol1High});
    EXPECT_EQ(bench.pins.risingEdges(), 0u);
    bench.run({opcode::kClockBytesOrUntilGpiol1Low, 0x00, 0x00});
    EXPECT_EQ(bench.pins.risingEdges(), 8u);
    EXPECT_FALSE(bench.engine.stalled());
}

TEST(MpsseCommands, CommandsMayStraddleWrites) {
    EngineBench bench;
    bench.run(Concat({kOutputs, {opcode::kLoopbackOn}}));
    EXPECT_TRUE(bench.run({0x39}).empty());
    EXPECT_TRUE(bench.run({0x01}).empty());
    EXPECT_TRUE(bench.run({0x00, 0xAB}).empty());
    EXPECT_EQ(bench.engine.commandBytesPending(), 4u);
    // DO ends on the last bit out (1), which loopback also shows on DI.
    EXPECT_EQ(bench.run({0xCD, 0x81}), (Bytes{0xAB, 0xCD, 0xF6}));
    EXPECT_EQ(bench.engine.commandBytesPending(), 0u);
}

TEST(MpsseCommands, WaitOnGpiol1) {
    EngineBench bench;
    // Pulled high: waiting for high passes, waiting for low stalls the engine.
    EXPECT_EQ(bench.run({opcode::kWaitOnGpiol1High, 0x81}), Bytes{0xFF});
    EXPECT_TRUE(bench.run({opcode::kWaitOnGpiol1Low, 0x81}).empty());
    EXPECT_TRUE(bench.engine.stalled());
    EXPECT_TRUE(bench.run({0x81}).empty());
    bench.engine.reset();
    EXPECT_FALSE(bench.engine.stalled());
    // Driven low by the host itself, "wait for low" passes.
    EXPECT_EQ(bench.run({0x80, 0x00, adbus::kGpiol1, opcode::kWaitOnGpiol1Low, 0x81}), Bytes{0xDF});
}

TEST(MpsseCommands, AdaptiveClockingHangsWithoutAnEcho) {
    EngineBench bench(ChipType::Ft2232H);
    bench.run(kOutputs);
    bench.run({opcode::kAdaptiveOn, 0x1B, 0x00, 0x01, 0x81});
    EXPECT_TRUE(bench.engine.stalled());
}

struct ClockCase {
    const char* name;
    ChipType chip;
    Bytes setup;
    uint64_t expectedNs;  // for 8 cycles
};

TEST(MpsseClock, VirtualTimeFollowsTheDivisor) {
    const ClockCase cases[] = {
        {"D, divisor 0: 6 MHz", ChipType::Ft2232D, {0x86, 0x00, 0x00}, 8000 / 6},
        {"D, divisor 5: 1 MHz", ChipType::Ft2232D, {0x86, 0x05, 0x00}, 8000},
        {"H, divide-by-5 on at reset", ChipType::Ft2232H, {0x86, 0x05, 0x00}, 8000},
        {"H, divide-by-5 off: 30 MHz/(1+5)", ChipType::Ft2232H, {0x86, 0x05, 0x00, 0x8A}, 1600},
        {"H, three-phase", ChipType::Ft2232H, {0x86, 0x05, 0x00, 0x8A, 0x8C}, 2400},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EngineBench bench(c.chip);
        bench.run(Concat({kOutputs, c.setup}));
        const uint64_t before = bench.target.nowNs;
        const uint64_t calls = bench.target.advanceCalls;
        bench.run({0x1B, 0x07, 0x00});
        EXPECT_EQ(bench.target.nowNs - before, c.expectedNs);
        EXPECT_EQ(bench.target.advanceCalls, calls + 1);
    }
}

TEST(MpsseReset, ReturnsPinsToInputsAndKeepsReplies) {
    EngineBench bench;
    bench.engine.write(Bytes{0x80, 0xFF, 0xFF, 0x84, 0x81, 0x39});
    bench.engine.reset();
    EXPECT_EQ(bench.engine.lowPins(), PinBank{});
    EXPECT_FALSE(bench.engine.loopback());
    EXPECT_EQ(bench.engine.commandBytesPending(), 0u);
    EXPECT_EQ(bench.engine.replyBytesQueued(), 1u);
}

}  // namespace
}  // namespace cm3sim::wire_testing
