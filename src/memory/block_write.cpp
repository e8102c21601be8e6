// DebugWriteBlock: head bytes, a word stream through DRW with address
// auto-increment (TAR rewritten at each 4 KB page), then the final bytes.
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
using dap::Ap;
using dap::Dp;
using dap::Port;

bool Batched() { return g_connection.batchedMode != 0; }

// One word into DRW. False when it did not go out (or, call by call, was
// refused: TAR did not advance), so the stream must stop before the next
// word lands on this one's address. A refused batched word shows at the
// flush: over SWD overrun detection makes it sticky and the port drops every
// AP write after it; over JTAG its capture says so.
bool WriteWord(const Port& port, uint32_t word, uint32_t& queued) {
    if (!Batched()) return IsOk(port.apWrite(ap::kDrw, word));
    ++queued;
    return port.queueWrite(Ap(ap::kDrw), word);
}

// Puts the queued words on the wire; false when the exchange failed or any
// answer (JTAG: every scan's capture) was a refusal.
bool SendQueued(const Port& port) { return IsOk(port.flushExpectingOk()); }

// The page change as queued where writes answer: SELECT, TAR, SELECT, CSW.
inline constexpr uint32_t kPageChangeWrites = 4;

bool ReprogramPage(const Port& port, uint32_t address, bool wordsFollow, uint32_t& queued) {
    if (!Batched()) return IsOk(port.write(Ap(ap::kTar), address)) && IsOk(port.write(Ap(ap::kCsw), kCswWordStream));
    if (!port.writesAnswer) {
        // A refused TAR write turns sticky, and the port drops every word after it.
        return port.queueWrite(Ap(ap::kTar), address) && port.queueWrite(Ap(ap::kCsw), kCswWordStream);
    }
    // A port whose refusals show only in the answers goes on taking words at
    // the old page's start after a refused TAR write: the change goes out as
    // the direct writes would (bank selected for each), and the next page's
    // words wait until it is seen to have taken. With no word after it, it
    // goes out with the closing flush.
    const bool sent = port.queueSelectAp(0) && port.queueWrite(Ap(ap::kTar), address) && port.queueSelectAp(0) &&
                      port.queueWrite(Ap(ap::kCsw), kCswWordStream);
    queued += kPageChangeWrites;
    if (!sent || !wordsFollow) return sent;
    queued = 0;
    return SendQueued(port);
}

// Words may be missing: say so, and send nothing more to this block. What
// was queued and not sent must not go out with the next call.
DebugResult StreamFailed(const Port& port) {
    port.queueReset();
    DebugResult sticky = ReadAndCheckSticky();
    return sticky == DBG_STICKY_ERROR ? DBG_STICKY_ERROR : DBG_ERROR;
}

// Where writes answer and no final bytes follow, the closing CTRL/STAT check
// goes out with the `queued` writes; each of those must answer Ok first.
DebugResult SendWithCheck(const Port& port, uint32_t queued, DebugResult first) {
    if (!port.queueRead(Dp(dp::kCtrlStat)) || !IsOk(port.flush())) return StreamFailed(port);
    uint32_t unused = 0;
    for (uint32_t i = 0; i < queued; ++i) {
        if (!IsOk(port.nextAnswer(&unused))) return StreamFailed(port);
    }
    uint32_t ctrlStat = 0;
    const WireStatus status = port.nextAnswer(&ctrlStat);
    DebugResult sticky = CheckSticky(status, ctrlStat);
    return first != DBG_OK ? first : sticky;
}

// Keeps the first failure of the call: later steps still run where that is
// safe, but a failure is never lost.
void Note(DebugResult& first, DebugResult result) {
    if (first == DBG_OK) first = result;
}

DebugResult WriteBlock(uint32_t address, const uint8_t* data, uint32_t count) {
    const Port& port = dap::ActivePort();
    DebugResult first = DBG_OK;
    uint32_t written = 0;
    while ((address % block::kWordBytes) != 0 && written < count) {
        Note(first, DebugWriteMem(address, data[written], size_code::kByte));
        ++address;
        ++written;
    }
    bool streaming = block::StartStream(port, Batched(), address);
    port.queueReset();
    uint32_t queued = 0;  // batched writes not yet sent
    while (streaming && count - written >= block::kWordBytes) {
        streaming = WriteWord(port, block::LoadWord(data + written), queued);
        if (!streaming) break;
        written += block::kWordBytes;
        address += block::kWordBytes;
        if (block::StartsPage(address)) {
            streaming = ReprogramPage(port, address, count - written >= block::kWordBytes, queued);
        }
    }
    const uint32_t rest = count - written;
    if (streaming && Batched() && port.writesAnswer && rest == 0) return SendWithCheck(port, queued, first);
    // The final bytes reuse the batch or sequence: the words go out first.
    if (streaming && Batched()) streaming = SendQueued(port);
    if (!streaming) return StreamFailed(port);
    if (rest != 0) {
        // A fault in the word stream must not be hidden by the final bytes'
        // own check, which clears it.
        Note(first, ReadAndCheckSticky());
        const uint8_t* tail = data + written;
        if (rest >= 2) {
            Note(first, DebugWriteMem(address, static_cast<uint32_t>(tail[0]) | static_cast<uint32_t>(tail[1]) << 8,
                                      size_code::kHalfword));
        }
        if (rest != 2) {
            uint32_t offset = rest == 3 ? 2 : 0;
            Note(first, DebugWriteMem(address + offset, tail[offset], size_code::kByte));
        }
    }
    DebugResult sticky = ReadAndCheckSticky();
    return first != DBG_OK ? first : sticky;
}

}  // namespace
}  // namespace cm3probe::memory

extern "C" CM3PROBE_API DebugResult DebugWriteBlock(uint32_t address, const uint8_t* data, uint32_t count) {
    using cm3probe::g_connection;
    if (!g_connection.initialised) return DBG_NOT_INITIALISED;
    if (count > cm3probe::block::kMaxBytes) return DBG_BAD_PARAMETER;
    if (data == nullptr && count != 0) return DBG_BAD_PARAMETER;
    return cm3probe::connection::Locked([&] { return cm3probe::memory::WriteBlock(address, data, count); });
}
