#include "commands.h"

#include <CLI/CLI.hpp>
#include <array>
#include <chrono>
#include <fstream>

#include "cm3probe.h"
#include "common/core_registers.h"
#include "common/flash.h"
#include "common/image.h"
#include "common/numbers.h"
#include "common/progress.h"
#include "common/results.h"
#include "common/target_registers.h"
#include "common/transfer.h"
#include "format.h"

namespace cm3tools::cli {
namespace {

namespace size_code {
inline constexpr uint32_t kByte = 0;
inline constexpr uint32_t kHalfword = 1;
inline constexpr uint32_t kWord = 2;
}  // namespace size_code

struct AccessSize {
    uint32_t bits;
    uint32_t code;
    uint32_t bytes;
};
inline constexpr std::array<AccessSize, 3> kAccessSizes{{
    {8, size_code::kByte, 1},
    {16, size_code::kHalfword, 2},
    {32, size_code::kWord, 4},
}};
inline constexpr uint32_t kDefaultAccessBits = 32;
inline constexpr double kDefaultWaitSeconds = 5.0;
inline constexpr uint64_t kAllBits = 0xFFFFFFFFull;
inline constexpr uint32_t kWordBytes = 4;
inline constexpr uint32_t kBitsPerByte = 8;
inline constexpr uint32_t kBitsPerWord = kWordBytes * kBitsPerByte;
inline constexpr size_t kRegisterColumn = 9;  // "special" and two spaces

// CoreSight components a Cortex-M3 ROM table points at, by address.
struct Component {
    uint32_t address;
    const char* name;
};
inline constexpr std::array<Component, 6> kKnownComponents{{
    {0xE000E000, "SCS"},
    {0xE0001000, "DWT"},
    {0xE0002000, "FPB"},
    {0xE0000000, "ITM"},
    {0xE0040000, "TPIU"},
    {0xE0041000, "ETM"},
}};

const char* ComponentName(uint32_t address) {
    for (const Component& component : kKnownComponents) {
        if (component.address == address) return component.name;
    }
    return "component";
}

uint32_t ReadWord(uint32_t address, const std::string& what) {
    uint32_t value = 0;
    Check(DebugReadMem(address, &value, size_code::kWord), "DebugReadMem (" + what + " at " + Hex32(address) + ")");
    return value;
}

uint32_t ReadRegister(uint32_t selector, std::string_view name) {
    uint32_t value = 0;
    Check(DebugReadCoreRegister(selector, &value), "DebugReadCoreRegister (" + std::string(name) + ")");
    return value;
}

// The core must be halted: halts it when asked, else says how.
void RequireHalted(Context& context, bool haltFirst, std::string_view what) {
    Session& session = context.target();
    if (session.halted()) return;
    if (haltFirst) {
        Check(DebugHaltCore(), "DebugHaltCore");
        session.refreshCoreState();
        return;
    }
    std::string advice = " (the core is " + DescribeCoreState(session.coreState()) + "; ";
    advice += context.inShell ? "'halt' first)" : "add --halt, or halt it with 'cm3probe halt')";
    throw TargetError{DBG_NOT_HALTED, DescribeFailure(what, DBG_NOT_HALTED) + advice};
}

uint32_t ParseOrRefuse(const std::string& option, const std::string& text) {
    const auto value = ParseU32(text);
    if (!value) throw CLI::ValidationError(option, "'" + text + "' is not a 32-bit number (decimal, 0x hex, 0b binary)");
    return *value;
}

// Numbers are checked while parsing, so a bad one is a usage error before
// anything reaches the target.
CLI::Option* AddNumber(CLI::App* command, const std::string& name, uint32_t& target, const std::string& help,
                       const std::string& typeName = "ADDRESS") {
    return command
        ->add_option_function<std::string>(
            name, [&target, name](const std::string& text) { target = ParseOrRefuse(name, text); }, help)
        ->type_name(typeName);
}

CLI::Option* AddOptionalNumber(CLI::App* command, const std::string& name, std::optional<uint32_t>& target,
                               const std::string& help) {
    return command
        ->add_option_function<std::string>(
            name, [&target, name](const std::string& text) { target = ParseOrRefuse(name, text); }, help)
        ->type_name("ADDRESS");
}

std::string Range(uint32_t address, uint64_t length) {
    return Hex32(address) + "-" + Hex32(static_cast<uint32_t>(address + length - 1));
}

// An address, or a symbol of the last ELF file loaded or flashed in this
// session; the Thumb bit of a function symbol is dropped.
uint32_t ResolveCodeAddress(const Context& context, const std::string& text) {
    if (const auto value = ParseU32(text)) return *value;
    if (context.symbolFile.empty()) {
        throw UsageError("'" + text + "' is not a number, and no ELF file was loaded or flashed for its symbols");
    }
    const auto symbol = FindSymbol(context.symbolFile, text);
    if (!symbol) throw UsageError("no symbol '" + text + "' in " + context.symbolFile);
    return *symbol & ~kThumbBit;
}

struct WatchRequest {
    WatchKind kind = WatchKind::kWrite;
    uint32_t size = kWordBytes;
};

// `watch`'s optional SIZE and access, in that order, either left out.
WatchRequest ParseWatchRequest(const std::vector<std::string>& words) {
    WatchRequest request;
    bool sized = false;
    bool kinded = false;
    for (const std::string& word : words) {
        if (!kinded && (word == "r" || word == "w" || word == "rw")) {
            request.kind = word == "r" ? WatchKind::kRead : word == "w" ? WatchKind::kWrite : WatchKind::kAccess;
            kinded = true;
            continue;
        }
        const auto size = ParseU32(word);
        if (sized || kinded || !size || *size == 0) {
            throw UsageError("watch: '" + word + "' is neither a SIZE (1 or more bytes) nor r, w or rw");
        }
        request.size = *size;
        sized = true;
    }
    return request;
}

std::string DescribeWatch(const Watch& watch) {
    const uint64_t end = uint64_t{watch.address} + watch.length - 1;
    return std::string("watchpoint (") + WatchKindName(watch.kind) + ") at " + Hex32(watch.address) + "-" +
           Hex32(static_cast<uint32_t>(end)) + ", " + std::to_string(watch.comparators.size()) + " DWT comparator" +
           (watch.comparators.size() == 1 ? "" : "s");
}

std::ofstream OpenOutput(const std::string& path) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) throw UsageError("cannot write " + path);
    return file;
}

