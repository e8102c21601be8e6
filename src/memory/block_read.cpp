// DebugReadBlock: head bytes, word passes with pipelined DRW reads (each read
// returns the word the read before it fetched), then bytes for a short rest.
#include <array>

#include "cm3probe.h"
#include "frame/connection.h"
#include "frame/export_frame.h"
#include "dap/ap_registers.h"
#include "dap/dap_access.h"
#include "dap/dp_registers.h"
#include "dap/port.h"
#include "memory/block.h"
#include "memory/size_code.h"

namespace cm3probe::memory {
namespace {

using block::kCswWordStream;
using block::kWordBytes;
using dap::Ap;
using dap::Dp;
using dap::Port;
using dap::Reg;

// Rests this short are read byte by byte: a word pass costs more.
inline constexpr uint32_t kWordPassThreshold = 16;
inline constexpr uint32_t kMaxWords = block::kMaxBytes / kWordBytes;
// The loop's addresses after the first word span less than 4 KB: a pass
// changes page at most once.
inline constexpr uint32_t kMaxPageChanges = 1;
// The most steps one page change records: call by call the SELECT, TAR,
// SELECT and CSW writes, then the extra read.
inline constexpr uint32_t kPageChangeSteps = 5;
// Priming read, one read per word after the first, the page change, the
// final read.
inline constexpr uint32_t kMaxEvents = 1 + (kMaxWords - 1) + kMaxPageChanges * kPageChangeSteps + 1;
static_assert(kMaxEvents == 1030);
// A write step that leaves TAR as it is (SELECT, CSW).
inline constexpr uint32_t kKeepTar = 0xFFFFFFFF;
// Passes in a row that may deliver nothing (every read, or the check after
// them, refused) before the call gives up.
inline constexpr uint32_t kMaxIdlePasses = 8;

// Accepted: performed. Refused: a JTAG WAIT, not performed. Broken: the
// transfer failed or the answer made no sense; nothing after it is known.
enum class Outcome : uint8_t { Accepted, Refused, Broken };

// One step of a pass in wire order: a DRW read, the final read (which
// fetches nothing of the block), or a write of the page change.
enum class Step : uint8_t { DrwRead, FinalRead, Write };

struct Event {
    Step step;
    Outcome outcome;
    uint32_t value;  // the data field of the step's capture
    uint32_t tar;    // a write's new TAR, or kKeepTar
};

struct Pass {
    uint32_t start;
    uint32_t words;
    std::array<Event, kMaxEvents> events;
    uint32_t eventCount;
    // Batched steps awaiting collection (reads; where writes answer, the page change's
    // writes too), by index into `events`.
    std::array<uint16_t, kMaxEvents> queued;
    uint32_t queuedCount;
    // An immediate step failed: the pass sends nothing more.
    bool stopped;
    // A step found no room or could not be queued: the record no longer
    // matches the wire, and nothing of the pass is delivered.
    bool lost;
};

bool Batched() { return g_connection.batchedMode != 0; }

// A refused step the port ignored was not performed. Any other refusal
// leaves nothing past it known: over SWD, with overrun detection, it turns
// sticky and the port drops every AP transfer after it.
Outcome OutcomeOf(const Port& port, WireStatus status) {
    if (IsOk(status)) return Outcome::Accepted;
    return port.ignored(status) ? Outcome::Refused : Outcome::Broken;
}

// Adds a step; nullptr (and the pass lost) when the proven bound was wrong.
Event* Add(Pass& pass, Step step, Outcome outcome, uint32_t value, uint32_t tar) {
    if (pass.eventCount == pass.events.size()) {
        pass.lost = true;
        pass.stopped = true;
        return nullptr;
    }
    Event* event = &pass.events[pass.eventCount++];
    *event = Event{step, outcome, value, tar};
    return event;
}

void Record(Pass& pass, Step step, Outcome outcome, uint32_t value, uint32_t tar = kKeepTar) {
    if (Add(pass, step, outcome, value, tar) != nullptr && outcome == Outcome::Broken) pass.stopped = true;
}

// A batched step: Broken until its answer is collected.
void Queue(Pass& pass, Step step, uint32_t tar, bool queued) {
    const uint32_t index = pass.eventCount;
    if (Add(pass, step, Outcome::Broken, 0, tar) == nullptr) return;
    if (!queued) {
        pass.lost = true;
        return;
    }
    pass.queued[pass.queuedCount++] = static_cast<uint16_t>(index);
}

// An immediate read: a DRW read request, or for the final read the port's
// collecting read, whose answer carries the last DRW data.
void ReadNow(const Port& port, Pass& pass, Step step) {
    uint32_t value = 0;
    const WireStatus status = port.apReadPosted(step == Step::FinalRead ? port.collectingRead : ap::kDrw, &value);
    Record(pass, step, OutcomeOf(port, status), value);
}

void QueueRead(const Port& port, Pass& pass) {
    Queue(pass, Step::DrwRead, kKeepTar, port.queueRead(Ap(ap::kDrw)));
}

uint32_t TarOf(Reg reg, uint32_t value) { return reg == Ap(ap::kTar) ? value : kKeepTar; }

// An immediate write of the page change, keeping what it answers: where
// writes answer, the first one carries the data of the read before it, and a
// refused TAR write leaves TAR where it was.
void WriteNow(const Port& port, Pass& pass, Reg reg, uint32_t value) {
    uint32_t answer = 0;
    const WireStatus status = port.writeAnswered(reg, value, &answer);
    Record(pass, Step::Write, OutcomeOf(port, status), answer, TarOf(reg, value));
}

void Reprogram(const Port& port, Pass& pass, uint32_t next) {
    if (!Batched()) {
        // As WriteApRegister sends them: the bank selected before each.
        WriteNow(port, pass, Dp(dp::kSelect), 0);
        if (pass.stopped) return;
        WriteNow(port, pass, Ap(ap::kTar), next);
        if (pass.stopped) return;
        WriteNow(port, pass, Dp(dp::kSelect), 0);
        if (pass.stopped) return;
        WriteNow(port, pass, Ap(ap::kCsw), kCswWordStream);
        if (pass.stopped) return;
        ReadNow(port, pass, Step::DrwRead);
        return;
    }
    if (port.writesAnswer) {
        Queue(pass, Step::Write, next, port.queueWrite(Ap(ap::kTar), next));
        Queue(pass, Step::Write, kKeepTar, port.queueWrite(Ap(ap::kCsw), kCswWordStream));
    } else {
        // Queued writes answer nothing here: a refused one turns sticky.
        Record(pass, Step::Write, Outcome::Accepted, 0, next);
        Record(pass, Step::Write, Outcome::Accepted, 0);
        if (!port.queueWrite(Ap(ap::kTar), next) || !port.queueWrite(Ap(ap::kCsw), kCswWordStream)) {
            pass.lost = true;
        }
    }
    QueueRead(port, pass);
}

// Sends the queued steps and fills in their outcomes, in queue order. True
// when every answer was taken, so what was queued after the steps answers next.
bool FillAnswers(const Port& port, Pass& pass) {
    if (!IsOk(port.flush())) return false;  // all stay Broken
    for (uint32_t i = 0; i < pass.queuedCount; ++i) {
        Event& event = pass.events[pass.queued[i]];
        const WireStatus answered = port.nextAnswer(&event.value);
        event.outcome = OutcomeOf(port, answered);
        if (!IsOk(answered) && port.lostFraming(answered)) {
            port.recoverFraming();
            return false;
        }
    }
    return true;
}

bool Collect(const Port& port, Pass& pass) {
    const bool answered = FillAnswers(port, pass);
    // After a failed exchange the final read would fetch nothing usable.
    for (uint32_t i = 0; i < pass.queuedCount; ++i) {
        if (pass.events[pass.queued[i]].outcome == Outcome::Broken) pass.stopped = true;
    }
    return answered;
}

// Replays the pass as the AP saw it. A refused step was not performed. An
// accepted read fetched the word at TAR, which then advanced within its 4 KB
// page; an accepted TAR write moved TAR. The data of a performed read comes
// with the next accepted step that answers: reads, and writes where the port's
// writes answer (after a write the data is unknown). Returns the number of
// whole words delivered from the start, with no gap.
uint32_t Deliver(const Port& port, const Pass& pass, uint8_t* destination) {
    if (pass.lost) return 0;
    const bool writesAnswer = port.writesAnswer;
    std::array<bool, kMaxWords> have{};
    uint32_t tar = pass.start;
    bool pendingValid = false;
    uint32_t pending = 0;
    for (uint32_t i = 0; i < pass.eventCount; ++i) {
        const Event& event = pass.events[i];
        if (event.outcome == Outcome::Broken) break;  // nothing after it can be trusted
        if (event.outcome == Outcome::Refused) continue;
        if (event.step != Step::Write || writesAnswer) {
            if (pendingValid && pending - pass.start < pass.words * kWordBytes) {
                uint32_t index = (pending - pass.start) / kWordBytes;
                block::StoreWord(destination + index * kWordBytes, event.value);
                have[index] = true;
            }
            pendingValid = false;
        }
        if (event.step == Step::Write) {
            if (event.tar != kKeepTar) tar = event.tar;
            continue;
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
    const Port& port = dap::ActivePort();
    Pass pass;
    pass.start = start;
    pass.words = count / kWordBytes;
    pass.eventCount = 0;
    pass.queuedCount = 0;
    pass.stopped = false;
    pass.lost = false;
    if (!block::StartStream(port, Batched(), start)) {
        // Nothing streamed from an address that was never set; try again.
        return {0, DBG_OK};
    }
    // Where writes answer, every refusal shows in the answers: the priming
    // read, the stream, the final read and the CTRL/STAT check all go in one
    // exchange.
    const bool whole = Batched() && port.writesAnswer;
    port.queueReset();
    if (whole) {
        QueueRead(port, pass);
    } else {
        ReadNow(port, pass, Step::DrwRead);  // primes the pipeline
    }
    for (uint32_t i = 0; i + 1 < pass.words && !pass.stopped; ++i) {
        if (Batched()) {
            QueueRead(port, pass);
        } else {
            ReadNow(port, pass, Step::DrwRead);
        }
        const uint32_t next = start + kWordBytes * (i + 1);
        // TAR's increment wraps within the page: point it at the next page.
        if (block::StartsPage(next)) Reprogram(port, pass, next);
    }
    if (whole) {
        Queue(pass, Step::FinalRead, kKeepTar, port.queueRead(Ap(port.collectingRead)));
        if (!port.queueRead(Dp(dp::kCtrlStat))) pass.lost = true;
    }
    const bool answered = Batched() && !pass.lost && Collect(port, pass);
    // What was queued and not sent must not go out with the next call.
    if (Batched() && pass.lost) port.queueReset();
    if (!pass.stopped && !whole) ReadNow(port, pass, Step::FinalRead);

    uint32_t words = Deliver(port, pass, destination);
    // The words' own faults come first: trailing bytes check and clear too.
    uint32_t ctrlStat = 0;
    const WireStatus status =
        whole && answered ? port.nextAnswer(&ctrlStat) : ReadDpRegister(dp::kCtrlStat, &ctrlStat);
    // A refused check proves nothing either way: the caller repeats the pass.
    if (port.inconclusive(status)) return {0, DBG_OK};
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
                // Checked once more, and cleared from a value really read: a
                // CTRL/STAT written back unread would drop the power-up requests.
                NotExamined(ReadAndCheckSticky());  // the pass's sticky error is the answer
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
