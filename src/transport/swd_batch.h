// Many SWD transactions in one USB write and one USB read. The streams are the
// single transactions' streams, byte for byte, back to back.
#pragma once

#include <cstdint>

#include "adapter/usb_driver.h"
#include "transport/swd_protocol.h"

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
// 0 queued, 1 batch full (nothing queued).
uint32_t BatchQueueWrite(uint8_t registerAddress, uint8_t apSelect, uint32_t value);
uint32_t BatchQueueRead(uint8_t registerAddress, uint8_t apSelect);
// 0 all sent and all responses read; 1 short write or read; else the driver's status.
uint32_t BatchFlush(adapter::UsbHandle handle);
// 1 OK with the data in `value`; otherwise 0 in `value` and the acknowledge.
uint32_t BatchNextRead(uint32_t* value);
uint32_t BatchQueuedCount();

}  // namespace cm3probe
