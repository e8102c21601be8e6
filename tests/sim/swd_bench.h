// A probe on the bench for the wire-side tests: a VirtualProbe whose target is
// a plain register file behind AP 0, driven by MPSSE bytes written out by hand.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "config.h"
#include "dp/access_port_bus.h"
#include "dp/dp_registers.h"
#include "virtual_probe.h"

namespace cm3sim::wire_testing {

using Bytes = std::vector<uint8_t>;

// A register file behind AP 0 (any other APSEL has no AP, as the bus contract says).
class FakeTarget : public TargetSystem {
public:
    struct Access {
        bool write;
        uint8_t apsel;
        uint8_t address;
        uint32_t value;
        bool operator==(const Access&) const = default;
    };

    ApResponse apRead(uint8_t apsel, uint8_t address) override {
        accesses.push_back({false, apsel, address, 0});
        if (apsel != 0) return {};
        if (errorAddress == address) return {0, true};
        return {registers[address], false};
    }
    ApResponse apWrite(uint8_t apsel, uint8_t address, uint32_t value) override {
        accesses.push_back({true, apsel, address, value});
        if (apsel != 0) return {};
        if (errorAddress == address) return {0, true};
        registers[address] = value;
        return {};
    }
    void setDebugPower(bool debug, bool system) override {
        debugPowered = debug;
        systemPowered = system;
    }
    void advance(uint64_t nanoseconds) override {
        nowNs += nanoseconds;
        ++advanceCalls;
    }
    void setResetPin(bool asserted) override {
        resetAsserted = asserted;
        ++resetPinChanges;
    }

    std::map<uint8_t, uint32_t> registers;
    std::optional<uint8_t> errorAddress;
    std::vector<Access> accesses;
    bool debugPowered = false;
    bool systemPowered = false;
    uint64_t nowNs = 0;
    uint64_t advanceCalls = 0;
    bool resetAsserted = false;
    int resetPinChanges = 0;
};

// The SWD request byte, bits in wire order (start, APnDP, RnW, A2, A3, parity, stop, park).
constexpr uint8_t Request(bool ap, bool read, uint8_t address) {
    const uint8_t fields = static_cast<uint8_t>((ap ? 0x02 : 0) | (read ? 0x04 : 0) | ((address >> 2) << 3));
    const bool parity = EvenParityBit(fields);
    return static_cast<uint8_t>(0x81 | fields | (parity ? 0x20 : 0));
}
static_assert(Request(false, true, dp_address::kIdcodeAbort) == 0xA5);
static_assert(Request(false, false, dp_address::kSelectResend) == 0xB1);

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// Host pin settings: SWD drive (DO an output), SWD release, JTAG wiring.
inline const Bytes kSwdDrive = {0x80, 0x08, 0xCB};
inline const Bytes kSwdRelease = {0x80, 0x00, 0xC9};
inline const Bytes kJtagPins = {0x80, 0x88, 0x8B};  // ADBUS7 high, TMS high, SK/DO/CS outputs

inline const Bytes kLineReset = {0x19, 0x06, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
inline const Bytes kJtagToSwd = {0x19, 0x01, 0x00, 0x9E, 0xE7};
inline const Bytes kSwdToJtag = {0x19, 0x01, 0x00, 0x3C, 0xE7};
inline const Bytes kIdle8 = {0x1B, 0x07, 0x00};
inline const Bytes kBringUp = Concat({kSwdDrive,
                                      {0x19, 0x08, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                                      kLineReset, kJtagToSwd, kLineReset, kIdle8});

struct SwdRead {
    uint8_t ack = 0;
    uint32_t data = 0;
    bool parityOk = false;
};

class Bench {
public:
    explicit Bench(const SimConfig& config = {})
        : probe(config, [this](SimConfig&) {
              auto target = std::make_unique<FakeTarget>();
              fake = target.get();
              return target;
          }) {
        probe.config().logWireTransactions = true;
        probe.channel(VirtualProbe::kTargetChannel).setBitMode(bit_mode::kMpsse);
    }

    MpsseEngine& engine() { return probe.channel(VirtualProbe::kTargetChannel).engine(); }

    // Writes the bytes and takes every reply byte they produced.
    Bytes run(const Bytes& bytes) {
        engine().write(bytes);
        Bytes reply(engine().replyBytesQueued());
        engine().read(reply);
        return reply;
    }

    void bringUpSwd() { EXPECT_TRUE(run(kBringUp).empty()); }

    // The 16-byte read: request, release, 3 ACK bits, 32 data bits, parity and
    // 2 more released cycles, drive again.
    static Bytes ReadStream(uint8_t request) {
        return {0x1B, 0x07, request, 0x80, 0x00, 0xC9, 0x2E, 0x02, 0x2C, 0x03, 0x00, 0x2E, 0x02, 0x80, 0x08, 0xCB};
    }
    static SwdRead ParseRead(const Bytes& reply) {
        SwdRead r;
        if (reply.size() != 6) return r;
        r.ack = reply[0] >> 5;
        r.data = static_cast<uint32_t>(reply[1] | (reply[2] << 8) | (reply[3] << 16) | (reply[4] << 24));
        r.parityOk = (((reply[5] >> 5) & 1) != 0) == EvenParityBit(r.data);
        return r;
    }
    SwdRead read(bool ap, uint8_t address) { return ParseRead(run(ReadStream(Request(ap, true, address)))); }

    // The 22-byte write, except that the five turnaround cycles are read
    // (2E 04 instead of 4B 04 00) so the ACK shows in bits 3-5 of the reply.
    static Bytes WriteStream(uint8_t request, uint32_t value, bool parity) {
        return {0x1B, 0x07, request, 0x80, 0x00, 0xC9, 0x2E, 0x04, 0x80, 0x08, 0xCB,
                0x19, 0x03, 0x00, static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24),
                0x1B, 0x02, static_cast<uint8_t>(parity ? 1 : 0)};
    }
    uint8_t write(bool ap, uint8_t address, uint32_t value) {
        return writeWithParity(ap, address, value, EvenParityBit(value));
    }
    uint8_t writeWithParity(bool ap, uint8_t address, uint32_t value, bool parity) {
        const Bytes reply = run(WriteStream(Request(ap, false, address), value, parity));
        return reply.size() == 1 ? static_cast<uint8_t>((reply[0] >> 3) & 7) : 0xFF;
    }
    // Request, ACK and turnaround only: the shape of a WAIT or FAULT without
    // overrun detection, after which the port looks for the next start bit.
    uint8_t shortTransaction(uint8_t request) {
        const Bytes reply = run({0x1B, 0x07, request, 0x80, 0x00, 0xC9, 0x2E, 0x04, 0x80, 0x08, 0xCB});
        return reply.size() == 1 ? static_cast<uint8_t>((reply[0] >> 3) & 7) : 0xFF;
    }
    uint32_t ctrlStat() { return read(false, dp_address::kCtrlStat).data; }

    FakeTarget* fake = nullptr;
    VirtualProbe probe;
};

}  // namespace cm3sim::wire_testing
