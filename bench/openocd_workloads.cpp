// OpenOCD and the library on the same memory workloads and the same USB
// timing model. OpenOCD runs as it is, on the virtual FT2232 (sim/vusb)
// preloaded as its libusb; that device feeds the model exactly as the
// in-process driver does for the library. OpenOCD brackets each operation by
// changing an ACBUS pin (wired to nothing) with `ftdi set_signal`, which it
// sends as a transfer of its own; the device records its counters around
// every such transfer (sim/vusb/virtual_ft2232.h, PinMark), so an operation's
// figures are the counters between the transfer that raised the pin and the
// one that lowered it, nothing of either included.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/sim_session.h"
#include "workloads.h"

extern char** environ;

namespace cm3bench {
namespace {

namespace fs = std::filesystem;
using cm3sim::ChipType;
using cm3sim::UsbCounters;

// Each operation runs kComparisonRepetitions times in one OpenOCD session and
// in one library session; the figures are averaged (the frame phase an
// operation starts at varies).
inline constexpr int kRepetitions = kComparisonRepetitions;
inline constexpr uint32_t kWorkloadBytes = kComparisonBytes;
inline constexpr uint32_t kPieces = kWorkloadBytes / kBlockBytes;
inline constexpr uint32_t kHzPerKHz = 1000;
inline constexpr auto kRunTimeout = std::chrono::seconds(300);
inline constexpr auto kPollInterval = std::chrono::milliseconds(20);
// The bracket: ACBUS7, bit 15 of OpenOCD's 16-bit pin masks. The device
// reports the high byte's latch, where it is bit 7.
inline constexpr const char* kMarkSignal = "BENCH_MARK";
inline constexpr const char* kMarkMask = "0x8000";
inline constexpr uint8_t kMarkPin = 0x80;
inline constexpr uint32_t kPatternSeed = 0x64;
inline constexpr uint32_t kByteBits = 8;
inline constexpr uint32_t kWordBytes = 4;

struct Transport {
    bool swd;
    const char* name;
    const char* config;
};
inline constexpr Transport kTransports[] = {{true, kComparisonSwd, "swd.cfg"}, {false, kComparisonJtag, "jtag.cfg"}};

std::string Hex(uint32_t value) {
    std::ostringstream out;
    out << "0x" << std::hex << value;
    return out.str();
}

UsbCounters CountersOf(const nlohmann::json& j) {
    UsbCounters c;
    c.writes = j.value("writes", uint64_t{0});
    c.reads = j.value("reads", uint64_t{0});
    c.bytesOut = j.value("bytes_out", uint64_t{0});
    c.bytesIn = j.value("bytes_in", uint64_t{0});
    c.roundTrips = j.value("round_trips", uint64_t{0});
    c.controlRequests = j.value("control_requests", uint64_t{0});
    c.packetsOut = j.value("packets_out", uint64_t{0});
    c.packetsIn = j.value("packets_in", uint64_t{0});
    c.latencyPackets = j.value("latency_packets", uint64_t{0});
    c.immediatePackets = j.value("immediate_packets", uint64_t{0});
    c.wireCycles = j.value("wire_cycles", uint64_t{0});
    c.wirePs = j.value("wire_ns", uint64_t{0}) * cm3sim::picoseconds::kPerNs;
    c.modeledPs = j.value("modeled_ps", uint64_t{0});
    return c;
}

// The looping firmware of the library's sessions, as an image file.
void WriteFirmware(const fs::path& path) {
    std::vector<uint8_t> image(firmware::kResetHandler + kWordBytes, 0);
    auto put = [&](uint32_t at, uint32_t value, uint32_t bytes) {
        for (uint32_t i = 0; i < bytes; ++i) image[at + i] = static_cast<uint8_t>(value >> (kByteBits * i));
    };
    put(firmware::kInitialSp, firmware::kStackTop, kWordBytes);
    put(firmware::kResetVector, firmware::kResetHandler | firmware::kThumbBit, kWordBytes);
    put(firmware::kResetHandler, firmware::kBranchToSelfPair, kWordBytes);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
}

std::vector<uint8_t> Pattern() {
    std::vector<uint8_t> bytes(kWorkloadBytes);
    std::mt19937 random(kPatternSeed);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
    return bytes;
}

std::vector<uint8_t> ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), {});
}

