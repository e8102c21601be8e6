// Scripted fake backends: a USB driver that records every call and serves
// scripted replies, and a JTAG engine with scripted statuses.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "adapter/jtag_engine.h"
#include "adapter/usb_driver.h"

namespace cm3test {

enum class UsbOp { List, Open, BitMode, Write, Read, Purge, Latency, Close };

struct UsbCall {
    UsbOp op;
    std::string description;     // Open
    std::vector<uint8_t> bytes;  // Write: the bytes; Read: the bytes handed out
    uint32_t argument = 0;       // BitMode: mask << 8 | mode; Read: count asked; Purge: mask; Latency: ms
};

struct UsbFailure {
    UsbOp op;
    uint32_t status = 1;
    bool always = false;
    uint32_t skip = 0;           // let this many calls of `op` pass first
    int32_t shortBy = 0;         // Write/Read: report this many bytes fewer, with status 0
};

struct FakeUsb {
    std::vector<std::string> devices{"USB Debug Bridge A", "USB Debug Bridge B"};
    std::vector<UsbCall> calls;
    std::deque<uint8_t> replies;  // bytes the next reads hand out
    std::vector<UsbFailure> failures;
    int openHandles = 0;
    uint32_t claimedCount = 0;  // List: report this many channels when non-zero
    uint32_t opCounts[8] = {};

    std::vector<UsbCall> callsOf(UsbOp op) const;
    std::vector<std::vector<uint8_t>> writes() const;
    // Queue one 6-byte SWD read response.
    void queueResponse(uint8_t byte0, uint32_t data, uint8_t byte5 = 0);
};

FakeUsb& Usb();
void ResetUsb();
const cm3probe::adapter::UsbDriver& FakeUsbDriver();

enum class JtagOp {
    Count, Name, Open, Close, Init, Pins, ScanWrite, ScanRead, ScanWriteRead, Clear, QueueWrite, QueueRead,
    QueueWriteRead, Execute
};

struct JtagCall {
    JtagOp op;
    uint32_t reg = 0;
    uint32_t bits = 0;
    std::vector<uint8_t> bytes;
    uint32_t argument = 0;  // Init: divisor; Open: location
    std::string name;
    cm3probe::adapter::PinRecord low{};
    cm3probe::adapter::PinRecord high{};
    uint32_t controlLow = 0;
    uint32_t controlHigh = 0;
};

struct FakeJtag {
    std::vector<std::string> devices{"USB Debug Bridge A", "USB Debug Bridge B"};
    std::vector<JtagCall> calls;
    std::deque<cm3probe::adapter::JtagStatus> initStatuses;  // popped per initialise; empty => ok
    cm3probe::adapter::JtagStatus openStatus = 0;
    cm3probe::adapter::JtagStatus pinsStatus = 0;
    cm3probe::adapter::JtagStatus closeStatus = 0;
    std::deque<std::vector<uint8_t>> captures;  // per scan read / write-read
    int openHandles = 0;

    std::vector<JtagCall> callsOf(JtagOp op) const;
};

FakeJtag& Jtag();
void ResetJtag();
const cm3probe::adapter::JtagEngine& FakeJtagEngine();

// Sleeps asked for by the library, in milliseconds, instead of sleeping.
std::vector<uint32_t>& Sleeps();

}  // namespace cm3test
