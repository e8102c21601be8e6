#include "fakes.h"

#include <algorithm>
#include <cstring>

namespace cm3test {

using cm3probe::adapter::Description;
using cm3probe::adapter::JtagHandle;
using cm3probe::adapter::JtagStatus;
using cm3probe::adapter::PinRecord;
using cm3probe::adapter::UsbHandle;
using cm3probe::adapter::UsbStatus;

namespace {

FakeUsb g_usb;
FakeJtag g_jtag;
// Captures the next execute hands back: one per queued read or write-read.
uint32_t g_queuedCaptures = 0;
std::vector<uint32_t> g_sleeps;

// Decides whether this call of `op` fails; returns the failure or null.
const UsbFailure* Failing(UsbOp op) {
    uint32_t index = g_usb.opCounts[static_cast<int>(op)]++;
    for (auto it = g_usb.failures.begin(); it != g_usb.failures.end(); ++it) {
        if (it->op != op || index < it->skip) continue;
        static UsbFailure hit;
        hit = *it;
        if (!it->always) g_usb.failures.erase(it);
        return &hit;
    }
    return nullptr;
}

UsbStatus List(Description* descriptions, uint32_t capacity, uint32_t* count) {
    g_usb.calls.push_back({UsbOp::List, "", {}, capacity});
    if (const UsbFailure* f = Failing(UsbOp::List)) return f->status;
    const auto listed = static_cast<uint32_t>(g_usb.devices.size());
    *count = g_usb.claimedCount != 0 ? g_usb.claimedCount : listed;
    for (uint32_t i = 0; i < std::min(capacity, listed); ++i) {
        std::strncpy(descriptions[i], g_usb.devices[i].c_str(), sizeof(Description) - 1);
        descriptions[i][sizeof(Description) - 1] = '\0';
    }
    return 0;
}

UsbStatus Open(const char* description, UsbHandle* handle) {
    g_usb.calls.push_back({UsbOp::Open, description, {}, 0});
    if (const UsbFailure* f = Failing(UsbOp::Open)) return f->status;
    auto it = std::find(g_usb.devices.begin(), g_usb.devices.end(), description);
    if (it == g_usb.devices.end()) return 2;
    ++g_usb.openHandles;
    *handle = reinterpret_cast<UsbHandle>(static_cast<uintptr_t>(it - g_usb.devices.begin() + 0x100));
    return 0;
}

UsbStatus BitMode(UsbHandle, uint8_t mask, uint8_t mode) {
    g_usb.calls.push_back({UsbOp::BitMode, "", {}, static_cast<uint32_t>(mask) << 8 | mode});
    if (const UsbFailure* f = Failing(UsbOp::BitMode)) return f->status;
    return 0;
}

UsbStatus Write(UsbHandle, const uint8_t* data, uint32_t count, uint32_t* written) {
    g_usb.calls.push_back({UsbOp::Write, "", std::vector<uint8_t>(data, data + count), count});
    *written = count;
    if (const UsbFailure* f = Failing(UsbOp::Write)) {
        if (f->shortBy == 0) return f->status;
        *written = count - std::min<uint32_t>(count, static_cast<uint32_t>(f->shortBy));
    }
    return 0;
}

UsbStatus Read(UsbHandle, uint8_t* buffer, uint32_t count, uint32_t* got) {
    uint32_t available = static_cast<uint32_t>(std::min<size_t>(count, g_usb.replies.size()));
    if (const UsbFailure* f = Failing(UsbOp::Read)) {
        if (f->shortBy == 0) {
            g_usb.calls.push_back({UsbOp::Read, "", {}, count});
            return f->status;
        }
        available = count - std::min<uint32_t>(count, static_cast<uint32_t>(f->shortBy));
        available = std::min<uint32_t>(available, static_cast<uint32_t>(g_usb.replies.size()));
    }
    std::vector<uint8_t> handed(g_usb.replies.begin(), g_usb.replies.begin() + available);
    g_usb.replies.erase(g_usb.replies.begin(), g_usb.replies.begin() + available);
    std::copy(handed.begin(), handed.end(), buffer);
    *got = available;
    g_usb.calls.push_back({UsbOp::Read, "", handed, count});
    return 0;
}

UsbStatus Purge(UsbHandle, uint32_t mask) {
    g_usb.calls.push_back({UsbOp::Purge, "", {}, mask});
    if (const UsbFailure* f = Failing(UsbOp::Purge)) return f->status;
    return 0;
}

UsbStatus Latency(UsbHandle, uint8_t ms) {
    g_usb.calls.push_back({UsbOp::Latency, "", {}, ms});
    if (const UsbFailure* f = Failing(UsbOp::Latency)) return f->status;
    return 0;
}

UsbStatus Close(UsbHandle) {
    g_usb.calls.push_back({UsbOp::Close, "", {}, 0});
    if (const UsbFailure* f = Failing(UsbOp::Close)) return f->status;
    --g_usb.openHandles;
    return 0;
}

constexpr cm3probe::adapter::UsbDriver kFakeUsb{
    .name = "fake",
    .listByDescription = List,
    .openByDescription = Open,
    .setBitMode = BitMode,
    .write = Write,
    .read = Read,
    .purge = Purge,
    .setLatencyTimer = Latency,
    .close = Close,
};

// JTAG engine

JtagCall MakeCall(JtagOp op, uint32_t reg = 0, uint32_t bits = 0, std::vector<uint8_t> bytes = {},
                  uint32_t argument = 0) {
    JtagCall call{};
    call.op = op;
    call.reg = reg;
    call.bits = bits;
    call.bytes = std::move(bytes);
    call.argument = argument;
    return call;
}

JtagStatus Count(uint32_t* count) {
    g_jtag.calls.push_back(MakeCall(JtagOp::Count));
    *count = static_cast<uint32_t>(g_jtag.devices.size());
    return 0;
}

JtagStatus Name(uint32_t index, char* name, uint32_t size, uint32_t* location) {
    g_jtag.calls.push_back(MakeCall(JtagOp::Name, 0, 0, {}, index));
    if (index >= g_jtag.devices.size()) return 1;
    std::strncpy(name, g_jtag.devices[index].c_str(), size - 1);
    name[size - 1] = '\0';
    *location = 0x1000 + index;
    return 0;
}

JtagStatus JOpen(const char* name, uint32_t location, JtagHandle* handle) {
    JtagCall call = MakeCall(JtagOp::Open, 0, 0, {}, location);
    call.name = name;
    g_jtag.calls.push_back(call);
    if (g_jtag.openStatus != 0) return g_jtag.openStatus;
    ++g_jtag.openHandles;
    *handle = reinterpret_cast<JtagHandle>(static_cast<uintptr_t>(0x200 + location));
    return 0;
}

JtagStatus JClose(JtagHandle) {
    g_jtag.calls.push_back(MakeCall(JtagOp::Close));
    if (g_jtag.closeStatus != 0) return g_jtag.closeStatus;
    --g_jtag.openHandles;
    return 0;
}

JtagStatus Init(JtagHandle, uint32_t divisor) {
    g_jtag.calls.push_back(MakeCall(JtagOp::Init, 0, 0, {}, divisor));
    if (g_jtag.initStatuses.empty()) return 0;
    JtagStatus status = g_jtag.initStatuses.front();
    g_jtag.initStatuses.pop_front();
    return status;
}

JtagStatus Pins(JtagHandle, uint32_t controlLow, const PinRecord* low, uint32_t controlHigh, const PinRecord* high) {
    JtagCall call = MakeCall(JtagOp::Pins);
    call.controlLow = controlLow;
    call.controlHigh = controlHigh;
    call.low = *low;
    call.high = *high;
    g_jtag.calls.push_back(call);
    return g_jtag.pinsStatus;
}

std::vector<uint8_t> NextCapture() {
    // Nothing scripted: an accepted capture (acknowledge OK/FAULT) of zero.
    if (g_jtag.captures.empty()) return {0x02, 0, 0, 0, 0};
    std::vector<uint8_t> capture = g_jtag.captures.front();
    g_jtag.captures.pop_front();
    return capture;
}

JtagStatus ScanWrite(JtagHandle, uint32_t reg, uint32_t bits, const uint8_t* data, uint32_t count, uint32_t) {
    g_jtag.calls.push_back(MakeCall(JtagOp::ScanWrite, reg, bits, std::vector<uint8_t>(data, data + count)));
    return 0;
}

JtagStatus ScanRead(JtagHandle, uint32_t reg, uint32_t bits, uint8_t* capture, uint32_t* count, uint32_t) {
    g_jtag.calls.push_back(MakeCall(JtagOp::ScanRead, reg, bits));
    std::vector<uint8_t> c = NextCapture();
    std::copy(c.begin(), c.end(), capture);
    *count = static_cast<uint32_t>(c.size());
    return 0;
}

JtagStatus ScanWriteRead(JtagHandle, uint32_t reg, uint32_t bits, const uint8_t* data, uint32_t count,
                         uint8_t* capture, uint32_t* captureCount, uint32_t) {
    g_jtag.calls.push_back(MakeCall(JtagOp::ScanWriteRead, reg, bits, std::vector<uint8_t>(data, data + count)));
    std::vector<uint8_t> c = NextCapture();
    std::copy(c.begin(), c.end(), capture);
    *captureCount = static_cast<uint32_t>(c.size());
    return 0;
}

JtagStatus Clear(JtagHandle) {
    g_jtag.calls.push_back(MakeCall(JtagOp::Clear));
    g_queuedCaptures = 0;
    return 0;
}

JtagStatus QueueWrite(JtagHandle, uint32_t reg, uint32_t bits, const uint8_t* data, uint32_t count, uint32_t) {
    g_jtag.calls.push_back(MakeCall(JtagOp::QueueWrite, reg, bits, std::vector<uint8_t>(data, data + count)));
    return 0;
}

JtagStatus QueueRead(JtagHandle, uint32_t reg, uint32_t bits, uint32_t) {
    g_jtag.calls.push_back(MakeCall(JtagOp::QueueRead, reg, bits));
    ++g_queuedCaptures;
    return 0;
}

JtagStatus QueueWriteRead(JtagHandle, uint32_t reg, uint32_t bits, const uint8_t* data, uint32_t count, uint32_t) {
    g_jtag.calls.push_back(MakeCall(JtagOp::QueueWriteRead, reg, bits, std::vector<uint8_t>(data, data + count)));
    ++g_queuedCaptures;
    return 0;
}

JtagStatus Execute(JtagHandle, uint8_t* readBack, uint32_t capacity, uint32_t* count) {
    g_jtag.calls.push_back(MakeCall(JtagOp::Execute));
    uint32_t n = 0;
    for (; g_queuedCaptures > 0 && n + 5 <= capacity; --g_queuedCaptures) {
        std::vector<uint8_t> c = NextCapture();
        std::copy(c.begin(), c.end(), readBack + n);
        n += static_cast<uint32_t>(c.size());
    }
    g_queuedCaptures = 0;
    *count = n;
    return 0;
}

constexpr cm3probe::adapter::JtagEngine kFakeJtag{
    .name = "fake",
    .deviceCount = Count,
    .deviceName = Name,
    .open = JOpen,
    .close = JClose,
    .initialise = Init,
    .setPins = Pins,
    .scanWrite = ScanWrite,
    .scanRead = ScanRead,
    .scanWriteRead = ScanWriteRead,
    .clearSequence = Clear,
    .queueWrite = QueueWrite,
    .queueRead = QueueRead,
    .queueWriteRead = QueueWriteRead,
    .executeSequence = Execute,
};

}  // namespace

std::vector<UsbCall> FakeUsb::callsOf(UsbOp op) const {
    std::vector<UsbCall> out;
    for (const UsbCall& call : calls) {
        if (call.op == op) out.push_back(call);
    }
    return out;
}

std::vector<std::vector<uint8_t>> FakeUsb::writes() const {
    std::vector<std::vector<uint8_t>> out;
    for (const UsbCall& call : callsOf(UsbOp::Write)) out.push_back(call.bytes);
    return out;
}

void FakeUsb::queueResponse(uint8_t byte0, uint32_t data, uint8_t byte5) {
    replies.push_back(byte0);
    for (int i = 0; i < 4; ++i) replies.push_back(static_cast<uint8_t>(data >> (8 * i)));
    replies.push_back(byte5);
}

FakeUsb& Usb() { return g_usb; }
void ResetUsb() { g_usb = FakeUsb{}; }
const cm3probe::adapter::UsbDriver& FakeUsbDriver() { return kFakeUsb; }

std::vector<JtagCall> FakeJtag::callsOf(JtagOp op) const {
    std::vector<JtagCall> out;
    for (const JtagCall& call : calls) {
        if (call.op == op) out.push_back(call);
    }
    return out;
}

FakeJtag& Jtag() { return g_jtag; }
void ResetJtag() {
    g_jtag = FakeJtag{};
    g_queuedCaptures = 0;
}
const cm3probe::adapter::JtagEngine& FakeJtagEngine() { return kFakeJtag; }

std::vector<uint32_t>& Sleeps() { return g_sleeps; }

}  // namespace cm3test