// Runs OpenOCD to its end; false (and why) when it did not exit cleanly.
bool RunOpenOcd(const std::string& openocd, const std::vector<std::string>& args,
                const std::vector<std::string>& environment, const fs::path& log, std::string* why) {
    std::vector<std::string> argvText = {openocd};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<std::string> envText = environment;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string key = entry.substr(0, entry.find('=') + 1);
        bool overridden = false;
        for (const std::string& extra : environment) overridden = overridden || extra.rfind(key, 0) == 0;
        if (!overridden) envText.push_back(entry);
    }
    std::vector<char*> argv;
    for (std::string& a : argvText) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     S_IRUSR | S_IWUSR);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        *why = "openocd could not be started";
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + kRunTimeout;
    int status = 0;
    for (;;) {
        if (waitpid(pid, &status, WNOHANG) == pid) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            *why = "openocd did not finish in time";
            return false;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        *why = "openocd failed (see its log: " + log.string() + ")";
        return false;
    }
    return true;
}

struct OpenOcdFigures {
    uint32_t latencyMs = 0;
    std::vector<UsbCounters> writes;
    std::vector<UsbCounters> reads;
    std::string note;  // why there are none
};

OpenOcdFigures MeasureOpenOcd(const std::string& openocd, const std::string& preload, const std::string& configs,
                              const fs::path& dir, ChipType chip, uint32_t clockHz, const Transport& transport) {
    OpenOcdFigures figures;
    const fs::path image = dir / "pattern.bin";
    const fs::path dumped = dir / "dumped.bin";
    const fs::path simConfig = dir / "sim.json";
    const fs::path report = dir / "report.json";
    const fs::path log = dir / "openocd.log";
    const nlohmann::json config = {{"chip", ChipName(chip)},
                                   {"images", {{{"path", (dir / "firmware.bin").string()}, {"address", 0}}}}};
    std::ofstream(simConfig) << config.dump();
    fs::remove(report);
    fs::remove(dumped);

    const std::string mark = std::string("ftdi set_signal ") + kMarkSignal;
    std::vector<std::string> commands = {
        "adapter speed " + std::to_string(clockHz / kHzPerKHz),
        std::string("ftdi layout_signal ") + kMarkSignal + " -data " + kMarkMask,
        "gdb_port disabled",
        "tcl_port disabled",
        "telnet_port disabled",
        "init",
        "halt",
    };
    for (int i = 0; i < kRepetitions; ++i) {
        for (const std::string& op :
             {"load_image " + image.string() + " " + Hex(kSram) + " bin",
              "dump_image " + dumped.string() + " " + Hex(kSram) + " " + std::to_string(kWorkloadBytes)}) {
            commands.push_back(mark + " 1");
            commands.push_back(op);
            commands.push_back(mark + " 0");
        }
    }
    commands.emplace_back("shutdown");
    std::vector<std::string> args = {"-f", configs + "/" + transport.config};
    for (const std::string& c : commands) {
        args.emplace_back("-c");
        args.push_back(c);
    }
    const std::vector<std::string> environment = {
        "LD_PRELOAD=" + preload,
        "CM3PROBE_SIM_CONFIG=" + simConfig.string(),
        "CM3PROBE_VUSB_REPORT=" + report.string(),
        // OpenOCD's own allocations are not ours to check.
        "ASAN_OPTIONS=detect_leaks=0",
    };
    if (!RunOpenOcd(openocd, args, environment, log, &figures.note)) return figures;
    if (ReadBytes(dumped) != ReadBytes(image)) {
        figures.note = "what OpenOCD read back differs from what it wrote";
        return figures;
    }
    std::ifstream in(report);
    const nlohmann::json doc = nlohmann::json::parse(in, nullptr, false);
    if (doc.is_discarded() || !doc.contains("channels")) {
        figures.note = "the virtual device wrote no report";
        return figures;
    }
    figures.latencyMs = doc["channels"][cm3sim::VirtualProbe::kTargetChannel].value("latency_ms", 0u);
    const nlohmann::json& marks = doc["channels"][cm3sim::VirtualProbe::kTargetChannel]["marks"];
    // Raise, lower; raise, lower: a write, then a read, per repetition.
    const size_t expected = static_cast<size_t>(kRepetitions) * 2 * 2;
    if (marks.size() != expected) {
        figures.note = "the virtual device saw " + std::to_string(marks.size()) + " marks, not " +
                       std::to_string(expected);
        return figures;
    }
    for (size_t i = 0; i < marks.size(); i += 2) {
        if (marks[i]["high_pins"].get<uint8_t>() != kMarkPin || marks[i + 1]["high_pins"].get<uint8_t>() != 0) {
            figures.note = "the marks came out of order";
            return figures;
        }
        const UsbCounters c = CountersOf(marks[i + 1]["before"]) - CountersOf(marks[i]["after"]);
        ((i / 2) % 2 == 0 ? figures.writes : figures.reads).push_back(c);
    }
    return figures;
}

