// Bytes the chip sent towards the host, kept until a read asks for them.
// Replies arrive while a long command batch is still being written, well
// before the caller reads them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace cm3probe::adapter::ftdi {

// Every USB packet from the chip, even a short one, starts with two modem and
// line status bytes; the chip sends them alone each latency period when it
// has no data.
inline constexpr size_t kModemStatusBytes = 2;

// A ring that only grows: once it has held the largest batch's replies, no
// transaction allocates again.
struct ReceiveQueue {
    void Push(const uint8_t* data, size_t count);
    // Moves up to `count` of the oldest bytes to `out`; returns how many.
    size_t Pop(uint8_t* out, size_t count);
    size_t Size() const { return size_; }
    void Clear() {
        head_ = 0;
        size_ = 0;
    }

private:
    void Reserve(size_t needed);

    std::vector<uint8_t> ring_;
    size_t head_ = 0;  // index of the oldest byte
    size_t size_ = 0;
};

// Queues the payload of one bulk IN transfer: packets of `packetSize` bytes,
// the last one possibly short, each without its status bytes. A packet size
// with no room for data queues nothing.
void PushPayload(ReceiveQueue& queue, const uint8_t* transfer, size_t length, size_t packetSize);

}  // namespace cm3probe::adapter::ftdi
