#include "run.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <ostream>
#include <thread>

#include "common/fault_catch.h"
#include "common/flash.h"
#include "format.h"
#include "common/image.h"
#include "common/results.h"
#include "common/semihosting.h"
#include "common/target_registers.h"
#include "common/transfer.h"

namespace cm3tools::cli {
namespace {

using Clock = std::chrono::steady_clock;
namespace sh = semihosting;

// Between two reads of a running core's state: often enough that console
// output keeps flowing, seldom enough to leave the probe to the target.
inline constexpr std::chrono::microseconds kPollInterval{200};
inline constexpr uint32_t kXpsrThumb = 1u << 24;    // EPSR.T: Thumb state, the only one the core has

// The library's exports on the process's connection.
sh::TargetAccess LibraryAccess() {
    return sh::TargetAccess{
        [](void*, uint32_t selector, uint32_t* value) { return DebugReadCoreRegister(selector, value); },
        [](void*, uint32_t selector, uint32_t value) { return DebugWriteCoreRegister(selector, value); },
        [](void*, uint32_t address, uint8_t* buffer, uint32_t count) { return DebugReadBlock(address, buffer, count); },
        [](void*, uint32_t address, const uint8_t* data, uint32_t count) {
            return DebugWriteBlock(address, data, count);
        },
        nullptr};
}

struct Console {
    Clock::time_point start = Clock::now();
};

void WriteConsole(void*, int stream, std::span<const char> bytes) {
    std::FILE* to = stream == 2 ? stderr : stdout;
    std::fwrite(bytes.data(), 1, bytes.size(), to);
    std::fflush(to);
}

size_t ReadConsole(void*, std::span<char> buffer) {
    while (true) {
        const ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        return n < 0 ? 0 : static_cast<size_t>(n);
    }
}

uint64_t Centiseconds(void* context) {
    const auto since = Clock::now() - static_cast<Console*>(context)->start;
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count() / 10);
}

uint64_t UnixSeconds(void*) { return static_cast<uint64_t>(std::time(nullptr)); }

// Puts the image where it runs: flash through the controller, RAM directly.
void PlaceImage(const Image& image, bool noFlash) {
    std::vector<flash::Piece> pieces;
    for (const Segment& segment : image.segments) {
        if (segment.address < memory_map::kSramBase) {
            if (!noFlash) pieces.push_back(flash::Piece{segment.address, segment.bytes});
        } else {
            WriteMemory(segment.address, segment.bytes);
        }
    }
    if (pieces.empty()) return;
    const flash::Status status = flash::Write(pieces, true);
    if (!status.ok()) throw TargetError{status.result, status.message};
}

std::string CommandLine(const RunOptions& options) {
    std::string line = options.file;
    for (const std::string& argument : options.arguments) line += " " + argument;
    return line;
}

}  // namespace

int RunFirmware(const GlobalOptions& global, const RunOptions& options, std::ostream& notes) {
    const bool elf = IsElfFile(options.file);
    const Image image = LoadImage(options.file, elf ? std::nullopt : std::optional(memory_map::kFlashBase));
    std::unique_ptr<Session> session;
    try {
        session = Session::Open(global, notes);
        Check(DebugHaltCore(), "DebugHaltCore");
        PlaceImage(image, options.noFlash);
        // The reset takes the stack pointer and reset vector from the new image.
        Check(DebugSystemReset(), "DebugSystemReset");
        // An image wholly in RAM starts at its entry point.
        const bool inRam = !image.segments.empty() && image.segments.front().address >= memory_map::kSramBase;
        if (inRam && image.entry) {
            // The reset took its vectors from flash: the image's own table
            // gives the stack, its entry point the start, in Thumb state.
            const std::vector<uint8_t>& first = image.segments.front().bytes;
            if (first.size() >= sizeof(uint32_t)) {
                const uint32_t sp = uint32_t{first[0]} | uint32_t{first[1]} << 8 | uint32_t{first[2]} << 16 |
                                    uint32_t{first[3]} << 24;
                Check(DebugWriteCoreRegister(regsel::kMsp, sp), "msp");
            }
            Check(DebugWriteCoreRegister(regsel::kXpsr, kXpsrThumb), "xpsr");
            Check(DebugWriteCoreRegister(regsel::kPc, *image.entry & ~kThumbBit), "pc");
        }
    } catch (const TargetError& error) {
        notes << "cm3probe: " << error.message << '\n';
        return run_exit::kProbe;
    } catch (const AdapterError& error) {
        notes << "cm3probe: " << error.what() << '\n';
        return run_exit::kProbe;
    }

    Console console;
    sh::Hooks hooks{WriteConsole, ReadConsole, Centiseconds, UnixSeconds, &console, options.fileRoot,
                    CommandLine(options), memory_map::kSramBase + memory_map::kSramSize};
    sh::State state;
    const sh::TargetAccess access = LibraryAccess();
    const WordAccess words = LibraryWords();
    // No --timeout: no deadline.
    const Clock::time_point deadline =
        options.timeoutSeconds ? Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                    std::chrono::duration<double>(*options.timeoutSeconds))
                               : Clock::time_point::max();
    auto probeFailure = [&](DebugResult result, std::string_view what) {
        notes << "cm3probe: run: " << DescribeFailure(what, result) << '\n';
        return run_exit::kProbe;
    };

    uint32_t dhcsr = 0;
    DebugResult result = ResumeWithFaultCatch(words, &dhcsr);
    if (result != DBG_OK) return probeFailure(result, "resume");
    while (true) {
        if ((dhcsr & dhcsr::kSLockup) != 0) {
            (void)DebugHaltCore();  // stopped where it locked up, for whoever looks next
            notes << "cm3probe: run: the core locked up (a fault it could not take)\n";
            return run_exit::kFault;
        }
        if ((dhcsr & dhcsr::kSHalt) == 0) {
            if (Clock::now() >= deadline) {
                (void)DebugHaltCore();
                notes << "cm3probe: run: timed out after " << *options.timeoutSeconds << " s; the core is halted\n";
                return run_exit::kTimeout;
            }
            std::this_thread::sleep_for(kPollInterval);
            result = DebugGetCoreState(&dhcsr);
            if (result != DBG_OK) return probeFailure(result, "DebugGetCoreState");
            continue;
        }
        bool call = false;
        if (options.semihosting) {
            call = sh::AtSemihostingCall(access, result);
            if (result != DBG_OK) return probeFailure(result, "reading the halted instruction");
        }
        if (!call) {
            uint32_t status = 0;
            uint32_t pc = 0;
            (void)words.read(words.context, dfsr::kAddress, &status);
            (void)DebugReadCoreRegister(regsel::kPc, &pc);
            const bool semihostingCall = !options.semihosting && sh::AtSemihostingCall(access, result);
            notes << "cm3probe: run: the core halted at pc " << Hex32(pc) << " ("
                  << (CaughtFault(status)      ? "a fault or reset was caught"
                      : semihostingCall        ? "a semihosting call; run with --semihosting to serve it"
                                               : "a breakpoint or debug request")
                  << ", DFSR " << Hex32(status) << ")\n";
            return run_exit::kFault;
        }
        const sh::Outcome outcome = sh::ServeSemihostingCall(access, state, hooks);
        if (outcome.kind == sh::Outcome::Kind::kProbeFailure) return probeFailure(outcome.failure, "semihosting");
        if (outcome.kind == sh::Outcome::Kind::kExit) return outcome.exitCode;
        result = ResumeWithFaultCatch(words, &dhcsr);
        if (result != DBG_OK) return probeFailure(result, "resume");
    }
}

}  // namespace cm3tools::cli
