// Target programs the tools' tests put on the simulator.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cm3test {

// A counting loop in flash: the vector table (initial SP, reset vector) and,
// at kLoopCode, movs r0, #0 / adds r0, #1 / b.n back to the adds.
namespace loop_program {
inline constexpr uint32_t kInitialSp = 0x20001000;
inline constexpr uint32_t kCode = 0x40;
inline constexpr uint32_t kAdds = kCode + 2;
inline constexpr uint32_t kBranch = kCode + 4;
inline constexpr uint16_t kMovsR0Zero = 0x2000;
inline constexpr uint16_t kAddsR0One = 0x3001;
inline constexpr uint16_t kBranchToAdds = 0xE7FD;

// The whole flash image from address 0.
inline std::vector<uint8_t> Image() {
    std::vector<uint8_t> image(kCode + 6, 0xFF);
    auto put32 = [&](uint32_t at, uint32_t value) {
        for (uint32_t i = 0; i < 4; ++i) image[at + i] = static_cast<uint8_t>(value >> (8 * i));
    };
    auto put16 = [&](uint32_t at, uint16_t value) {
        image[at] = static_cast<uint8_t>(value);
        image[at + 1] = static_cast<uint8_t>(value >> 8);
    };
    put32(0, kInitialSp);
    put32(4, kCode | 1);  // Thumb
    put16(kCode, kMovsR0Zero);
    put16(kAdds, kAddsR0One);
    put16(kBranch, kBranchToAdds);
    return image;
}
}  // namespace loop_program

}  // namespace cm3test