// ---- the commands -----------------------------------------------------------

void Info(Context& context) {
    Session& session = context.target();
    const GlobalOptions& options = session.options();
    std::ostream& out = context.out;
    out << "adapter      \"" << options.adapter << "\"" << (UsingSimulator() ? " (simulator)" : "") << ", "
        << (options.jtag ? "JTAG" : "SWD") << " at " << options.clockHz << " Hz" << (options.batched ? ", batched" : "")
        << '\n';

    uint32_t id = 0;
    Check(DebugGetIDCode(&id), "DebugGetIDCode");
    const uint32_t designer = (id >> idcode::kDesignerShift) & idcode::kDesignerMask;
    out << "IDCODE       " << Hex32(id) << " (version " << (id >> idcode::kVersionShift) << ", part 0x" << std::hex
        << ((id >> idcode::kPartNoShift) & idcode::kPartNoMask) << std::dec << ", designer "
        << (designer == idcode::kDesignerArm ? "ARM" : "0x" + std::to_string(designer)) << ")\n";

    uint32_t deviceClass = 0, part = 0, revision = 0;
    Check(DebugGetDeviceInformation(&deviceClass, &part, &revision), "DebugGetDeviceInformation");
    char device[96];
    std::snprintf(device, sizeof device, "class 0x%02X, part 0x%02X, revision 0x%04X", deviceClass, part, revision);
    out << "device       " << device << '\n';

    const uint32_t cpu = ReadWord(cpuid::kAddress, "CPUID");
    const uint32_t implementer = (cpu >> cpuid::kImplementerShift) & cpuid::kByteMask;
    const uint32_t partNo = (cpu >> cpuid::kPartNoShift) & cpuid::kPartNoMask;
    const bool cortexM3 = implementer == cpuid::kImplementerArm && partNo == cpuid::kPartNoCortexM3;
    out << "CPUID        " << Hex32(cpu) << " (" << (cortexM3 ? "Cortex-M3" : "not a Cortex-M3") << " r"
        << ((cpu >> cpuid::kVariantShift) & cpuid::kNibbleMask) << "p" << (cpu & cpuid::kNibbleMask) << ")\n";

    // DebugInit checked the DP's power-up, the AP's IDR and BASE, and the ROM
    // table's component ID before it succeeded; read the table for the rest.
    uint32_t componentId = 0;
    for (uint32_t i = 0; i < rom_table::kComponentIdBytes; ++i) {
        const uint32_t byte =
            ReadWord(rom_table::kAddress + rom_table::kCidr0Offset + kWordBytes * i, "ROM table CIDR");
        componentId |= (byte & cpuid::kByteMask) << (kBitsPerByte * i);
    }
    const uint32_t memType = ReadWord(rom_table::kAddress + rom_table::kMemTypeOffset, "ROM table MEMTYPE");
    out << "checks       debug port powered up, AHB-AP found, ROM table at " << Hex32(rom_table::kAddress)
        << (componentId == rom_table::kRomTableComponentId ? " valid" : " UNEXPECTED") << " (CIDR "
        << Hex32(componentId) << ", " << ((memType & rom_table::kMemTypeSystemMemory) ? "" : "no ")
        << "system memory)\n";
    std::string components;
    for (uint32_t i = 0; i < rom_table::kMaxEntries; ++i) {
        const uint32_t entry = ReadWord(rom_table::kAddress + kWordBytes * i, "ROM table entry");
        if (entry == 0) break;
        const uint32_t address = rom_table::kAddress + (entry & rom_table::kOffsetMask);
        if (!components.empty()) components += ", ";
        components += std::string(ComponentName(address)) + " " + Hex32(address);
        if (!(entry & rom_table::kEntryPresent)) components += " (absent)";
    }
    out << "ROM table    " << components << '\n';

    const uint32_t state = session.refreshCoreState();
    out << "core         " << DescribeCoreState(state) << " (DHCSR " << Hex32(state) << ")\n";
}

}  // namespace

