#include "adapter/ftdi_receive_queue.h"

#include <algorithm>

namespace cm3probe::adapter::ftdi {

namespace {
// The first ring holds a 4 KB batch's replies with room to spare.
inline constexpr size_t kInitialRing = 8192;
}  // namespace

void ReceiveQueue::Reserve(size_t needed) {
    if (needed <= ring_.size()) return;
    size_t capacity = std::max(ring_.size(), kInitialRing);
    while (capacity < needed) capacity *= 2;
    std::vector<uint8_t> grown(capacity);
    const size_t kept = size_;
    (void)Pop(grown.data(), kept);
    ring_.swap(grown);
    head_ = 0;
    size_ = kept;
}

void ReceiveQueue::Push(const uint8_t* data, size_t count) {
    Reserve(size_ + count);
    const size_t capacity = ring_.size();
    size_t tail = (head_ + size_) % capacity;
    const size_t first = std::min(count, capacity - tail);
    std::copy(data, data + first, ring_.begin() + static_cast<std::ptrdiff_t>(tail));
    std::copy(data + first, data + count, ring_.begin());
    size_ += count;
}

size_t ReceiveQueue::Pop(uint8_t* out, size_t count) {
    const size_t n = std::min(count, size_);
    if (n == 0) return 0;
    const size_t capacity = ring_.size();
    const size_t first = std::min(n, capacity - head_);
    std::copy(ring_.begin() + static_cast<std::ptrdiff_t>(head_),
              ring_.begin() + static_cast<std::ptrdiff_t>(head_ + first), out);
    std::copy(ring_.begin(), ring_.begin() + static_cast<std::ptrdiff_t>(n - first), out + first);
    head_ = (head_ + n) % capacity;
    size_ -= n;
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
