#include "flash.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <set>
#include <vector>

#include "flash_loader.h"
#include "results.h"
#include "run_control.h"
#include "target_registers.h"
#include "transfer.h"

namespace cm3tools::flash {
namespace {

inline constexpr uint32_t kWordSizeCode = 2;  // DebugReadMem/DebugWriteMem size for a word
inline constexpr uint32_t kAllOnes = 0xFFFFFFFF;
using loader::kBitsPerByte;
using loader::kByteMask;
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

// The words Program writes: whole words over the caller's bytes, the bytes
// outside them all-ones so they program nothing.
struct Words {
    uint32_t address = 0;  // the caller's first byte
    uint64_t end = 0;      // one past the caller's last byte
    uint32_t first = 0;    // the first word's address
    std::vector<uint32_t> values;

    uint32_t addressOf(size_t index) const { return first + static_cast<uint32_t>(kWordSize * index); }
    // The caller's bytes covered by the first `count` words.
    uint64_t done(size_t count) const {
        if (count == 0) return 0;
        return std::min<uint64_t>(first + uint64_t{kWordSize} * count, end) - address;
    }
};

Words ToWords(uint32_t address, std::span<const uint8_t> bytes) {
    Words words;
    words.address = address;
    words.end = address + uint64_t{bytes.size()};
    words.first = address & ~(kWordSize - 1);
    for (uint64_t word = words.first; word < words.end; word += kWordSize) {
        uint32_t value = kAllOnes;
        for (uint32_t lane = 0; lane < kWordSize; ++lane) {
            const uint64_t at = word + lane;
            if (at < address || at >= words.end) continue;
            const uint32_t shift = kBitsPerByte * lane;
            value = (value & ~(kByteMask << shift)) | (uint32_t{bytes[at - address]} << shift);
        }
        words.values.push_back(value);
    }
    return words;
}

// Programs words[from..] one controller command at a time from the host.
Status ProgramDirect(const Words& words, size_t from, const Progress& progress) {
    const uint64_t total = words.end - words.address;
    uint64_t reported = words.done(from);
    for (size_t index = from; index < words.values.size(); ++index) {
        const uint32_t value = words.values[index];
        const uint32_t wordAddress = words.addressOf(index);
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
        const uint64_t done = words.done(index + 1);
        if (progress && (done - reported >= kPageSize || done == total)) {
            progress(done, total);
            reported = done;
        }
    }
    return Status{};
}

// --- the loader in SRAM ------------------------------------------------------

// Below this many words to program, saving and restoring the core and SRAM
// costs more round trips than the host's four per word.
inline constexpr uint64_t kLoaderMinimumWords = 64;

namespace work_area = loader::work_area;
namespace slots = loader::slots;
namespace header = loader::header;
namespace debug_control = loader::debug_control;
namespace xpsr = loader::xpsr;

inline constexpr uint32_t kControllerBusy = fmc::kWrite | fmc::kErase | fmc::kMassErase;

// Host polls of DHCSR per run: a base that covers the loader's own poll
// budget on one word, and more per word. Generous, since on the simulator the
// target's clock moves only with the wire.
inline constexpr uint64_t kRunPollsBase = 8'192;
inline constexpr uint64_t kRunPollsPerWord = 64;

constexpr uint32_t Regsel(uint16_t reg) { return regsel::kR0 + reg; }

// What the loader disturbs, in the order it is put back: the mode (xPSR)
// and CONTROL first, since they decide which stack pointer is which.
inline constexpr auto kSavedRegisters = std::to_array<uint32_t>({
    regsel::kXpsr,
    regsel::kSpecial,
    regsel::kMsp,
    regsel::kPsp,
    Regsel(loader::kR0),
    Regsel(loader::kR1),
    Regsel(loader::kR2),
    Regsel(loader::kR3),
    Regsel(loader::kR4),
    Regsel(loader::kR5),
    Regsel(loader::kR6),
    Regsel(loader::kR7),
    regsel::kLr,
    regsel::kPc,
});
inline constexpr size_t kSavedXpsr = 0;
static_assert(kSavedRegisters[kSavedXpsr] == regsel::kXpsr);
static_assert(loader::kRegistersUsed == loader::kR7 + 1, "every register the loader uses is saved");

// A window of at most one slot's words with its all-ones ends trimmed.
struct Run {
    size_t index = 0;     // first word
    uint32_t count = 0;
    size_t windowEnd = 0;  // the window's end, for progress
};

std::vector<Run> SplitRuns(const Words& words) {
    std::vector<Run> runs;
    for (size_t window = 0; window < words.values.size(); window += slots::kWords) {
        const size_t windowEnd = std::min<size_t>(window + slots::kWords, words.values.size());
        size_t from = window;
        size_t to = windowEnd;
        while (from < to && words.values[from] == kAllOnes) ++from;
        while (to > from && words.values[to - 1] == kAllOnes) --to;
        if (from < to) runs.push_back(Run{from, static_cast<uint32_t>(to - from), windowEnd});
    }
    return runs;
}

bool ReadSram(uint32_t address, std::span<uint8_t> out) {
    try {
        ReadMemory(address, out);
        return true;
    } catch (const TargetError&) {
        return false;
    }
}

bool WriteSram(uint32_t address, std::span<const uint8_t> data) {
    try {
        WriteMemory(address, data);
        return true;
    } catch (const TargetError&) {
        return false;
    }
}

// The loader's session: begin() saves what it will disturb and loads the
// routine; load() fills a slot, which may happen while the other slot's run
// goes on; start() and finish() run one slot; end() puts everything back.
class SramLoader {
public:
    struct Outcome {
        bool done = false;
        size_t programmed = 0;  // words of the run known to be programmed
        std::string why;        // when not done
    };

