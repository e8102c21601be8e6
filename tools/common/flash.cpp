#include "flash.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <set>
#include <vector>

#include "results.h"
#include "transfer.h"

namespace cm3tools::flash {
namespace {

inline constexpr uint32_t kWordSizeCode = 2;  // DebugReadMem/DebugWriteMem size for a word
inline constexpr uint32_t kAllOnes = 0xFFFFFFFF;
inline constexpr uint32_t kBitsPerByte = 8;
inline constexpr uint32_t kByteMask = 0xFF;
inline constexpr uint64_t kAddressSpace = uint64_t{1} << 32;

// FMA, FMD and FMC lie one word apart: one block write loads all three, and
// the command goes last because the FMC write starts it.
static_assert(fmd::kAddress == fma::kAddress + kWordSize && fmc::kAddress == fmd::kAddress + kWordSize);
inline constexpr uint32_t kCommandBlockBytes = 3 * kWordSize;

constexpr uint32_t PageOf(uint32_t address) { return address & ~(kPageSize - 1); }
static_assert(PageOf(0x7FF) == 0x400 && PageOf(0x800) == 0x800);

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

Status Failed(DebugResult result, uint32_t address, const std::string& what) {
    return Status{result, address, DescribeFailure(what + " at " + Hex(address), result)};
}

void PutWord(uint8_t* out, uint32_t value) {
    for (uint32_t i = 0; i < kWordSize; ++i) out[i] = static_cast<uint8_t>(value >> (kBitsPerByte * i));
}

// Waits for the controller to drop `command` in FMC.
Status Await(uint32_t command, uint32_t pollLimit, uint32_t address, const char* what) {
    for (uint32_t poll = 0; poll < pollLimit; ++poll) {
        uint32_t value = 0;
        const DebugResult result = DebugReadMem(fmc::kAddress, &value, kWordSizeCode);
        if (result != DBG_OK) return Failed(result, address, std::string("reading FMC while ") + what);
        if ((value & command) == 0) return Status{};
    }
    return Status{DBG_TIMEOUT, address,
                  std::string("the flash controller did not finish ") + what + " at " + Hex(address) + " within " +
                      std::to_string(pollLimit) + " polls"};
}

Status Command(uint32_t address, uint32_t command, uint32_t pollLimit, const char* what) {
    DebugResult result = DebugWriteMem(fma::kAddress, address, kWordSizeCode);
    if (result == DBG_OK) result = DebugWriteMem(fmc::kAddress, fmc::kWriteKey | command, kWordSizeCode);
    if (result != DBG_OK) return Failed(result, address, std::string("starting ") + what);
    return Await(command, pollLimit, address, what);
}

bool Fits(uint32_t address, uint64_t length) { return address + length <= kAddressSpace; }

Status OutOfRange(uint32_t address) {
    return Status{DBG_BAD_PARAMETER, address, "the range at " + Hex(address) + " runs past the 4 GB address space"};
}

// Runs `progress` with an offset and a total of the caller's choosing, so
// steps of one operation share a bar.
Progress Shifted(const Progress& progress, uint64_t offset, uint64_t total) {
    if (!progress) return {};
    return [progress, offset, total](uint64_t done, uint64_t) { progress(offset + done, total); };
}

Status ErasePages(const std::set<uint32_t>& pages, const Progress& progress) {
    uint64_t done = 0;
    const uint64_t total = uint64_t{pages.size()} * kPageSize;
    for (uint32_t page : pages) {
        Status status = Command(page, fmc::kErase, kErasePollLimit, "erasing the page");
        if (!status.ok()) return status;
        done += kPageSize;
        if (progress) progress(done, total);
    }
    return Status{};
}

void AddPages(uint32_t address, uint64_t length, std::set<uint32_t>& pages) {
    if (length == 0) return;
    const uint64_t last = address + length - 1;
    for (uint64_t page = PageOf(address); page <= last; page += kPageSize) pages.insert(static_cast<uint32_t>(page));
}

}  // namespace

Status Erase(uint32_t address, uint32_t length, const Progress& progress) {
    if (!Fits(address, length)) return OutOfRange(address);
    std::set<uint32_t> pages;
    AddPages(address, length, pages);
    return ErasePages(pages, progress);
}

Status MassErase(const Progress& progress) {
    if (progress) progress(0, 1);
    // FMA must point into flash for the controller to take the command.
    Status status = Command(0, fmc::kMassErase, kMassErasePollLimit, "erasing all of flash");
    if (status.ok() && progress) progress(1, 1);
    return status;
}

Status Program(uint32_t address, std::span<const uint8_t> bytes, const Progress& progress) {
    if (!Fits(address, bytes.size())) return OutOfRange(address);
    const uint64_t end = address + uint64_t{bytes.size()};
    uint64_t reported = 0;
    for (uint64_t word = address & ~uint64_t{kWordSize - 1}; word < end; word += kWordSize) {
        uint32_t value = kAllOnes;
        for (uint32_t lane = 0; lane < kWordSize; ++lane) {
            const uint64_t at = word + lane;
            if (at < address || at >= end) continue;
            const uint32_t shift = kBitsPerByte * lane;
            value = (value & ~(kByteMask << shift)) | (uint32_t{bytes[at - address]} << shift);
        }
        const uint32_t wordAddress = static_cast<uint32_t>(word);
        if (value != kAllOnes) {
            std::array<uint8_t, kCommandBlockBytes> block{};
            PutWord(&block[0], wordAddress);
            PutWord(&block[kWordSize], value);
            PutWord(&block[2 * kWordSize], fmc::kWriteKey | fmc::kWrite);
            const DebugResult result = DebugWriteBlock(fma::kAddress, block.data(), kCommandBlockBytes);
            if (result != DBG_OK) return Failed(result, wordAddress, "programming the flash word");
            Status status = Await(fmc::kWrite, kProgramPollLimit, wordAddress, "programming the word");
            if (!status.ok()) return status;
        }
        const uint64_t done = std::min<uint64_t>(word + kWordSize, end) - address;
        if (progress && (done - reported >= kPageSize || done == bytes.size())) {
            progress(done, bytes.size());
            reported = done;
        }
    }
    return Status{};
}

Status Verify(uint32_t address, std::span<const uint8_t> bytes, const Progress& progress) {
    if (!Fits(address, bytes.size())) return OutOfRange(address);
    std::vector<uint8_t> readBack(bytes.size());
    try {
        ReadMemory(address, readBack, progress);
    } catch (const TargetError& error) {
        return Status{error.result, address, error.message};
    }
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (readBack[i] == bytes[i]) continue;
        const uint32_t at = address + static_cast<uint32_t>(i);
        char text[96];
        std::snprintf(text, sizeof text, "verify failed at 0x%08X: flash holds 0x%02X, the image 0x%02X", at,
                      readBack[i], bytes[i]);
        return Status{DBG_ERROR, at, text};
    }
    return Status{};
}

