// Bytes the chip sent towards the host, kept until a read asks for them.
// Replies arrive while a long command batch is still being written, well
// before the caller reads them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

namespace cm3probe::adapter::ftdi {

// Every USB packet from the chip, even a short one, starts with two modem and
// line status bytes; the chip sends them alone each latency period when it
// has no data.
inline constexpr size_t kModemStatusBytes = 2;

struct ReceiveQueue {
    void Push(const uint8_t* data, size_t count);
    // Moves up to `count` of the oldest bytes to `out`; returns how many.
    size_t Pop(uint8_t* out, size_t count);
    size_t Size() const { return bytes_.size(); }
    void Clear() { bytes_.clear(); }

private:
    std::deque<uint8_t> bytes_;
};

// Queues the payload of one bulk IN transfer: packets of `packetSize` bytes,
// the last one possibly short, each without its status bytes. A packet size
// with no room for data queues nothing.
void PushPayload(ReceiveQueue& queue, const uint8_t* transfer, size_t length, size_t packetSize);

}  // namespace cm3probe::adapter::ftdi