    // False when this target cannot run the loader here (call end() still).
    bool begin(uint32_t longestRun, uint32_t slotsUsed) {
        uint32_t state = 0;
        if (DebugGetCoreState(&state) != DBG_OK || (state & dhcsr::kSHalt) == 0) return false;
        dhcsr_ = state;
        // A controller that does not answer or is busy is the host's to report.
        uint32_t command = 0;
        if (DebugReadMem(fmc::kAddress, &command, kWordSizeCode) != DBG_OK || (command & kControllerBusy) != 0) {
            return false;
        }
        code_.resize(work_area::kCodeAreaBytes);
        slots_.resize(size_t{slotsUsed - 1} * slots::kBytes + header::kBytes + size_t{longestRun} * kWordSize);
        if (!ReadSram(work_area::kBase, code_) || !ReadSram(slots::kFirst, slots_)) return false;
        sramSaved_ = true;
        std::array<uint8_t, loader::kImageBytes> check{};
        if (DebugWriteBlock(work_area::kBase, loader::kImage.data(), loader::kImageBytes) != DBG_OK ||
            DebugReadBlock(work_area::kBase, check.data(), loader::kImageBytes) != DBG_OK || check != loader::kImage) {
            return false;
        }
        if (DebugReadMem(demcr::kAddress, &demcr_, kWordSizeCode) != DBG_OK ||
            DebugReadMem(dfsr::kAddress, &dfsr_, kWordSizeCode) != DBG_OK) {
            return false;
        }
        debugSaved_ = true;
        for (size_t i = 0; i < kSavedRegisters.size(); ++i) {
            if (DebugReadCoreRegister(kSavedRegisters[i], &registers_[i]) != DBG_OK) return false;
        }
        registersSaved_ = true;
        // Firmware interrupts stay out while the loader runs; the mode stays
        // as it was, so the stack pointer written is the active one.
        const uint32_t masked = debug_control::kKey | dhcsr::kCDebugEn | dhcsr::kCHalt | debug_control::kCMaskInts;
        return DebugWriteMem(dhcsr::kAddress, masked, kWordSizeCode) == DBG_OK &&
               DebugWriteCoreRegister(regsel::kXpsr, (registers_[kSavedXpsr] & xpsr::kExceptionMask) | xpsr::kThumb) ==
                   DBG_OK &&
               DebugWriteCoreRegister(regsel::kSp, work_area::kStackTop) == DBG_OK;
    }

    // One block write: the header, its outcome words marked not run, and the words.
    bool load(uint32_t slot, uint32_t address, const uint32_t* values, uint32_t count) {
        std::vector<uint8_t> bytes(header::kBytes + size_t{count} * kWordSize);
        PutWord(&bytes[header::kAddress], address);
        PutWord(&bytes[header::kCount], count);
        PutWord(&bytes[header::kResult], loader::kNotRun);
        PutWord(&bytes[header::kReached], address);
        for (uint32_t i = 0; i < count; ++i) PutWord(&bytes[header::kBytes + size_t{i} * kWordSize], values[i]);
        return WriteSram(slots::Address(slot), bytes);
    }

