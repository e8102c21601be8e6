#include "format.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace cm3tools::cli {
namespace {

inline constexpr size_t kBytesPerLine = 16;
inline constexpr size_t kHalfLine = kBytesPerLine / 2;
inline constexpr size_t kWordBytes = 4;
inline constexpr uint32_t kBitsPerByte = 8;

std::string Hex8(uint8_t value) {
    char text[4];
    std::snprintf(text, sizeof text, "%02x", value);
    return text;
}

}  // namespace

std::string Hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string HexDump(uint32_t address, std::span<const uint8_t> bytes) {
    std::string out;
    for (size_t line = 0; line < bytes.size(); line += kBytesPerLine) {
        const auto row = bytes.subspan(line, std::min(kBytesPerLine, bytes.size() - line));
        out += Hex32(address + static_cast<uint32_t>(line)) + " ";
        std::string text;
        for (size_t i = 0; i < kBytesPerLine; ++i) {
            out += (i == kHalfLine) ? "  " : " ";
            out += i < row.size() ? Hex8(row[i]) : "  ";
            if (i < row.size()) text += std::isprint(row[i]) ? static_cast<char>(row[i]) : '.';
        }
        out += "  |" + text + "|\n";
    }
    return out;
}

std::string WordDump(uint32_t address, std::span<const uint8_t> bytes) {
    std::string out;
    for (size_t line = 0; line < bytes.size(); line += kBytesPerLine) {
        const auto row = bytes.subspan(line, std::min(kBytesPerLine, bytes.size() - line));
        out += Hex32(address + static_cast<uint32_t>(line)) + " ";
        size_t i = 0;
        for (; i + kWordBytes <= row.size(); i += kWordBytes) {
            uint32_t word = 0;
            for (size_t b = 0; b < kWordBytes; ++b) word |= uint32_t{row[i + b]} << (kBitsPerByte * b);
            char text[12];
            std::snprintf(text, sizeof text, " %08x", word);
            out += text;
        }
        for (; i < row.size(); ++i) out += " " + Hex8(row[i]);
        out += '\n';
    }
    return out;
}

}  // namespace cm3tools::cli