Status Write(std::span<const Piece> pieces, bool verify, const Progress& progress) {
    std::set<uint32_t> pages;
    uint64_t bytes = 0;
    for (const Piece& piece : pieces) {
        if (!Fits(piece.address, piece.bytes.size())) return OutOfRange(piece.address);
        AddPages(piece.address, piece.bytes.size(), pages);
        bytes += piece.bytes.size();
    }
    const uint64_t erased = uint64_t{pages.size()} * kPageSize;
    const uint64_t total = erased + bytes + (verify ? bytes : 0);
    Status status = ErasePages(pages, Shifted(progress, 0, total));
    uint64_t offset = erased;
    for (const Piece& piece : pieces) {
        if (!status.ok()) return status;
        status = Program(piece.address, piece.bytes, Shifted(progress, offset, total));
        offset += piece.bytes.size();
    }
    for (const Piece& piece : pieces) {
        if (!status.ok() || !verify) break;
        status = Verify(piece.address, piece.bytes, Shifted(progress, offset, total));
        offset += piece.bytes.size();
    }
    return status;
}

Status Write(uint32_t address, std::span<const uint8_t> bytes, bool verify, const Progress& progress) {
    const Piece piece{address, bytes};
    return Write(std::span<const Piece>(&piece, 1), verify, progress);
}

}  // namespace cm3tools::flash