    // Lets the core run the loaded slot, with the C_MASKINTS set while
    // halted; false when the PC could not be set (the core stays halted). A
    // resume that reports a failure may still have started the core: finish()
    // asks its state either way.
    bool start(uint32_t slot) {
        started_ = DebugWriteCoreRegister(regsel::kPc, work_area::kBase + loader::kEntryOffsets[slot]);
        if (started_ != DBG_OK) return false;
        uint32_t state = 0;
        started_ = run_control::Release(debug_control::kCMaskInts, &state);
        return true;
    }

    // Waits for the run in `slot` to halt and reads what it did.
    Outcome finish(uint32_t slot, uint32_t address, uint32_t count) {
        const uint64_t pollLimit = kRunPollsBase + kRunPollsPerWord * count;
        uint32_t state = 0;
        const DebugResult stateResult = run_control::AwaitHaltOrLockup(pollLimit, &state);
        const bool halted = stateResult == DBG_OK && (state & dhcsr::kSHalt) != 0;
        if (!halted && DebugHaltCore() != DBG_OK) return Outcome{false, 0, "the core did not halt after the loader"};
        uint32_t result = 0;
        uint32_t reached = 0;
        const uint32_t at = slots::Address(slot);
        if (DebugReadMem(at + header::kResult, &result, kWordSizeCode) != DBG_OK ||
            DebugReadMem(at + header::kReached, &reached, kWordSizeCode) != DBG_OK) {
            return Outcome{false, 0, "reading the loader's outcome failed"};
        }
        Outcome outcome;
        // The loader moves its address on only once a word is done.
        const uint64_t offset = uint64_t{reached} - address;
        if (reached >= address && offset <= uint64_t{count} * kWordSize && offset % kWordSize == 0) {
            outcome.programmed = offset / kWordSize;
        }
        // Only the routine's own end writes the outcome, right before its BKPT.
        if (halted && result == loader::kDone && outcome.programmed == count) {
            outcome.done = true;
            return outcome;
        }
        if (halted && result == loader::kTimedOut) {
            outcome.why = "the flash controller did not finish the word at " + Hex(reached);
            return outcome;
        }
        if (stateResult != DBG_OK) {
            outcome.why = DescribeFailure("DebugGetCoreState", stateResult);
            return outcome;
        }
        uint32_t pc = 0;
        const bool pcRead = DebugReadCoreRegister(regsel::kPc, &pc) == DBG_OK;
        const std::string where = pcRead ? Hex(pc) : std::string("an unknown address");
        if ((state & dhcsr::kSLockup) != 0) {
            outcome.why = "the core locked up at " + where;
        } else if (!halted) {
            outcome.why = "it did not halt within " + std::to_string(pollLimit) + " polls";
            if (started_ != DBG_OK) outcome.why += " (starting it: " + std::string(ResultName(started_)) + ")";
        } else {
            outcome.why = "it halted at " + where + ", not on its own BKPT";
        }
        return outcome;
    }

