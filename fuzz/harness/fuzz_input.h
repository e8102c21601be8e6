// Decisions drawn from a fuzzer's input, front to back. Once the input is
// used up every draw answers zero, so a harness always ends.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

namespace cm3fuzz {

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return offset_ >= size_; }
    size_t remaining() const { return size_ - std::min(offset_, size_); }

    uint8_t byte() { return empty() ? 0 : data_[offset_++]; }
    // Drawn low part first, in the same order whichever compiler built it.
    uint16_t u16() {
        const uint16_t low = byte();
        return static_cast<uint16_t>(low | byte() << 8);
    }
    uint32_t u32() {
        const uint32_t low = u16();
        return low | static_cast<uint32_t>(u16()) << 16;
    }
    bool flip() { return (byte() & 1) != 0; }
    // 0 to n-1; 0 when n is 0.
    uint32_t below(uint32_t n) { return n == 0 ? 0 : u32() % n; }
    // Up to `n` bytes of the input itself.
    std::span<const uint8_t> take(size_t n) {
        const size_t count = std::min(n, remaining());
        const std::span<const uint8_t> bytes(data_ + offset_, count);
        offset_ += count;
        return bytes;
    }

    // Two streams from one input: a 16-bit length, that many bytes for the
    // first, the rest for the second. What a harness does and how its
    // peripherals answer then stay apart, so a seed can script each.
    static std::pair<FuzzInput, FuzzInput> Split(const uint8_t* data, size_t size) {
        FuzzInput head(data, size);
        const size_t first = std::min<size_t>(head.u16(), head.remaining());
        const size_t at = size - head.remaining();
        return {FuzzInput(data + at, first), FuzzInput(data + at + first, size - at - first)};
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};

}  // namespace cm3fuzz
