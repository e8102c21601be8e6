// DebugWriteBlock: head bytes, a word stream through DRW with address
// auto-increment (TAR rewritten at each 4 KB page), then the final bytes.
#include "adapter/backend.h"
#include "cm3probe.h"
#include "connection/connection.h"
#include "connection/export_frame.h"
#include "dap/ap_registers.h"
#include "dap/dap_access.h"
#include "dap/jtag_port.h"
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

bool Swd() { return g_connection.swdMode != 0; }

[[nodiscard]] bool QueueScan(uint32_t value, uint8_t reg) {
    DapScan request;
    BuildDapScan(value, reg, dap_scan::kWrite, request);
    return IsOk(JtagQueueWriteRead(request));
}

// One word into DRW. False when it did not go out (or, over JTAG direct, was
// refused: TAR did not advance), so the stream must stop before the next
// word lands on this one's address.
bool WriteWord(uint32_t word) {
    if (Swd()) {
        // The SW-DP's overrun detection makes a refused write sticky, and
        // every AP write after it faults without effect.
        if (g_connection.batchedMode) return BatchQueueWrite(ap::kDrw, swd::kAccessPort, word);
        return IsOk(SwdWriteTransfer(g_connection.usbHandle, ap::kDrw, swd::kAccessPort, word));
    }
    // APACC is still loaded from the set-up.
    if (g_connection.batchedMode) return QueueScan(word, ap::kDrw);
    return IsOk(dap::JtagRequestChecked(word, ap::kDrw, dap_scan::kWrite));
}

// Puts the queued words on the wire; false when the exchange failed or, over
// JTAG, any queued scan was refused.
bool SendQueued() {
    if (Swd()) return IsOk(BatchFlush(g_connection.usbHandle));
    uint32_t bytes = 0;
    if (!IsOk(JtagQueueExecute(&bytes))) return false;
    for (uint32_t offset = 0; offset + dap_scan::kBytes <= bytes; offset += dap_scan::kBytes) {
        if (!IsOk(dap::JtagCaptureStatus(JtagReadBack() + offset))) return false;
    }
    return true;
}

bool ReprogramPage(uint32_t address) {
    if (!g_connection.batchedMode) {
        return IsOk(WriteApRegister(ap::kTar, address)) && IsOk(WriteApRegister(ap::kCsw, kCswWordStream));
    }
    if (Swd()) {
        // A refused TAR write turns sticky, and the port drops every word after it.
        return BatchQueueWrite(ap::kTar, swd::kAccessPort, address) &&
               BatchQueueWrite(ap::kCsw, swd::kAccessPort, kCswWordStream);
    }
    const bool queued = IsOk(JtagQueueInstruction(jtag_ir::kDpacc)) && QueueScan(0, dp::kSelect) &&
                        IsOk(JtagQueueInstruction(jtag_ir::kApacc)) && QueueScan(address, ap::kTar) &&
                        IsOk(JtagQueueInstruction(jtag_ir::kDpacc)) && QueueScan(0, dp::kSelect) &&
                        IsOk(JtagQueueInstruction(jtag_ir::kApacc)) && QueueScan(kCswWordStream, ap::kCsw);
    // A JTAG-DP that refuses the TAR write goes on taking words at the old
    // page's start: the next page's words wait until the change is seen to
    // have taken.
    return queued && SendQueued();
}

// Keeps the first failure of the call: later steps still run where that is
// safe, but a failure is never lost.
void Note(DebugResult& first, DebugResult result) {
    if (first == DBG_OK) first = result;
}

DebugResult WriteBlock(uint32_t address, const uint8_t* data, uint32_t count) {
    DebugResult first = DBG_OK;
    uint32_t written = 0;
    while ((address % block::kWordBytes) != 0 && written < count) {
        Note(first, DebugWriteMem(address, data[written], size_code::kByte));
        ++address;
        ++written;
    }
    bool streaming = IsOk(WriteDpRegister(dp::kSelect, 0)) && IsOk(WriteApRegister(ap::kTar, address)) &&
                     IsOk(WriteApRegister(ap::kCsw, kCswWordStream));
    if (Swd()) {
        BatchReset();
    } else {
        // A sequence the engine will not empty fails the first word queued.
        NotExamined(JtagQueueClear());
    }
    while (streaming && count - written >= block::kWordBytes) {
        streaming = WriteWord(block::LoadWord(data + written));
        if (!streaming) break;
        written += block::kWordBytes;
        address += block::kWordBytes;
        if (block::StartsPage(address)) streaming = ReprogramPage(address);
    }
    // The final bytes reuse the batch or sequence: the words go out first.
    if (streaming && g_connection.batchedMode) streaming = SendQueued();
    if (!streaming) {
        // Words may be missing: say so, and send nothing more to this block.
        // What was queued and not sent must not go out with the next call.
        if (Swd()) {
            BatchReset();
        } else {
            NotExamined(JtagQueueClear());
        }
        DebugResult sticky = ReadAndCheckSticky();
        return sticky == DBG_STICKY_ERROR ? DBG_STICKY_ERROR : DBG_ERROR;
    }
    const uint32_t rest = count - written;
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