    // Puts back what begin() saved; the first failure, if any.
    Status end() {
        Status status;
        const auto note = [&status](DebugResult result, uint32_t address, const char* what) {
            if (result != DBG_OK && status.ok()) status = Failed(result, address, what);
        };
        if (registersSaved_) {
            for (size_t i = 0; i < kSavedRegisters.size(); ++i) {
                note(DebugWriteCoreRegister(kSavedRegisters[i], registers_[i]), work_area::kBase,
                     "restoring a core register after the flash loader");
            }
        }
        if (debugSaved_) {
            const uint32_t control =
                debug_control::kKey | (dhcsr_ & debug_control::kControlBits) | dhcsr::kCDebugEn | dhcsr::kCHalt;
            note(DebugWriteMem(dhcsr::kAddress, control, kWordSizeCode), dhcsr::kAddress, "restoring DHCSR");
            note(DebugWriteMem(demcr::kAddress, demcr_, kWordSizeCode), demcr::kAddress, "restoring DEMCR");
            // Write-one-to-clear: drop the halt reasons the loader added.
            uint32_t reasons = 0;
            const DebugResult read = DebugReadMem(dfsr::kAddress, &reasons, kWordSizeCode);
            note(read, dfsr::kAddress, "restoring DFSR (reading it)");
            const uint32_t added = reasons & ~dfsr_ & dfsr::kAll;
            if (read == DBG_OK && added != 0) {
                note(DebugWriteMem(dfsr::kAddress, added, kWordSizeCode), dfsr::kAddress, "restoring DFSR");
            }
        }
        if (sramSaved_) {
            if (!WriteSram(work_area::kBase, code_)) {
                note(DBG_ERROR, work_area::kBase, "restoring SRAM after the flash loader");
            }
            if (!WriteSram(slots::kFirst, slots_)) {
                note(DBG_ERROR, slots::kFirst, "restoring SRAM after the flash loader");
            }
        }
        sramSaved_ = debugSaved_ = registersSaved_ = false;
        return status;
    }

private:
    uint32_t dhcsr_ = 0;
    uint32_t demcr_ = 0;
    uint32_t dfsr_ = 0;
    std::array<uint32_t, kSavedRegisters.size()> registers_{};
    std::vector<uint8_t> code_;
    std::vector<uint8_t> slots_;
    DebugResult started_ = DBG_OK;
    bool sramSaved_ = false;
    bool debugSaved_ = false;
    bool registersSaved_ = false;
};

// Runs the loader over `runs`, each run's words loaded into one slot while
// the run before it programs from the other. Returns the index of the first
// word not known to be programmed (words.values.size() when all are) and,
// when the loader stopped early, why.
size_t RunLoader(SramLoader& sram, const Words& words, const std::vector<Run>& runs, const Progress& progress,
                 std::string& why) {
    const auto load = [&](size_t i) {
        const Run& run = runs[i];
        return sram.load(static_cast<uint32_t>(i % slots::kCount), words.addressOf(run.index),
                         &words.values[run.index], run.count);
    };
    const uint64_t total = words.end - words.address;
    if (!load(0)) {
        why = "writing the words to SRAM failed";
        return runs.front().index;
    }
    for (size_t i = 0; i < runs.size(); ++i) {
        const Run& run = runs[i];
        const auto slot = static_cast<uint32_t>(i % slots::kCount);
        if (!sram.start(slot)) {
            why = "setting the loader's PC failed";
            return run.index;
        }
        const bool nextLoaded = i + 1 == runs.size() || load(i + 1);
        const SramLoader::Outcome outcome = sram.finish(slot, words.addressOf(run.index), run.count);
        if (!outcome.done) {
            why = outcome.why;
            return run.index + outcome.programmed;
        }
        if (progress) progress(words.done(run.windowEnd), total);
        if (!nextLoaded) {
            why = "writing the words to SRAM failed";
            return runs[i + 1].index;
        }
    }
    return words.values.size();
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
    const Words words = ToWords(address, bytes);
    size_t next = 0;
    std::string loaderStop;
    const auto toProgram =
        std::count_if(words.values.begin(), words.values.end(), [](uint32_t value) { return value != kAllOnes; });
    if (static_cast<uint64_t>(toProgram) >= kLoaderMinimumWords) {
        const std::vector<Run> runs = SplitRuns(words);
        uint32_t longest = 0;
        for (const Run& run : runs) longest = std::max(longest, run.count);
        SramLoader sram;
        bool finished = false;
        const auto slotsUsed = static_cast<uint32_t>(std::min<size_t>(runs.size(), slots::kCount));
        if (sram.begin(longest, slotsUsed)) {
            next = RunLoader(sram, words, runs, progress, loaderStop);
            finished = next == words.values.size();
            // Windows left all erased had nothing to run.
            if (finished && progress && runs.back().windowEnd < words.values.size()) {
                progress(bytes.size(), bytes.size());
            }
        }
        Status restored = sram.end();
        if (!restored.ok()) return restored;
        if (finished) return Status{};
    }
    Status status = ProgramDirect(words, next, progress);
    if (!status.ok() && !loaderStop.empty()) {
        status.message += " (the SRAM loader had stopped first: " + loaderStop + ")";
    }
    return status;
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
