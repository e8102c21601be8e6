#include "demo.h"

#include <filesystem>
#include <vector>

#include "cm3probe.h"
#include "commands.h"
#include "common/core_registers.h"
#include "common/flash.h"
#include "common/image.h"
#include "common/results.h"
#include "common/target_registers.h"
#include "common/transfer.h"
#include "format.h"

// The firmware build hands its ELF file's path to those who link it.
#ifndef CM3PROBE_EXAMPLE_FIRMWARE
#define CM3PROBE_EXAMPLE_FIRMWARE ""
#endif

namespace cm3tools::cli {
namespace {

constexpr const char* kBreakFunction = "tick";
constexpr const char* kCounterSymbol = "counter";  // the example firmware's count in SRAM
constexpr double kRunSeconds = 3.0;

// Without the example firmware the demo flashes a counting loop of its own:
// a vector table and three Thumb instructions.
namespace stand_in {
inline constexpr uint32_t kInitialSp = 0x20001000;
inline constexpr uint32_t kCode = 0x40;
inline constexpr uint16_t kMovsR0Zero = 0x2000;  // movs r0, #0
inline constexpr uint16_t kAddsR0One = 0x3001;   // adds r0, #1
inline constexpr uint16_t kBranchBack = 0xE7FD;  // b.n to the adds
inline constexpr uint32_t kLoop = kCode + 2;     // the adds: where the breakpoint goes
inline constexpr uint32_t kByteBits = 8;

std::vector<uint8_t> Words(std::initializer_list<uint32_t> words) {
    std::vector<uint8_t> bytes;
    for (uint32_t word : words) {
        for (uint32_t shift = 0; shift < 4 * kByteBits; shift += kByteBits) bytes.push_back(uint8_t(word >> shift));
    }
    return bytes;
}

std::vector<uint8_t> Halfwords(std::initializer_list<uint16_t> halfwords) {
    std::vector<uint8_t> bytes;
    for (uint16_t halfword : halfwords) {
        bytes.push_back(uint8_t(halfword));
        bytes.push_back(uint8_t(halfword >> kByteBits));
    }
    return bytes;
}
}  // namespace stand_in
constexpr uint32_t kMemoryShown = 32;
constexpr int kRegistersPerRow = 4;
constexpr size_t kRegisterCell = 22;
constexpr uint32_t kWordSizeCode = 2;

class Narrator {
public:
    explicit Narrator(std::ostream& out) : out_(out) {}
    void step(const std::string& text) { out_ << '\n' << ++count_ << ". " << text << '\n'; }
    void say(const std::string& text) { out_ << "   " << text << '\n'; }
    std::ostream& raw() { return out_; }

private:
    std::ostream& out_;
    int count_ = 0;
};

void ShowRegisters(Narrator& narrator) {
    std::string line;
    int column = 0;
    for (const CoreRegister& reg : ListedRegisters()) {
        uint32_t value = 0;
        Check(DebugReadCoreRegister(reg.selector, &value), "DebugReadCoreRegister (" + std::string(reg.name) + ")");
        if (column % kRegistersPerRow != 0) line.resize(kRegisterCell * (column % kRegistersPerRow), ' ');
        line += std::string(reg.name) + " " + Hex32(value);
        if (++column % kRegistersPerRow == 0) {
            narrator.say(line);
            line.clear();
        }
    }
    if (!line.empty()) narrator.say(line);
}

void ShowMemory(Narrator& narrator, uint32_t address, uint32_t length) {
    std::vector<uint8_t> bytes(length);
    ReadMemory(address, bytes);
    const std::string dump = HexDump(address, bytes);
    size_t start = 0;
    while (start < dump.size()) {
        const size_t end = dump.find('\n', start);
        narrator.say(dump.substr(start, end - start));
        start = end + 1;
    }
}

std::string PcText() { return Hex32(ReadPc()); }

void Demo(const GlobalOptions& options, const std::string& firmware, Narrator& narrator, std::ostream& err) {
    narrator.raw() << "cm3probe demo: a debug session on the simulated Cortex-M3, narrated.\n";
    narrator.step("Open the virtual adapter \"" + options.adapter + "\" over " + (options.jtag ? "JTAG" : "SWD") +
                  " at " + std::to_string(options.clockHz) +
                  " Hz, power up the debug port and check the target (DebugOpen, DebugInit).");
    std::unique_ptr<Session> session = Session::Open(options, err);
    uint32_t id = 0;
    Check(DebugGetIDCode(&id), "DebugGetIDCode");
    uint32_t cpu = 0;
    Check(DebugReadMem(cpuid::kAddress, &cpu, kWordSizeCode), "DebugReadMem (CPUID)");
    narrator.say("IDCODE " + Hex32(id) + ", CPUID " + Hex32(cpu) + ", core " +
                 DescribeCoreState(session->coreState()));

    narrator.step("Halt the core (DebugHaltCore).");
    Check(DebugHaltCore(), "DebugHaltCore");
    session->refreshCoreState();
    narrator.say("halted at pc " + PcText());

    const bool haveFirmware = !firmware.empty() && std::filesystem::exists(firmware);
    narrator.step("Flash the example firmware through the flash controller (erase, program, verify).");
    std::vector<Segment> segments;
    std::optional<uint32_t> breakAt;
    std::string breakName;
    if (haveFirmware) {
        segments = LoadImage(firmware, std::nullopt).segments;
        breakAt = FindSymbol(firmware, kBreakFunction);
        breakName = std::string(kBreakFunction) + "()";
    } else {
        narrator.say(firmware.empty() ? "skipped: the example firmware was not built (no arm-none-eabi toolchain?)"
                                      : "skipped: " + firmware + " is not there");
        narrator.say("flashing a counting loop of our own instead (movs r0, #0; adds r0, #1; b.n back)");
        segments.push_back(Segment{memory_map::kFlashBase,
                                   stand_in::Words({stand_in::kInitialSp, stand_in::kCode | kThumbBit})});
        segments.push_back(Segment{stand_in::kCode, stand_in::Halfwords({stand_in::kMovsR0Zero, stand_in::kAddsR0One,
                                                                        stand_in::kBranchBack})});
        breakAt = stand_in::kLoop;
        breakName = "the loop's adds";
    }
    std::vector<flash::Piece> pieces;
    uint64_t total = 0;
    for (const Segment& segment : segments) {
        pieces.push_back(flash::Piece{segment.address, segment.bytes});
        total += segment.bytes.size();
    }
    const flash::Status status = flash::Write(pieces, true);
    if (!status.ok()) throw TargetError{status.result, status.message};
    narrator.say(std::to_string(total) + " bytes in " + std::to_string(segments.size()) + " segment(s), verified" +
                 (haveFirmware ? " (" + std::filesystem::path(firmware).filename().string() + ")" : ""));

    narrator.step("Reset the system; the debugger's vector catch stops the core at the reset vector "
                  "(DebugSystemReset).");
    Check(DebugSystemReset(), "DebugSystemReset");
    session->refreshCoreState();
    if (!session->halted()) {
        Check(DebugHaltCore(), "DebugHaltCore");
        session->refreshCoreState();
    }
    narrator.say("core " + DescribeCoreState(session->coreState()) + ", pc " + PcText());

    // What the program counts in: the firmware's counter in SRAM, or r0 of our own loop.
    const auto counter = haveFirmware ? FindSymbol(firmware, kCounterSymbol) : std::nullopt;
    auto count = [&]() -> std::string {
        uint32_t value = 0;
        if (counter) {
            Check(DebugReadMem(*counter, &value, kWordSizeCode), "DebugReadMem (counter)");
            return std::string(kCounterSymbol) + " = " + std::to_string(value);
        }
        Check(DebugReadCoreRegister(regsel::kR0, &value), "DebugReadCoreRegister (r0)");
        return "r0 = " + std::to_string(value);
    };

    narrator.step("Run to a breakpoint on " + (breakAt ? breakName : std::string(kBreakFunction) + "()") +
                  " (DebugSetBreakpoint, DebugStartCore).");
    bool stopped = false;
    const uint32_t address = breakAt.value_or(0) & ~kThumbBit;
    if (!breakAt) {
        narrator.say(std::string("skipped: the firmware has no ") + kBreakFunction + "() function");
    } else {
        Check(DebugSetBreakpoint(address), "DebugSetBreakpoint");
        narrator.say("breakpoint at " + Hex32(address));
        Check(DebugStartCore(), "DebugStartCore");
        stopped = WaitForHalt(*session, kRunSeconds);
        if (stopped) {
            narrator.say("stopped at pc " + PcText() + ", " + count());
        } else {
            Check(DebugHaltCore(), "DebugHaltCore");
            session->refreshCoreState();
            narrator.say("the core did not reach it within " + std::to_string(static_cast<int>(kRunSeconds)) +
                         " s; halted at pc " + PcText());
        }
    }
    if (stopped) {
        narrator.step("Once more round the loop: step off the breakpoint, run, stop at it again.");
        Check(DebugClearBreakpoint(address), "DebugClearBreakpoint");
        Check(DebugStepCore(), "DebugStepCore");
        Check(DebugSetBreakpoint(address), "DebugSetBreakpoint");
        Check(DebugStartCore(), "DebugStartCore");
        if (!WaitForHalt(*session, kRunSeconds)) {
            throw TargetError{DBG_TIMEOUT, "the core did not come back to the breakpoint"};
        }
        narrator.say("stopped at pc " + PcText() + ", " + count());
    }
    if (breakAt) Check(DebugClearBreakpoint(address), "DebugClearBreakpoint");

    narrator.step("The core registers (DebugReadCoreRegister).");
    ShowRegisters(narrator);

    narrator.step("Memory: the start of SRAM (DebugReadBlock).");
    ShowMemory(narrator, memory_map::kSramBase, kMemoryShown);
    if (counter) narrator.say(count() + " at " + Hex32(*counter));

    narrator.step("Step one instruction (DebugStepCore).");
    const std::string before = PcText();
    Check(DebugStepCore(), "DebugStepCore");
    narrator.say("pc " + before + " -> " + PcText());

    narrator.step("Reset the core (DebugCoreReset) and close the connection (DebugClose).");
    Check(DebugCoreReset(), "DebugCoreReset");
    session->refreshCoreState();
    narrator.say("core " + DescribeCoreState(session->coreState()) +
                 (session->halted() ? ", pc " + PcText() : std::string()));
    session->close();
    narrator.raw() << "\nDone. Try 'cm3probe --sim shell' to drive the simulated target yourself.\n";
}

}  // namespace

std::string DefaultDemoFirmware() { return CM3PROBE_EXAMPLE_FIRMWARE; }

int RunDemo(GlobalOptions options, const std::string& firmware, std::ostream& out, std::ostream& err) {
    // The demo is the simulator's: never a real board by accident.
    options.sim = true;
    Narrator narrator(out);
    try {
        Demo(options, firmware, narrator, err);
    } catch (const TargetError& error) {
        out << std::flush;
        err << "cm3probe: demo stopped: " << error.message << '\n';
        return exit_code::kTargetFailure;
    } catch (const ImageError& error) {
        err << "cm3probe: demo stopped: " << error.what() << '\n';
        return exit_code::kUsage;
    }
    return exit_code::kSuccess;
}

}  // namespace cm3tools::cli