uint32_t ReadPc() { return ReadRegister(regsel::kPc, "pc"); }

void Resume(Context& context) {
    Session& session = context.target();
    session.refreshCoreState();
    if (session.halted()) {
        const uint32_t pc = ReadPc();
        if (context.breakpoints.count(pc) != 0) {
            Check(DebugClearBreakpoint(pc), "DebugClearBreakpoint");
            const DebugResult stepped = DebugStepCore();
            Check(DebugSetBreakpoint(pc), "DebugSetBreakpoint");
            Check(stepped, "DebugStepCore (off the breakpoint)");
        }
    }
    Check(DebugStartCore(), "DebugStartCore");
    session.refreshCoreState();
}

bool WaitForHalt(Session& session, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    do {
        if (session.refreshCoreState() & dhcsr::kSHalt) return true;
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

struct TargetCommands::Arguments {
    uint32_t address = 0;
    uint32_t length = 0;
    std::optional<uint32_t> imageAddress;
    std::string output;
    std::string input;
    std::string file;
    std::string name;
    std::string location;
    std::vector<std::string> values;
    std::string resetKind;
    uint32_t bits = kDefaultAccessBits;
    uint32_t count = 1;
    double seconds = kDefaultWaitSeconds;
    bool words = false;
    bool noVerify = false;
    bool halt = false;
    bool all = false;
};

struct TargetCommands::Entry {
    CLI::App* command;
    std::function<void(Context&)> run;
};

TargetCommands::~TargetCommands() = default;

void TargetCommands::resetArguments() { *args_ = Arguments{}; }

std::function<void(Context&)> TargetCommands::selected() const {
    for (const Entry& entry : entries_) {
        if (entry.command->parsed()) return entry.run;
    }
    return {};
}

TargetCommands::TargetCommands(CLI::App& app, Mode mode) : args_(std::make_unique<Arguments>()) {
    Arguments& a = *args_;
    auto add = [&](const std::string& name, const std::string& help, std::function<void(Context&)> run) {
        CLI::App* command = app.add_subcommand(name, help);
        entries_.push_back(Entry{command, std::move(run)});
        return command;
    };

    add("info", "Identify the target: IDCODE, device identification, CPUID, DP/AP/ROM-table checks, core state",
        Info);

    CLI::App* read = add("read", "Read LENGTH bytes at ADDRESS: a hex dump, or raw bytes into a file", [&a](Context& c) {
        if (a.length == 0) throw UsageError("read: LENGTH must be at least 1");
        if (!FitsAddressSpace(a.address, a.length)) throw UsageError("read: the range runs past 0xFFFFFFFF");
        std::ofstream file;
        if (!a.output.empty()) file = OpenOutput(a.output);
        c.target();
        std::vector<uint8_t> bytes(a.length);
        ProgressBar bar("read ", c.err, c.progress);
        ReadMemory(a.address, bytes, bar.callback());
        bar.finish();
        if (a.output.empty()) {
            c.out << (a.words ? WordDump(a.address, bytes) : HexDump(a.address, bytes));
            return;
        }
        file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!file.flush()) throw UsageError("cannot write " + a.output);
        c.out << "read " << a.length << " bytes at " << Hex32(a.address) << " into " << a.output << '\n';
    });
    AddNumber(read, "address", a.address, "Start address")->required();
    AddNumber(read, "length", a.length, "Number of bytes (any length; sent in 4 KB blocks)", "LENGTH")->required();
    read->add_option("-o,--output", a.output, "Write the bytes to FILE instead of a hex dump")->type_name("FILE");
    read->add_flag("-w,--words", a.words, "Dump 32-bit little-endian words instead of bytes");

    CLI::App* write = add("write", "Write VALUEs (8, 16 or 32 bits each) or the bytes of a file at ADDRESS",
                          [&a](Context& c) {
        if (!a.input.empty()) {
            const std::vector<uint8_t> bytes = ReadFile(a.input);
            if (!FitsAddressSpace(a.address, bytes.size())) throw UsageError("write: the file runs past 0xFFFFFFFF");
            c.target();
            ProgressBar bar("write", c.err, c.progress);
            WriteMemory(a.address, bytes, bar.callback());
            bar.finish();
            c.out << "wrote " << bytes.size() << " bytes at " << Hex32(a.address) << '\n';
            return;
        }
        if (a.values.empty()) throw UsageError("write: give VALUEs or -i FILE");
        const AccessSize* size = nullptr;
        for (const AccessSize& candidate : kAccessSizes) {
            if (candidate.bits == a.bits) size = &candidate;
        }
        if (size == nullptr) throw UsageError("write: --size must be 8, 16 or 32");
        if (a.address % size->bytes != 0) {
            throw UsageError("write: " + std::to_string(a.bits) + "-bit values need an address aligned to " +
                             std::to_string(size->bytes) + " bytes");
        }
        if (!FitsAddressSpace(a.address, uint64_t{a.values.size()} * size->bytes)) {
            throw UsageError("write: the values run past 0xFFFFFFFF");
        }
        const uint64_t limit = kAllBits >> (kBitsPerWord - size->bits);
        std::vector<uint32_t> values;
        for (const std::string& text : a.values) {
            const auto value = ParseU32(text);
            if (!value || *value > limit) {
                throw UsageError("write: '" + text + "' is not a " + std::to_string(size->bits) + "-bit value");
            }
            values.push_back(*value);
        }
        c.target();
        for (size_t i = 0; i < values.size(); ++i) {
            const uint32_t at = a.address + static_cast<uint32_t>(i) * size->bytes;
            Check(DebugWriteMem(at, values[i], size->code), "DebugWriteMem at " + Hex32(at));
        }
        c.out << "wrote " << values.size() << " value" << (values.size() == 1 ? "" : "s") << " at "
              << Hex32(a.address) << '\n';
    });
    AddNumber(write, "address", a.address, "Start address")->required();
    CLI::Option* values = write->add_option("values", a.values, "Values to write, one after the other")
                              ->type_name("VALUE...");
    write->add_option("-i,--input", a.input, "Write the bytes of FILE")->type_name("FILE")->excludes(values);
    write->add_option("-s,--size", a.bits, "Bits per VALUE: 8, 16 or 32 (default 32)")->type_name("BITS");

    CLI::App* load = add("load", "Load an ELF file or a raw binary into RAM", [&a](Context& c) {
        const bool elf = IsElfFile(a.file);
        const Image image = LoadImage(a.file, elf ? a.imageAddress : a.imageAddress.value_or(memory_map::kSramBase));
        c.target();
        ProgressBar bar("load ", c.err, c.progress);
        uint64_t offset = 0;
        for (const Segment& segment : image.segments) {
            try {
                WriteMemory(segment.address, segment.bytes, [&](uint64_t done, uint64_t) {
                    bar.update(offset + done, image.size());
                });
            } catch (TargetError& error) {
                if (segment.address < memory_map::kSramBase) error.message += " (flash takes 'flash', not 'load')";
                throw;
            }
            offset += segment.bytes.size();
        }
        bar.finish();
        for (const Segment& segment : image.segments) {
            c.out << "loaded " << segment.bytes.size() << " bytes at " << Range(segment.address, segment.bytes.size())
                  << '\n';
        }
        if (image.entry) c.out << "entry point " << Hex32(*image.entry) << '\n';
        if (elf) c.symbolFile = a.file;
    });
    load->add_option("file", a.file, "ELF file or raw binary")->required()->type_name("FILE");
    AddOptionalNumber(load, "-a,--address", a.imageAddress, "Address of a raw binary (default 0x20000000)");

    CLI::App* flash = add("flash", "Erase, program and verify an ELF file or raw binary in flash", [&a](Context& c) {
        const bool elf = IsElfFile(a.file);
        const Image image =
            LoadImage(a.file, elf ? a.imageAddress : a.imageAddress.value_or(memory_map::kFlashBase));
        Session& session = c.target();
        // Code running from flash would fight the controller.
        Check(DebugHaltCore(), "DebugHaltCore");
        session.refreshCoreState();
        std::vector<flash::Piece> pieces;
        for (const Segment& segment : image.segments) pieces.push_back(flash::Piece{segment.address, segment.bytes});
        ProgressBar bar("flash", c.err, c.progress);
        const flash::Status status = flash::Write(pieces, !a.noVerify, bar.callback());
        bar.finish();
        if (!status.ok()) throw TargetError{status.result, status.message};
        for (const Segment& segment : image.segments) {
            c.out << "flashed " << segment.bytes.size() << " bytes at " << Range(segment.address, segment.bytes.size())
                  << '\n';
        }
        c.out << (a.noVerify ? "not verified\n" : "verified\n");
        if (elf) c.symbolFile = a.file;
    });
    flash->add_option("file", a.file, "ELF file or raw binary")->required()->type_name("FILE");
    AddOptionalNumber(flash, "-a,--address", a.imageAddress, "Address of a raw binary (default 0x00000000)");
    flash->add_flag("--no-verify", a.noVerify, "Skip reading the image back");

    add("halt", "Halt the core", [](Context& c) {
        Session& session = c.target();
        Check(DebugHaltCore(), "DebugHaltCore");
        session.refreshCoreState();
        c.out << "halted at pc " << Hex32(ReadPc()) << '\n';
    });

    add("resume", "Let the core run (stepping off a breakpoint it is halted on)", [](Context& c) {
        Resume(c);
        c.out << "core " << DescribeCoreState(c.target().coreState()) << '\n';
    });

    CLI::App* step = add("step", "Execute single instructions", [&a](Context& c) {
        RequireHalted(c, a.halt, "step");
        for (uint32_t i = 0; i < a.count; ++i) Check(DebugStepCore(), "DebugStepCore");
        c.target().refreshCoreState();
        c.out << "pc " << Hex32(ReadPc()) << '\n';
    });
    AddNumber(step, "count", a.count, "Instructions to step (default 1)", "COUNT");
    step->add_flag("--halt", a.halt, "Halt the core first if it runs");

    CLI::App* regs = add("regs", "Show all core registers", [&a](Context& c) {
        RequireHalted(c, a.halt, "regs");
        for (const CoreRegister& reg : ListedRegisters()) {
            const uint32_t value = ReadRegister(reg.selector, reg.name);
            c.out << std::string(reg.name) << std::string(kRegisterColumn - reg.name.size(), ' ') << Hex32(value);
            if (reg.selector == regsel::kSpecial) c.out << "  " << DescribeSpecial(value);
            c.out << '\n';
        }
    });
    regs->add_flag("--halt", a.halt, "Halt the core first if it runs");

    CLI::App* reg = add("reg", "Show or set one core register", [&a](Context& c) {
        const auto found = FindRegister(a.name);
        if (!found) throw UsageError("reg: unknown register '" + a.name + "'; known: " + RegisterNames());
        std::optional<uint32_t> value;
        if (!a.values.empty()) {
            value = ParseU32(a.values.front());
            if (!value) throw UsageError("reg: '" + a.values.front() + "' is not a 32-bit number");
        }
        RequireHalted(c, a.halt, "reg");
        const std::string name(found->name);
        if (value) {
            uint32_t whole = *value;
            if (found->fieldShift) whole = MergeField(*found, ReadRegister(found->selector, name), *value);
            Check(DebugWriteCoreRegister(found->selector, whole), "DebugWriteCoreRegister (" + name + ")");
        }
        c.out << name << ' ' << Hex32(FieldValue(*found, ReadRegister(found->selector, name))) << '\n';
    });
    reg->add_option("name", a.name, "Register: " + RegisterNames())->required()->type_name("NAME");
    reg->add_option("value", a.values, "New value")->expected(0, 1)->type_name("VALUE");
    reg->add_flag("--halt", a.halt, "Halt the core first if it runs");

    CLI::App* reset = add("reset", "Reset: core (VECTRESET), system (SYSRESETREQ) or hardware (the reset line)",
                          [&a](Context& c) {
        Session& session = c.target();
        if (a.halt) {
            // Halting debug on and the reset vector caught: the core stops as it leaves reset.
            Check(DebugHaltCore(), "DebugHaltCore");
            Check(DebugWriteMem(demcr::kAddress, demcr::kTrcEna | demcr::kVcCoreReset, size_code::kWord),
                  "DebugWriteMem (DEMCR)");
        }
        if (a.resetKind == "core") Check(DebugCoreReset(), "DebugCoreReset");
        if (a.resetKind == "system") Check(DebugSystemReset(), "DebugSystemReset");
        if (a.resetKind == "hardware") {
            Check(DebugHardwareReset(), "DebugHardwareReset");
            // The line reset the debug port too.
            session.reinitialise();
        }
        const uint32_t state = session.refreshCoreState();
        c.out << a.resetKind << " reset; core " << DescribeCoreState(state);
        if (session.halted()) c.out << " at pc " << Hex32(ReadPc());
        c.out << '\n';
    });
    reset->add_option("kind", a.resetKind, "core, system or hardware")
        ->required()
        ->check(CLI::IsMember({"core", "system", "hardware"}))
        ->type_name("KIND");
    reset->add_flag("--halt", a.halt, "Stop the core at the reset vector (a system reset always does)");

    if (mode != Mode::kShell) return;

    CLI::App* set = add("break", "Set a hardware breakpoint at an address (or a symbol of the last ELF loaded)",
                        [&a](Context& c) {
        const uint32_t address = ResolveCodeAddress(c, a.location);
        if (address >= memory_map::kSramBase) {
            throw UsageError("break: hardware breakpoints only work below 0x20000000 (the Code region)");
        }
        c.target();
        Check(DebugSetBreakpoint(address), "DebugSetBreakpoint at " + Hex32(address));
        c.breakpoints.insert(address);
        c.out << "breakpoint at " << Hex32(address) << '\n';
    });
    set->add_option("location", a.location, "Address or symbol")->required()->type_name("ADDRESS");

    CLI::App* unset = add("unbreak", "Remove a breakpoint (or all of them)", [&a](Context& c) {
        c.target();
        if (a.all) {
            for (uint32_t address : std::set<uint32_t>(c.breakpoints)) {
                Check(DebugClearBreakpoint(address), "DebugClearBreakpoint at " + Hex32(address));
                c.breakpoints.erase(address);
            }
            c.out << "no breakpoints\n";
            return;
        }
        if (a.location.empty()) throw UsageError("unbreak: give an ADDRESS or --all");
        const uint32_t address = ResolveCodeAddress(c, a.location);
        Check(DebugClearBreakpoint(address), "DebugClearBreakpoint at " + Hex32(address));
        c.breakpoints.erase(address);
        c.out << "removed breakpoint at " << Hex32(address) << '\n';
    });
    CLI::Option* location = unset->add_option("location", a.location, "Address or symbol")->type_name("ADDRESS");
    unset->add_flag("--all", a.all, "Remove every breakpoint")->excludes(location);

    CLI::App* watch = add("watch", "Watch data: halt when the core writes (w, the default), reads (r) or accesses (rw) "
                                   "SIZE bytes (default 4) at an address (or a symbol of the last ELF loaded)",
                          [&a](Context& c) {
        const uint32_t address = ResolveCodeAddress(c, a.location);
        const WatchRequest request = ParseWatchRequest(a.values);
        c.target();
        const Watchpoints::Status status = c.watchpoints.add(request.kind, address, request.size);
        if (!status.ok()) throw TargetError{status.result, "watch: " + status.message};
        c.out << DescribeWatch(c.watchpoints.list().back()) << '\n';
    });
    watch->add_option("location", a.location, "Address or symbol")->required()->type_name("ADDRESS");
    watch->add_option("size-and-access", a.values, "SIZE in bytes, then r, w or rw")
        ->expected(0, 2)
        ->type_name("[SIZE] [r|w|rw]");

    CLI::App* unwatch = add("unwatch", "Remove the watchpoints at an address (or all of them)", [&a](Context& c) {
        if (a.all) {
            if (!c.watchpoints.empty()) c.target();
            Check(c.watchpoints.removeAll(), "removing the watchpoints (DebugWriteMem to DWT_FUNCTION)");
            c.out << "no watchpoints\n";
            return;
        }
        if (a.location.empty()) throw UsageError("unwatch: give an ADDRESS or --all");
        const uint32_t address = ResolveCodeAddress(c, a.location);
        std::vector<Watch> found;
        for (const Watch& watch : c.watchpoints.list()) {
            if (watch.address == address) found.push_back(watch);
        }
        if (found.empty()) throw UsageError("unwatch: no watchpoint at " + Hex32(address));
        c.target();
        for (const Watch& watch : found) {
            Check(c.watchpoints.remove(watch.kind, watch.address, watch.length),
                  "removing the watchpoint (DebugWriteMem to DWT_FUNCTION)");
            c.out << "removed " << DescribeWatch(watch) << '\n';
        }
    });
    CLI::Option* watched = unwatch->add_option("location", a.location, "Address or symbol")->type_name("ADDRESS");
    unwatch->add_flag("--all", a.all, "Remove every watchpoint")->excludes(watched);

    add("breaks", "List the breakpoints and watchpoints", [](Context& c) {
        if (c.breakpoints.empty() && c.watchpoints.empty()) c.out << "no breakpoints\n";
        for (uint32_t address : c.breakpoints) c.out << "breakpoint at " << Hex32(address) << '\n';
        for (const Watch& watch : c.watchpoints.list()) c.out << DescribeWatch(watch) << '\n';
    });

    add("state", "Show the core state", [](Context& c) {
        const uint32_t state = c.target().refreshCoreState();
        c.out << "core " << DescribeCoreState(state) << " (DHCSR " << Hex32(state) << ")\n";
    });

    CLI::App* wait = add("wait", "Wait for the core to halt (a breakpoint, say)", [&a](Context& c) {
        if (!WaitForHalt(c.target(), a.seconds)) {
            throw TargetError{DBG_TIMEOUT, "the core did not halt within " + CLI::detail::to_string(a.seconds) + " s"};
        }
        c.out << "halted at pc " << Hex32(ReadPc()) << '\n';
    });
    wait->add_option("seconds", a.seconds, "How long to wait (default 5)")->type_name("SECONDS")->check(
        CLI::PositiveNumber);
}

}  // namespace cm3tools::cli
