#include "adapter/ftdi_receive_queue.h"

#include <algorithm>

namespace cm3probe::adapter::ftdi {

void ReceiveQueue::Push(const uint8_t* data, size_t count) { bytes_.insert(bytes_.end(), data, data + count); }

size_t ReceiveQueue::Pop(uint8_t* out, size_t count) {
    const size_t n = std::min(count, bytes_.size());
    const auto end = bytes_.begin() + static_cast<std::ptrdiff_t>(n);
    std::copy(bytes_.begin(), end, out);
    bytes_.erase(bytes_.begin(), end);
    return n;
}

void PushPayload(ReceiveQueue& queue, const uint8_t* transfer, size_t length, size_t packetSize) {
    if (packetSize <= kModemStatusBytes) return;
    for (size_t offset = 0; offset < length; offset += packetSize) {
        const size_t packet = std::min(packetSize, length - offset);
        if (packet > kModemStatusBytes) queue.Push(transfer + offset + kModemStatusBytes, packet - kModemStatusBytes);
    }
}

}  // namespace cm3probe::adapter::ftdi
