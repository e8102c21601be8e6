// DebugReadBlock: head bytes, word passes with pipelined DRW reads (each read
// returns the word the read before it fetched), then bytes for a short rest.
#include <array>

#include "adapter/backend.h"
#include "cm3probe.h"
#include "connection/connection.h"
#include "connection/export_frame.h"
#include "dap/ap_registers.h"
#include "dap/dap_access.h"
#include "dap/dp_registers.h"
#include "memory/block.h"
#include "memory/size_code.h"
#include "transport/jtag_scan.h"
#include "transport/swd_batch.h"
#include "transport/swd_link.h"
#include "transport/swd_protocol.h"

namespace cm3probe::memory {
namespace {

using block::kCswWordStream;
using block::kWordBytes;

// Rests this short are read byte by byte: a word pass costs more.
inline constexpr uint32_t kWordPassThreshold = 16;
inline constexpr uint32_t kMaxWords = block::kMaxBytes / kWordBytes;
// Priming read, one read per word after the first, one extra at a page start,
// the final read.
inline constexpr uint32_t kMaxEvents = kMaxWords + 3;
// A reprogramming step that leaves TAR as it is (the CSW write).
inline constexpr uint32_t kKeepTar = 0xFFFFFFFF;
// Passes in a row that may deliver nothing (every read, or the check after
// them, refused) before the call gives up.
inline constexpr uint32_t kMaxIdlePasses = 8;

enum class Outcome : uint8_t { Accepted, Refused, Broken };

// One step of a pass in wire order: a DRW read, the final read (which
// fetches nothing new), or TAR re-programmed at a page start.
enum class Step : uint8_t { DrwRead, FinalRead, Reprogram };

struct Event {
    Step step;
    Outcome outcome;
    uint32_t value;  // a read's data, or the new TAR
};

struct Pass {
    uint32_t start;
    uint32_t words;
    std::array<Event, kMaxEvents> events;
    uint32_t eventCount;
    // Batched steps awaiting collection (reads; over JTAG the page change's
    // writes too), by index into `events`.
    std::array<uint16_t, kMaxEvents> queued;
    uint32_t queuedCount;
};

bool Swd() { return g_connection.swdMode != 0; }

Outcome FromSwdAck(uint32_t acknowledge) {
    if (acknowledge == swd::ack::kWait) return Outcome::Refused;
    return Outcome::Broken;
}

Outcome SwdOutcome(uint32_t status) { return status == 0 ? Outcome::Accepted : FromSwdAck(status); }

Outcome JtagOutcome(adapter::JtagStatus status, const uint8_t* capture, uint32_t* value) {
    if (status != adapter::kJtagOk) return Outcome::Broken;
    if (DecodeDapScan(capture, value) == dap_scan::kAccepted) return Outcome::Accepted;
    return (capture[0] & dap_scan::kAckMask) == dap_scan::kAckWait ? Outcome::Refused : Outcome::Broken;
}

void Record(Pass& pass, Step step, Outcome outcome, uint32_t value) {
    pass.events[pass.eventCount++] = Event{step, outcome, value};
}

// An immediate read: DRW over SWD; over JTAG a DRW request, or for the final
// read a CSW request whose capture carries the last DRW data.
void ReadNow(Pass& pass, Step step) {
    uint32_t value = 0;
    if (Swd()) {
        uint32_t status = SwdReadWithRecovery(ap::kDrw, swd::kAccessPort, &value);
        Record(pass, step, SwdOutcome(status), value);
        return;
    }
    DapScan request;
    BuildDapScan(0, step == Step::FinalRead ? ap::kCsw : ap::kDrw, dap_scan::kRead, request);
    DapScan capture = {};
    adapter::JtagStatus status = JtagScanWriteRead(request, capture);
    const Outcome outcome = JtagOutcome(status, capture, &value);
    Record(pass, step, outcome, value);
}

void QueueRead(Pass& pass) {
    pass.queued[pass.queuedCount++] = static_cast<uint16_t>(pass.eventCount);
    Record(pass, Step::DrwRead, Outcome::Broken, 0);  // until collected
    if (Swd()) {
        (void)BatchQueueRead(ap::kDrw, swd::kAccessPort);
        return;
    }
    DapScan request;
    BuildDapScan(0, ap::kDrw, dap_scan::kRead, request);
    (void)JtagQueueWriteRead(request);
}

// A TAR or CSW write of a page change: the replay stops at one that was
// refused, since every read after it fetched from the wrong place.
void QueueReprogramWrite(Pass& pass, uint32_t value, uint8_t reg) {
    DapScan request;
    BuildDapScan(value, reg, dap_scan::kWrite, request);
    pass.queued[pass.queuedCount++] = static_cast<uint16_t>(pass.eventCount);
    Record(pass, Step::Reprogram, Outcome::Broken, reg == ap::kTar ? value : kKeepTar);
    (void)JtagQueueWriteRead(request);
}

void Reprogram(Pass& pass, uint32_t next) {
    if (!g_connection.batchedMode) {
        bool done = WriteApRegister(ap::kTar, next) == 0 && WriteApRegister(ap::kCsw, kCswWordStream) == 0;
        Record(pass, Step::Reprogram, done ? Outcome::Accepted : Outcome::Broken, next);
        ReadNow(pass, Step::DrwRead);
        return;
    }
    if (Swd()) {
        // SWD writes are not answered here; a refused one turns sticky.
        Record(pass, Step::Reprogram, Outcome::Accepted, next);
        (void)BatchQueueWrite(ap::kTar, swd::kAccessPort, next);
        (void)BatchQueueWrite(ap::kCsw, swd::kAccessPort, kCswWordStream);
    } else {
        QueueReprogramWrite(pass, next, ap::kTar);
        QueueReprogramWrite(pass, kCswWordStream, ap::kCsw);
    }
    QueueRead(pass);
}

// Sends the queued reads and fills in their outcomes, in queue order.
void Collect(Pass& pass) {
    if (Swd()) {
        if (BatchFlush(g_connection.usbHandle) != 0) return;  // all stay Broken
        for (uint32_t i = 0; i < pass.queuedCount; ++i) {
            Event& event = pass.events[pass.queued[i]];
            uint32_t acknowledge = BatchNextRead(&event.value);
            event.outcome = acknowledge == swd::ack::kOk ? Outcome::Accepted : FromSwdAck(acknowledge);
            if (SwdReadNeedsRecovery(acknowledge)) {
                RecoverSwdLink();
                return;
            }
        }
        return;
    }
    uint32_t bytes = 0;
    if (JtagQueueExecute(&bytes) != adapter::kJtagOk) return;
    const uint8_t* capture = JtagReadBack();
    for (uint32_t i = 0; i < pass.queuedCount && (i + 1) * dap_scan::kBytes <= bytes; ++i) {
        Event& event = pass.events[pass.queued[i]];
        uint32_t value = 0;
        event.outcome = JtagOutcome(adapter::kJtagOk, capture + i * dap_scan::kBytes, &value);
        if (event.step != Step::Reprogram) event.value = value;
    }
}

// Replays the pass as the AP saw it: a refused read was not performed, an
// accepted one returned the word the previous performed read fetched and
// fetched the word at TAR, which then advanced within its 4 KB page. Returns
// the number of whole words delivered from the start, with no gap.
uint32_t Deliver(const Pass& pass, uint8_t* destination) {
    std::array<bool, kMaxWords> have{};
    uint32_t tar = pass.start;
    bool pendingValid = false;
    uint32_t pending = 0;
    for (uint32_t i = 0; i < pass.eventCount; ++i) {
        const Event& event = pass.events[i];
        if (event.outcome == Outcome::Broken) break;  // nothing after it can be trusted
        if (event.step == Step::Reprogram) {
            if (event.value != kKeepTar) tar = event.value;
            continue;
        }
        if (event.outcome == Outcome::Refused) continue;
        if (pendingValid && pending - pass.start < pass.words * kWordBytes) {
            uint32_t index = (pending - pass.start) / kWordBytes;
            block::StoreWord(destination + index * kWordBytes, event.value);
            have[index] = true;
        }
        pendingValid = event.step == Step::DrwRead;
        pending = tar;
        tar = (tar & ~block::kPageMask) | ((tar + kWordBytes) & block::kPageMask);
    }
    uint32_t delivered = 0;
    while (delivered < pass.words && have[delivered]) ++delivered;
    return delivered;
}

struct PassResult {
    uint32_t bytes;
    DebugResult result;
};

PassResult ReadWordBlock(uint32_t start, uint8_t* destination, uint32_t count) {
    Pass pass;
    pass.start = start;
    pass.words = count / kWordBytes;
    pass.eventCount = 0;
    pass.queuedCount = 0;
    if (WriteDpRegister(dp::kSelect, 0) != 0 || WriteApRegister(ap::kTar, start) != 0 ||
        WriteApRegister(ap::kCsw, kCswWordStream) != 0) {
        // Nothing streamed from an address that was never set; try again.
        return {0, DBG_OK};
    }
    ReadNow(pass, Step::DrwRead);  // primes the pipeline
    if (Swd()) {
        BatchReset();
    } else {
        (void)JtagQueueClear();
    }
    for (uint32_t i = 0; i + 1 < pass.words; ++i) {
        if (g_connection.batchedMode) {
            QueueRead(pass);
        } else {
            ReadNow(pass, Step::DrwRead);
        }
        const uint32_t next = start + kWordBytes * (i + 1);
        // TAR's increment wraps within the page: point it at the next page.
        if (block::StartsPage(next)) Reprogram(pass, next);
    }
    if (g_connection.batchedMode) Collect(pass);
    ReadNow(pass, Step::FinalRead);

    uint32_t words = Deliver(pass, destination);
    // The words' own faults come first: trailing bytes check and clear too.
    uint32_t ctrlStat = 0;
    const uint32_t status = ReadDpRegister(dp::kCtrlStat, &ctrlStat);
    // A refused check proves nothing either way: the caller repeats the pass.
    if (status == dap_status::kRejected) return {0, DBG_OK};
    DebugResult sticky = CheckSticky(status, ctrlStat);
    if (sticky != DBG_OK) return {0, sticky};
    uint32_t delivered = words * kWordBytes;
    if (words < pass.words) return {delivered, DBG_OK};
    for (; delivered < count; ++delivered) {
        uint32_t value = 0;
        DebugResult result = DebugReadMem(start + delivered, &value, size_code::kByte);
        if (result != DBG_OK) return {delivered, result};
        destination[delivered] = static_cast<uint8_t>(value);
    }
    return {delivered, DBG_OK};
}

DebugResult ReadBlock(uint32_t address, uint8_t* buffer, uint32_t count) {
    uint32_t done = 0;
    // Bytes up to the first word boundary; each one must really arrive.
    while ((address + done) % kWordBytes != 0 && done < count) {
        uint32_t value = 0;
        DebugResult result = DebugReadMem(address + done, &value, size_code::kByte);
        if (result != DBG_OK) return result;
        buffer[done++] = static_cast<uint8_t>(value);
    }
    uint32_t idlePasses = 0;
    while (done < count) {
        const uint32_t remaining = count - done;
        if (remaining > kWordPassThreshold) {
            // Passes deliver whole words first, so every pass starts aligned.
            PassResult pass = ReadWordBlock(address + done, buffer + done, remaining);
            if (pass.result == DBG_STICKY_ERROR) {
                uint32_t ctrlStat = 0;
                (void)ReadDpRegister(dp::kCtrlStat, &ctrlStat);
                (void)WriteDpRegister(dp::kCtrlStat, ctrlStat);
                return DBG_STICKY_ERROR;
            }
            if (pass.result != DBG_OK) return pass.result;
            done += pass.bytes;
            idlePasses = pass.bytes == 0 ? idlePasses + 1 : 0;
            if (idlePasses == kMaxIdlePasses) return DBG_ERROR;
            continue;
        }
        uint32_t value = 0;
        DebugResult result = DebugReadMem(address + done, &value, size_code::kByte);
        if (result != DBG_OK) return result;
        buffer[done++] = static_cast<uint8_t>(value);
    }
    return DBG_OK;
}

}  // namespace
}  // namespace cm3probe::memory

extern "C" CM3PROBE_API DebugResult DebugReadBlock(uint32_t address, uint8_t* buffer, uint32_t count) {
    using cm3probe::g_connection;
    if (!g_connection.initialised) return DBG_NOT_INITIALISED;
    if (count > cm3probe::block::kMaxBytes) return DBG_BAD_PARAMETER;
    if (buffer == nullptr && count != 0) return DBG_BAD_PARAMETER;
    return cm3probe::connection::Locked([&] { return cm3probe::memory::ReadBlock(address, buffer, count); });
}
