#include "transport/swd_batch.h"

#include <new>

#include "adapter/backend.h"
#include "frame/link_state.h"
#include "transport/swd_link.h"

namespace cm3probe {

SwdBatch g_batch{};

bool BatchAllocate() {
    if (BatchAllocated()) {
        BatchReset();
        return true;
    }
    g_batch.recordArray = new (std::nothrow) TransactionRecord[SWD_BATCH_CAPACITY];
    g_batch.commandBuffer = new (std::nothrow) uint8_t[kBatchCommandBufferSize];
    g_batch.readBackBuffer = new (std::nothrow) uint8_t[kBatchReadBackSize];
    if (!BatchAllocated()) {
        BatchRelease();
        return false;
    }
    BatchReset();
    return true;
}

void BatchRelease() {
    delete[] g_batch.recordArray;
    delete[] g_batch.commandBuffer;
    delete[] g_batch.readBackBuffer;
    g_batch = SwdBatch{};
}

bool BatchAllocated() {
    return g_batch.recordArray != nullptr && g_batch.commandBuffer != nullptr && g_batch.readBackBuffer != nullptr;
}

void BatchReset() {
    g_batch.recordCursor = g_batch.recordArray;
    g_batch.commandCursor = g_batch.commandBuffer;
    g_batch.readCursor = g_batch.readBackBuffer;
    g_batch.readEnd = g_batch.readBackBuffer;
}

uint32_t BatchQueuedCount() { return static_cast<uint32_t>(g_batch.recordCursor - g_batch.recordArray); }

namespace {
bool Queue(bool read, uint8_t registerAddress, uint8_t apSelect, uint32_t value) {
    if (!BatchAllocated() || BatchQueuedCount() >= SWD_BATCH_CAPACITY) return false;
    g_batch.commandCursor += read ? swd::BuildReadStream(g_batch.commandCursor, registerAddress, apSelect)
                                  : swd::BuildWriteStream(g_batch.commandCursor, registerAddress, apSelect, value);
    *g_batch.recordCursor++ = TransactionRecord{read ? 1u : 0u, registerAddress, apSelect, read ? 0u : value};
    return true;
}
}  // namespace

bool BatchQueueWrite(uint8_t registerAddress, uint8_t apSelect, uint32_t value) {
    return Queue(false, registerAddress, apSelect, value);
}

bool BatchQueueRead(uint8_t registerAddress, uint8_t apSelect) {
    return Queue(true, registerAddress, apSelect, 0);
}

WireStatus BatchFlush(adapter::UsbHandle handle) {
    // Until this flush delivers, nothing in the read-back buffer is this batch's.
    g_batch.readCursor = g_batch.readBackBuffer;
    g_batch.readEnd = g_batch.readBackBuffer;
    if (!BatchAllocated() || link_state::Down()) return WireStatus::UsbFailure;
    const adapter::UsbDriver& usb = *adapter::ActiveBackend().usb;
    uint32_t commandLength = static_cast<uint32_t>(g_batch.commandCursor - g_batch.commandBuffer);
    uint32_t readCount = 0;
    for (const TransactionRecord* record = g_batch.recordArray; record != g_batch.recordCursor; ++record) {
        if (record->isRead != 0) ++readCount;
    }
    // Any failure leaves replies the chip still holds, or half a command in
    // it: the link is down until recovered, and nothing decodes them.
    uint32_t written = 0;
    bool whole = usb.write(handle, g_batch.commandBuffer, commandLength, &written) == adapter::kUsbOk &&
                 written == commandLength;
    uint32_t expected = readCount * swd::kResponseSize;
    uint32_t got = 0;
    whole = whole && usb.read(handle, g_batch.readBackBuffer, expected, &got) == adapter::kUsbOk && got == expected;
    if (!whole) {
        link_state::MarkDown();
        return WireStatus::UsbFailure;
    }
    g_batch.readEnd = g_batch.readBackBuffer + expected;
    return WireStatus::Ok;
}

WireStatus BatchNextRead(uint32_t* value) {
    *value = 0;
    if (g_batch.readCursor + swd::kResponseSize > g_batch.readEnd) return WireStatus::NoAnswer;
    const WireStatus answered = swd::AckStatus(swd::DecodeResponse(g_batch.readCursor, value));
    g_batch.readCursor += swd::kResponseSize;
    if (answered == WireStatus::Wait) link_state::MarkApStalled();
    return answered;
}

}  // namespace cm3probe