struct LibraryFigures {
    std::vector<UsbCounters> writes;
    std::vector<UsbCounters> reads;
    std::string note;
};

// The same 64 KB with the library: 4 KB blocks, batched, core halted.
LibraryFigures MeasureLibrary(ChipType chip, uint32_t clockHz, bool swd) {
    LibraryFigures figures;
    const Path path{swd, true, swd ? "SWD batched" : "JTAG batched"};
    if (Connect(path, chip, clockHz, true) != DBG_OK || DebugHaltCore() != DBG_OK) {
        figures.note = "the library could not connect";
        Disconnect();
        return figures;
    }
    std::vector<uint8_t> data = Pattern();
    std::vector<uint8_t> back(kWorkloadBytes);
    for (int i = 0; i < kRepetitions; ++i) {
        for (bool read : {false, true}) {
            DebugResult result = DBG_OK;
            const UsbCounters c = Measure(
                [&]() -> DebugResult {
                    for (uint32_t piece = 0; piece < kPieces; ++piece) {
                        const uint32_t offset = piece * kBlockBytes;
                        const DebugResult r = read ? DebugReadBlock(kSram + offset, back.data() + offset, kBlockBytes)
                                                   : DebugWriteBlock(kSram + offset, data.data() + offset, kBlockBytes);
                        if (r != DBG_OK) return r;
                    }
                    return DBG_OK;
                },
                &result);
            if (result != DBG_OK || (read && back != data)) {
                figures.note = "the library failed";
                Disconnect();
                return figures;
            }
            (read ? figures.reads : figures.writes).push_back(c);
        }
    }
    Disconnect();
    return figures;
}

}  // namespace

void RunOpenOcdComparison(Results& results, const std::string& openocd) {
    results.comparisonRan = true;
#if defined(CM3BENCH_VUSB) && defined(CM3BENCH_VUSB_PRELOAD) && defined(CM3BENCH_OPENOCD_CONFIGS)
    const std::string vusb = CM3BENCH_VUSB;
    const std::string preload = CM3BENCH_VUSB_PRELOAD;
    const std::string configs = CM3BENCH_OPENOCD_CONFIGS;
#else
    const std::string vusb;
    const std::string preload;
    const std::string configs;
#endif
    if (vusb.empty() || !fs::exists(vusb)) {
        results.comparisonNotes.push_back("The virtual USB device (`libcm3probe_vusb.so`) was not built: no OpenOCD "
                                          "comparison.");
        return;
    }
    if (openocd.empty()) {
        results.comparisonNotes.push_back("OpenOCD is not installed: no comparison.");
        return;
    }
    std::string pattern = (fs::temp_directory_path() / "cm3bench-openocd-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        results.comparisonNotes.push_back("No scratch directory for the OpenOCD runs.");
        return;
    }
    const fs::path dir = pattern;
    WriteFirmware(dir / "firmware.bin");
    const std::vector<uint8_t> data = Pattern();
    std::ofstream(dir / "pattern.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));

    bool failed = false;
    for (ChipType chip : {ChipType::Ft2232D, ChipType::Ft2232H}) {
        const cm3sim::UsbBus& bus = cm3sim::BusOf(chip);
        for (uint32_t clock : {kFastClockHz, kSlowClockHz}) {
            for (const Transport& transport : kTransports) {
                const OpenOcdFigures theirs = MeasureOpenOcd(openocd, preload, configs, dir, chip, clock, transport);
                const LibraryFigures ours = MeasureLibrary(chip, clock, transport.swd);
                if (theirs.note.empty()) results.comparisonLatencyMs = theirs.latencyMs;
                for (bool read : {false, true}) {
                    ComparisonRow row;
                    row.chip = chip;
                    row.clockHz = clock;
                    row.transport = transport.name;
                    row.operation = read ? kComparisonRead : kComparisonWrite;
                    row.note = !theirs.note.empty() ? theirs.note : ours.note;
                    row.ok = row.note.empty();
                    if (row.ok) {
                        row.openocd = Average(read ? theirs.reads : theirs.writes, bus);
                        row.ours = Average(read ? ours.reads : ours.writes, bus);
                    }
                    failed = failed || !row.ok;
                    results.comparison.push_back(row);
                }
            }
        }
    }
    // A failed run's log stays for a look.
    std::error_code ignored;
    if (!failed) fs::remove_all(dir, ignored);
}

}  // namespace cm3bench
