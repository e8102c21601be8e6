// Many SWD transactions in one USB write and one USB read. The streams are the
// single transactions' streams, byte for byte, back to back.
#pragma once

#include <cstdint>

#include "adapter/usb_driver.h"
#include "transport/swd_protocol.h"
#include "transport/wire_status.h"

namespace cm3probe {

// The most 22-byte write streams that fit the 64 KB command buffer.
inline constexpr uint32_t SWD_BATCH_CAPACITY = 2978;
inline constexpr uint32_t kBatchCommandBufferSize = 65536;
inline constexpr uint32_t kBatchReadBackSize = SWD_BATCH_CAPACITY * swd::kResponseSize;
static_assert(SWD_BATCH_CAPACITY * swd::kWriteStreamSize <= kBatchCommandBufferSize);
static_assert((SWD_BATCH_CAPACITY + 1) * swd::kWriteStreamSize > kBatchCommandBufferSize);
static_assert(kBatchReadBackSize == 17868);

struct TransactionRecord {
    uint32_t isRead;
    uint8_t registerAddress;
    uint8_t apSelect;
    uint32_t value;
};

struct SwdBatch {
    TransactionRecord* recordArray;
    TransactionRecord* recordCursor;
    uint8_t* commandBuffer;
    uint8_t* commandCursor;
    uint8_t* readBackBuffer;
    uint8_t* readCursor;
    // End of the responses the last flush delivered; nothing past it is decoded.
    uint8_t* readEnd;
};

extern SwdBatch g_batch;

// Buffer ownership, tied to the SWD link.
[[nodiscard]] bool BatchAllocate();
void BatchRelease();
bool BatchAllocated();

void BatchReset();
// True when queued; false when the batch is full (nothing queued).
[[nodiscard]] bool BatchQueueWrite(uint8_t registerAddress, uint8_t apSelect, uint32_t value);
[[nodiscard]] bool BatchQueueRead(uint8_t registerAddress, uint8_t apSelect);
// Ok once all is sent and every response read; UsbFailure otherwise (or with
// no buffers), and then nothing of it is decoded.
[[nodiscard]] WireStatus BatchFlush(adapter::UsbHandle handle);
// The next read's acknowledge, with the data in `value` when Ok (else 0);
// NoAnswer past the responses the last flush delivered.
[[nodiscard]] WireStatus BatchNextRead(uint32_t* value);
uint32_t BatchQueuedCount();

}  // namespace cm3probe
