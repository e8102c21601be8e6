// Tables and the report: the runner's figures, the host CPU benchmarks and
// callgrind's counts, side by side.
#include <algorithm>
#include <cmath>
#include <fstream>
#include <iomanip>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>

#include "support/sim_session.h"
#include "workloads.h"

namespace cm3bench {
namespace {

using cm3sim::ChipType;

inline constexpr double kMsPerSecond = 1000.0;
inline constexpr double kUsPerSecond = 1e6;
inline constexpr double kHzPerMHz = 1e6;
inline constexpr double kPercent = 100.0;
inline constexpr double kBytesPerKiloByte = 1000.0;
// The library's CPU time per block must stay under this share of its
// modeled USB time.
inline constexpr double kCpuShareLimit = 0.01;
inline constexpr const char* kReadBlock = "DebugReadBlock 4096 B";
inline constexpr const char* kWriteBlock = "DebugWriteBlock 4096 B";
inline constexpr const char* kReadWord = "DebugReadMem (word)";
inline constexpr const char* kReadRegister = "DebugReadCoreRegister";
inline constexpr const char* kAllocationTag = "allocation-count:";
inline constexpr const char* kFlash = "cm3probe flash 64 KB (whole command)";
inline constexpr const char* kGdbRegisters = "GDB g after a stop (cold)";
inline constexpr const char* kGdbStepi = "GDB stepi (GDB's packets)";
inline constexpr uint32_t kFlashPageBytes = 1024;  // the part's erase page
inline constexpr double kNanosecondsPerSecond = 1e9;
inline constexpr const char* kGdbMemory = "GDB m 4096 B";
inline constexpr const char* kGdbSmall = "GDB m 3 B unaligned";

std::string Count(double value) {
    std::ostringstream out;
    if (std::fabs(value - std::round(value)) < 1e-9) {
        out << static_cast<long long>(std::llround(value));
    } else {
        out << std::fixed << std::setprecision(1) << value;
    }
    return out.str();
}

std::string Fixed(double value, int digits) {
    std::ostringstream out;
    out << std::fixed << std::setprecision(digits) << value;
    return out.str();
}

std::string Ms(double seconds) { return Fixed(seconds * kMsPerSecond, 3); }

// Three significant digits or whole units, whichever shows more.
std::string Rate(double value) {
    if (value >= 100) return Fixed(value, 0);
    if (value >= 10) return Fixed(value, 1);
    return Fixed(value, 2);
}

std::string Title(ChipType chip, uint32_t clockHz) {
    return std::string(ChipName(chip)) + ", " + Count(clockHz / kHzPerMHz) + " MHz";
}

const Row* FindRowIn(const std::vector<Table>& tables, ChipType chip, uint32_t clockHz, const std::string& path,
                     const std::string& operation) {
    for (const Table& table : tables) {
        if (table.chip != chip || table.clockHz != clockHz) continue;
        for (const Row& row : table.rows) {
            if (row.path == path && row.operation == operation && row.ok) return &row;
        }
    }
    return nullptr;
}

const Row* FindRow(const Results& results, ChipType chip, uint32_t clockHz, const std::string& path,
                   const std::string& operation) {
    const Row* row = FindRowIn(results.tables, chip, clockHz, path, operation);
    return row != nullptr ? row : FindRowIn(results.toolTables, chip, clockHz, path, operation);
}

std::string Seconds(double seconds) { return Fixed(seconds, seconds >= 10 ? 0 : 1) + " s"; }

std::string ReadFile(const std::string& path) {
    if (path.empty()) return {};
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A benchmark's CPU time in seconds and its throughput, median of its
// repetitions when it has them.
struct Benchmark {
    std::string name;
    double cpuSeconds = 0;
    double iterations = 0;
    double itemsPerSecond = 0;
    double bytesPerSecond = 0;
    bool failed = false;
};

double ToSeconds(double value, const std::string& unit) {
    if (unit == "ms") return value / kMsPerSecond;
    if (unit == "us") return value / kUsPerSecond;
    if (unit == "ns") return value / (kUsPerSecond * kMsPerSecond);
    return value;
}

std::vector<Benchmark> LoadBenchmarks(const std::string& path, std::string* context) {
    std::vector<Benchmark> list;
    const std::string text = ReadFile(path);
    if (text.empty()) return list;
    const nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
    if (doc.is_discarded() || !doc.contains("benchmarks")) return list;
    if (doc.contains("context")) {
        const nlohmann::json& c = doc["context"];
        std::ostringstream line;
        line << c.value("num_cpus", 0) << " CPUs at " << c.value("mhz_per_cpu", 0) << " MHz";
        if (c.contains("library_build_type")) line << ", Google Benchmark library built " << c.value("library_build_type", "");
        *context = line.str();
    }
    const bool aggregated = std::any_of(doc["benchmarks"].begin(), doc["benchmarks"].end(), [](const auto& b) {
        return b.value("run_type", "") == "aggregate";
    });
    for (const nlohmann::json& b : doc["benchmarks"]) {
        if (aggregated && b.value("aggregate_name", "") != "median") continue;
        Benchmark entry;
        entry.name = b.value("run_name", b.value("name", ""));
        entry.failed = b.value("error_occurred", false);
        const std::string unit = b.value("time_unit", "ns");
        entry.cpuSeconds = ToSeconds(b.value("cpu_time", 0.0), unit);
        entry.iterations = b.value("iterations", 0.0);
        entry.itemsPerSecond = b.value("items_per_second", 0.0);
        entry.bytesPerSecond = b.value("bytes_per_second", 0.0);
        list.push_back(entry);
    }
    return list;
}

const Benchmark* FindBenchmark(const std::vector<Benchmark>& list, const std::string& name) {
    for (const Benchmark& b : list) {
        if (b.name == name && !b.failed) return &b;
    }
    return nullptr;
}

std::string Duration(double seconds) {
    if (seconds * kMsPerSecond >= 1) return Fixed(seconds * kMsPerSecond, 3) + " ms";
    if (seconds * kUsPerSecond >= 1) return Fixed(seconds * kUsPerSecond, 2) + " us";
    return Fixed(seconds * kUsPerSecond * kMsPerSecond, 2) + " ns";
}

std::string BytesOutIn(const Figures& f) { return Count(f.bytesOut) + " / " + Count(f.bytesIn); }

double Ratio(const ComparisonRow& row) {
    return row.openocd.modeledSeconds > 0 ? row.ours.modeledSeconds / row.openocd.modeledSeconds : 0;
}

const ComparisonRow* FindComparison(const Results& results, ChipType chip, uint32_t clockHz,
                                    const std::string& transport, const std::string& operation) {
    for (const ComparisonRow& row : results.comparison) {
        if (row.ok && row.chip == chip && row.clockHz == clockHz && row.transport == transport &&
            row.operation == operation) {
            return &row;
        }
    }
    return nullptr;
}

// The largest share of a 4 KB block's modeled USB time (FT2232D, 6 MHz) the
// library spends on the host's CPU, and which block it is.
double WorstCpuShare(const Results& results, const std::vector<Benchmark>& benchmarks, std::string* worst) {
    double worstShare = 0;
    for (const Path& path : kPaths) {
        for (bool read : {true, false}) {
            const Benchmark* b =
                FindBenchmark(benchmarks, "block_4k/" + PathId(path) + (read ? "/read" : "/write") + "/replay");
            const Row* row =
                FindRow(results, ChipType::Ft2232D, kFastClockHz, path.name, read ? kReadBlock : kWriteBlock);
            if (b == nullptr || row == nullptr || row->figures.modeledSeconds <= 0) continue;
            const double share = b->cpuSeconds / row->figures.modeledSeconds;
            if (share >= worstShare) {
                worstShare = share;
                *worst = std::string(path.name) + (read ? " read" : " write");
            }
        }
    }
    return worstShare;
}

void WriteSummary(std::ostream& out, const Results& results, const std::vector<Benchmark>& benchmarks) {
    out << "## Summary\n\n";
    const uint32_t fast = kFastClockHz;
    for (ChipType chip : {ChipType::Ft2232D, ChipType::Ft2232H}) {
        out << "- **" << Title(chip, fast) << "**, 4 KB blocks, batched: ";
        bool first = true;
        for (const Path& path : kPaths) {
            if (!path.batched) continue;
            for (const char* op : {kReadBlock, kWriteBlock}) {
                const Row* row = FindRow(results, chip, fast, path.name, op);
                if (row == nullptr) continue;
                const Figures& f = row->figures;
                out << (first ? "" : "; ") << path.name << (op == kReadBlock ? " read " : " write ")
                    << Fixed(KiloBytesPerSecond(row->payloadBytes, f.modeledSeconds), 0) << " KB/s (USB bytes alone "
                    << Fixed(KiloBytesPerSecond(row->payloadBytes, f.usbBoundSeconds), 0) << ", wire alone "
                    << Fixed(KiloBytesPerSecond(row->payloadBytes, f.wireSeconds), 0) << ")";
                first = false;
            }
        }
        out << ".\n";
    }
    const Row* swdWord = FindRow(results, ChipType::Ft2232D, fast, "SWD direct", kReadWord);
    const Row* jtagWord = FindRow(results, ChipType::Ft2232D, fast, "JTAG direct", kReadWord);
    if (swdWord != nullptr && jtagWord != nullptr) {
        out << "- A single word read on the FT2232D takes " << Ms(swdWord->figures.modeledSeconds) << " ms over SWD ("
            << Count(swdWord->figures.roundTrips) << " round trips, " << Count(swdWord->figures.latencyPackets)
            << " answered only when the latency timer ran out) and " << Ms(jtagWord->figures.modeledSeconds)
            << " ms over JTAG (" << Count(jtagWord->figures.roundTrips) << " round trips, "
            << Count(jtagWord->figures.immediatePackets) << " pushed out by send-immediate); its bytes alone need "
            << Ms(swdWord->figures.usbBoundSeconds) << " ms.\n";
    }
    const Row* flashSlow = nullptr;
    const Row* flashFast = nullptr;
    for (const Path& path : kPaths) {
        const Row* row = FindRow(results, ChipType::Ft2232D, fast, path.name, kFlash);
        if (row == nullptr) continue;
        if (flashSlow == nullptr || row->figures.modeledSeconds > flashSlow->figures.modeledSeconds) flashSlow = row;
        if (flashFast == nullptr || row->figures.modeledSeconds < flashFast->figures.modeledSeconds) flashFast = row;
    }
    if (flashFast != nullptr) {
        out << "- `cm3probe flash` of 64 KB on the FT2232D at 6 MHz takes " << Seconds(flashFast->figures.modeledSeconds)
            << " (" << flashFast->path << ", " << Count(flashFast->figures.roundTrips) << " round trips) to "
            << Seconds(flashSlow->figures.modeledSeconds) << " (" << flashSlow->path << "); the bytes of the fastest "
            << "alone need " << Seconds(flashFast->figures.usbBoundSeconds) << " and its wire cycles "
            << Seconds(flashFast->figures.wireSeconds) << ".\n";
    }
    const Row* gdbMemory = FindRow(results, ChipType::Ft2232D, fast, "SWD batched", kGdbMemory);
    const Row* gdbRegisters = FindRow(results, ChipType::Ft2232D, fast, "SWD batched", kGdbRegisters);
    const Row* gdbStepi = FindRow(results, ChipType::Ft2232D, fast, "SWD batched", kGdbStepi);
    if (gdbMemory != nullptr && gdbRegisters != nullptr && gdbStepi != nullptr) {
        out << "- Through the GDB server (SWD batched, FT2232D, 6 MHz, gdb-multiarch's own packets): the first `g` "
               "after a stop "
            << Ms(gdbRegisters->figures.modeledSeconds) << " ms (" << Count(gdbRegisters->figures.roundTrips)
            << " round trips), one `stepi` " << Ms(gdbStepi->figures.modeledSeconds) << " ms ("
            << Count(gdbStepi->figures.roundTrips) << "), `m` of 4 KB " << Ms(gdbMemory->figures.modeledSeconds)
            << " ms.\n";
    }
    std::string worst;
    const double worstShare = WorstCpuShare(results, benchmarks, &worst);
    double lowest = 0;
    double highest = 0;
    for (const ComparisonRow& row : results.comparison) {
        if (!row.ok) continue;
        lowest = lowest == 0 ? Ratio(row) : std::min(lowest, Ratio(row));
        highest = std::max(highest, Ratio(row));
    }
    const ComparisonRow* ocdRead = FindComparison(results, ChipType::Ft2232D, fast, kComparisonSwd, kComparisonRead);
    const ComparisonRow* ocdWrite = FindComparison(results, ChipType::Ft2232D, fast, kComparisonSwd, kComparisonWrite);
    if (highest > 0 && ocdRead != nullptr && ocdWrite != nullptr) {
        out << "- Against OpenOCD on the same model (64 KB of SRAM; our batched 4 KB blocks against its "
               "`load_image` and `dump_image` over the virtual USB device), our modeled time is "
            << Fixed(lowest, 2) << " to " << Fixed(highest, 2) << " times OpenOCD's; on the FT2232D at 6 MHz over "
            << "SWD a 64 KB read takes " << Ms(ocdRead->ours.modeledSeconds) << " ms against "
            << Ms(ocdRead->openocd.modeledSeconds) << " ms, a write " << Ms(ocdWrite->ours.modeledSeconds)
            << " ms against " << Ms(ocdWrite->openocd.modeledSeconds) << " ms.\n";
    }
    if (!worst.empty()) {
        out << "- The library's own CPU time per 4 KB block is at most " << Fixed(worstShare * kPercent, 4)
            << " % of its modeled USB time on the FT2232D at 6 MHz (" << worst << "); the limit is "
            << Fixed(kCpuShareLimit * kPercent, 0) << " %" << (worstShare < kCpuShareLimit ? ": met" : ": NOT met")
            << ".\n";
    }
    out << "\n";
}

// The performance goals, each beside the figure when it was set and the
// figure now (FT2232D, 6 MHz unless the goal says otherwise).
struct Goal {
    std::string what;
    std::string target;
    std::string then;
    std::string now;
    bool met = false;
};

void WriteGoals(std::ostream& out, const Results& results, const std::vector<Benchmark>& benchmarks) {
    const uint32_t fast = kFastClockHz;
    std::vector<Goal> goals;
    const auto row = [&](ChipType chip, const char* path, const char* operation) {
        return FindRow(results, chip, fast, path, operation);
    };
    double slowestWord = 0;
    std::string slowestPath;
    for (const Path& path : kPaths) {
        const Row* word = row(ChipType::Ft2232D, path.name, kReadWord);
        if (word != nullptr && word->figures.modeledSeconds >= slowestWord) {
            slowestWord = word->figures.modeledSeconds;
            slowestPath = path.name;
        }
    }
    if (!slowestPath.empty()) {
        goals.push_back({"A single word read, every path", "<= 7 ms", "10 ms (SWD, JTAG direct)",
                         Ms(slowestWord) + " ms (slowest: " + slowestPath + ")", slowestWord * kMsPerSecond <= 7});
    }
    struct BlockGoal {
        ChipType chip;
        const char* path;
        const char* operation;
        double target;
        const char* then;
    };
    for (const BlockGoal& g : {BlockGoal{ChipType::Ft2232D, "SWD batched", kReadBlock, 175, "140 KB/s"},
                               BlockGoal{ChipType::Ft2232D, "SWD batched", kWriteBlock, 170, "158 KB/s"},
                               BlockGoal{ChipType::Ft2232D, "JTAG batched", kReadBlock, 160, "120 KB/s"},
                               BlockGoal{ChipType::Ft2232D, "JTAG batched", kWriteBlock, 160, "128 KB/s"},
                               BlockGoal{ChipType::Ft2232H, "SWD batched", kReadBlock, 400, "258 KB/s"}}) {
        const Row* block = row(g.chip, g.path, g.operation);
        if (block == nullptr) continue;
        const double rate = KiloBytesPerSecond(block->payloadBytes, block->figures.modeledSeconds);
        goals.push_back({std::string("4 KB block, ") + g.path + (g.operation == kReadBlock ? " read" : " write") +
                             (g.chip == ChipType::Ft2232H ? ", FT2232H" : ""),
                         ">= " + Count(g.target) + " KB/s", g.then, Fixed(rate, 0) + " KB/s", rate >= g.target});
    }
    double worstRatio = 0;
    for (const ComparisonRow& comparison : results.comparison) {
        if (comparison.ok) worstRatio = std::max(worstRatio, Ratio(comparison));
    }
    if (worstRatio > 0) {
        goals.push_back({"Every row of the OpenOCD comparison", "<= 1.00", "up to 1.69",
                         "up to " + Fixed(worstRatio, 2), worstRatio <= 1.0});
    }
    const Row* registers = row(ChipType::Ft2232D, "SWD batched", kGdbRegisters);
    if (registers != nullptr) {
        goals.push_back({"GDB: the first `g` after a stop (SWD batched)", "<= 300 ms", "440 ms",
                         Ms(registers->figures.modeledSeconds) + " ms",
                         registers->figures.modeledSeconds * kMsPerSecond <= 300});
    }
    const Row* stepi = row(ChipType::Ft2232D, "SWD batched", kGdbStepi);
    const Row* jtagStepi = row(ChipType::Ft2232D, "JTAG batched", kGdbStepi);
    if (stepi != nullptr && jtagStepi != nullptr) {
        const double worst = std::max(stepi->figures.modeledSeconds, jtagStepi->figures.modeledSeconds);
        goals.push_back({"GDB: one `stepi` as gdb-multiarch does it (SWD batched; JTAG batched)", "<= 150 ms",
                         "about 500 ms",
                         Ms(stepi->figures.modeledSeconds) + " ms; " + Ms(jtagStepi->figures.modeledSeconds) + " ms",
                         worst * kMsPerSecond <= 150});
    }
    bool smallMet = true;
    std::string small;
    for (const Path& path : kPaths) {
        const Row* read = row(ChipType::Ft2232D, path.name, kGdbSmall);
        const Row* word = row(ChipType::Ft2232D, path.name, kReadWord);
        if (read == nullptr || word == nullptr) continue;
        smallMet = smallMet && read->figures.roundTrips <= word->figures.roundTrips;
        small += (small.empty() ? "" : ", ") + Count(read->figures.roundTrips) + " (word " +
                 Count(word->figures.roundTrips) + ")";
    }
    if (!small.empty()) {
        goals.push_back({"GDB: a 3-byte `m` in one word costs no more round trips than the word (each path)",
                         "<= the word's", "9 round trips (SWD)", small, smallMet});
    }
    const Row* flash = row(ChipType::Ft2232D, "SWD batched", kFlash);
    if (flash != nullptr) {
        goals.push_back({"`cm3probe flash` of 64 KB, SWD batched", "<= 4 s", "28 s",
                         Seconds(flash->figures.modeledSeconds), flash->figures.modeledSeconds <= 4});
    }
    std::string worst;
    const double worstShare = WorstCpuShare(results, benchmarks, &worst);
    if (worstShare > 0) {
        goals.push_back({"Host CPU per 4 KB block, share of its modeled time", "< 1 %", "not measured",
                         Fixed(worstShare * kPercent, 4) + " %", worstShare < kCpuShareLimit});
    }
    if (goals.empty()) return;
    out << "## Goals\n\n"
           "FT2232D at 6 MHz unless a goal says otherwise; *When set* is the figure when the goal was set. "
           "`continue` in the GDB server resumes by a DHCSR write with no settling pause; that pause is host "
           "time, not in the model, so it has no row.\n\n"
           "| Goal | Target | When set | Now | |\n|---|---|---|---|---|\n";
    for (const Goal& g : goals) {
        out << "| " << g.what << " | " << g.target << " | " << g.then << " | " << g.now << " | "
            << (g.met ? "met" : "NOT met") << " |\n";
    }
    out << "\n";
}

// What the figures say, each point checked against them before it is written.
void WriteObservations(std::ostream& out, const Results& results) {
    out << "## Observations\n\n";
    const uint32_t fast = kFastClockHz;
    const Row* swdWord = FindRow(results, ChipType::Ft2232D, fast, "SWD direct", kReadWord);
    const Row* swdBlock = FindRow(results, ChipType::Ft2232D, fast, "SWD direct", kReadBlock);
    const Row* swdBatched = FindRow(results, ChipType::Ft2232H, fast, "SWD batched", kReadBlock);
    const Row* jtagBatched = FindRow(results, ChipType::Ft2232H, fast, "JTAG batched", kReadBlock);
    if (swdWord != nullptr && swdBlock != nullptr && swdWord->figures.latencyPackets == swdWord->figures.roundTrips) {
        out << "- **SWD reads wait for the latency timer.** The SWD read stream (`src/transport/swd_protocol.cpp`) "
               "and the batch flush (`src/transport/swd_batch.cpp`) end without a send-immediate command, so every "
               "SWD round trip is answered only when the chip's 2 ms latency timer runs out: each of the "
            << Count(swdWord->figures.roundTrips) << " round trips of a single word read, and each of the "
            << Count(swdBlock->figures.roundTrips) << " of a direct 4 KB block read ("
            << Seconds(swdBlock->figures.modeledSeconds) << " on the FT2232D). The JTAG engine ends every read with "
               "send-immediate and waits about a frame instead.";
        if (swdBatched != nullptr && jtagBatched != nullptr) {
            out << " On the FT2232H, where the bus costs little, a batched 4 KB read takes "
                << Ms(swdBatched->figures.modeledSeconds) << " ms over SWD against "
                << Ms(jtagBatched->figures.modeledSeconds) << " ms over JTAG for more wire cycles.";
        }
        out << " Appending 0x87 to the read stream and to the batch would remove these waits (library code, not "
               "changed here).\n";
    }
    const Row* jtagDirect = FindRow(results, ChipType::Ft2232D, fast, "JTAG direct", kReadBlock);
    const Row* swdDirectWrite = FindRow(results, ChipType::Ft2232D, fast, "SWD direct", kWriteBlock);
    if (jtagDirect != nullptr && swdDirectWrite != nullptr) {
        out << "- **Direct reads pay a round trip per transaction; writes travel together.** The backends hold "
               "write-only transfers until the next read or the end of the export (`src/adapter/held_writes.*`), "
               "so a direct 4 KB SWD block write goes out in "
            << Count(swdDirectWrite->figures.writes) << " transfer(s) and takes "
            << Ms(swdDirectWrite->figures.modeledSeconds)
            << " ms on the FT2232D, while a direct 4 KB JTAG read, each transaction answered before the next, "
               "makes "
            << Count(jtagDirect->figures.roundTrips) << " round trips and takes "
            << Seconds(jtagDirect->figures.modeledSeconds) << ", about a frame each.\n";
    }
    const Row* batchedD = FindRow(results, ChipType::Ft2232D, fast, "JTAG batched", kReadBlock);
    const Row* batchedSlow = FindRow(results, ChipType::Ft2232D, kSlowClockHz, "JTAG batched", kReadBlock);
    if (batchedD != nullptr && batchedSlow != nullptr) {
        const Figures& f = batchedD->figures;
        const Figures& g = batchedSlow->figures;
        out << "- **Batched blocks on the FT2232D are bound by USB bytes at 6 MHz and by the wire at 1 MHz.** At 6 "
               "MHz a batched JTAG read moves "
            << Count(f.bytesOut) << " bytes out and " << Count(f.bytesIn) << " in for 4096 bytes of data; the bytes alone need "
            << Ms(f.usbBoundSeconds) << " ms of the " << Ms(f.modeledSeconds) << " ms it takes, the wire "
            << Ms(f.wireSeconds) << " ms. At 1 MHz the wire needs " << Ms(g.wireSeconds) << " ms of "
            << Ms(g.modeledSeconds) << " ms.\n";
    }
    const Row* flash = FindRow(results, ChipType::Ft2232D, fast, "SWD batched", kFlash);
    if (flash != nullptr) {
        const double words = kFlashWords;
        const cm3sim::SimConfig defaults;
        const double controllerSeconds =
            (static_cast<double>(kFlashBytes / kFlashPageBytes) * static_cast<double>(defaults.flashEraseNs) +
             words * static_cast<double>(defaults.flashProgramNs)) / kNanosecondsPerSecond;
        out << "- **`cm3probe flash` is bound by the flash controller and the round trips around it.** "
               "`tools/common/flash.cpp` erases page by page, then copies a loader to SRAM that programs 4 KB of "
               "words per run from one of two slots while the host copies the next run's words into the other, "
               "and reads everything back. 64 KB (16384 words) costs "
            << Count(flash->figures.roundTrips) << " round trips and " << Seconds(flash->figures.modeledSeconds)
            << " over SWD batched on the FT2232D at 6 MHz; the controller's own erase and program times need "
            << Seconds(controllerSeconds) << " at the simulator's defaults, spent by the host polling while they run, "
               "and the bytes "
            << Seconds(flash->figures.usbBoundSeconds)
            << ". The rest is host traffic the controller's work cannot hide: the erase commands, the first "
               "slot's copy, each run's start (a PC write and a DHCSR resume) and outcome (two word reads), the "
               "saving and restoring of what the loader disturbs, and the read-back.\n";
    }
    if (flash == nullptr) {
        out << "- The tool workloads did not run; see \"Through the tools\".\n";
    }
    const ComparisonRow* wireBound =
        FindComparison(results, ChipType::Ft2232H, kSlowClockHz, kComparisonJtag, kComparisonWrite);
    const ComparisonRow* frameBound =
        FindComparison(results, ChipType::Ft2232D, kSlowClockHz, kComparisonJtag, kComparisonWrite);
    if (wireBound != nullptr && frameBound != nullptr && Ratio(*wireBound) < 1 &&
        wireBound->ours.wireSeconds < wireBound->openocd.wireSeconds &&
        frameBound->ours.roundTrips > frameBound->openocd.roundTrips && Ratio(*frameBound) > 1) {
        out << "- **Against OpenOCD, the library clocks fewer wire cycles but makes more round trips.** Where the "
               "wire bounds both (FT2232H, 1 MHz) its 64 KB JTAG write clocks the wire for "
            << Ms(wireBound->ours.wireSeconds) << " ms against OpenOCD's " << Ms(wireBound->openocd.wireSeconds)
            << " ms and takes " << Fixed(Ratio(*wireBound), 2)
            << " times OpenOCD's time. On the FT2232D, where a round trip costs about a frame, OpenOCD's larger "
               "flushes win: "
            << Count(frameBound->openocd.roundTrips) << " round trips for that write against our "
            << Count(frameBound->ours.roundTrips) << " ("
            << Count(frameBound->ours.roundTrips * kBlockBytes / kComparisonBytes) << " per 4 KB block), "
            << Fixed(Ratio(*frameBound), 2)
            << " times OpenOCD's time even at 1 MHz.\n";
    }
    const ComparisonRow* swdRead = FindComparison(results, ChipType::Ft2232H, fast, kComparisonSwd, kComparisonRead);
    if (swdRead != nullptr && swdRead->openocd.latencyPackets == 0 && swdRead->ours.latencyPackets > 0 &&
        Ratio(*swdRead) > 1) {
        out << "- **OpenOCD is furthest ahead on SWD reads.** It ends every flush that reads with send-immediate "
               "(it must: it sets the latency timer to "
            << results.comparisonLatencyMs << " ms), so its 64 KB SWD read on the FT2232H at 6 MHz takes "
            << Ms(swdRead->openocd.modeledSeconds) << " ms for " << Ms(swdRead->openocd.wireSeconds)
            << " ms of wire; ours takes " << Ms(swdRead->ours.modeledSeconds) << " ms ("
            << Fixed(Ratio(*swdRead), 2) << " times), " << Count(swdRead->ours.latencyPackets) << " of its "
            << Count(swdRead->ours.roundTrips) << " round trips answered only by the 2 ms latency timer: the "
               "send-immediate gap of the first point.\n";
    }
    out << "\n";
}

void WriteModel(std::ostream& out) {
    out << "## How the figures are made\n\n"
           "The workload runner (`bench_workloads`) opens the library on the in-process simulator for each chip "
           "model, clock and transport path, and runs each operation "
           "8 times on SRAM (the core registers, halt and step on a core looping at its reset handler). The "
           "figures are averages over those runs; counters that vary (polls of DHCSR) show a fraction. The "
           "simulator's USB timing model (`sim/usb/usb_timing.*`, described in `sim/README.md` under \"USB "
           "timing\") gives the time: each transfer starts on a (micro)frame boundary, packets take their share of "
           "the bus, the chip takes host bytes only while its 128-byte (D) or 4 KB (H) buffer has room and runs "
           "each command for its wire cycles, and replies go up when a packet is full, a send-immediate ran, or "
           "the latency timer (2 ms, as the library sets it) ran out. The runner lets the target's clock follow the "
           "host (it lives through the engine's idle time too), so waits on the target end as on a bench. Host CPU "
           "time is not in the modeled time.\n\n"
           "Columns: *Writes*, *Reads*: driver calls. *Bytes out/in*: payload each way. *Round trips*: reads "
           "that waited for the chip. *Latency packets*: packets the latency timer sent. *Wire cycles*: clock "
           "cycles on SWCLK/TCK. *Modeled ms*: the host's time from the call to its return. *USB bytes ms*: the "
           "same bytes in full packets at the bus's bulk rate, nothing else. *Wire ms*: the cycles at the "
           "clock, nothing else. KB/s is 1000 bytes per second of the block's 4096 bytes.\n\n";
}

void WriteHostCpu(std::ostream& out, const Results& results, const std::vector<Benchmark>& benchmarks,
                  const std::string& context, const ReportInputs& inputs) {
    out << "## Host CPU\n\n";
    if (benchmarks.empty()) {
        out << "No benchmark results were given (`--benchmarks`).\n\n";
    } else {
        out << "Google Benchmark (`bench_host_cpu`, Release build, median of repetitions" << (context.empty() ? "" : "; ")
            << context << "). `replay` runs the library on a recording of the simulator's replies, so it is the "
            << "library alone; `simulator` includes the pin-level simulator.\n\n"
            << "| Benchmark | CPU time | Rate |\n|---|--:|--:|\n";
        for (const Benchmark& b : benchmarks) {
            out << "| " << b.name << " | ";
            if (b.failed) {
                out << "failed | |\n";
                continue;
            }
            out << Duration(b.cpuSeconds) << " | ";
            if (b.itemsPerSecond > 0) {
                out << Fixed(b.itemsPerSecond / kUsPerSecond, 1) << " M items/s";
            } else if (b.bytesPerSecond > 0) {
                out << Fixed(b.bytesPerSecond / kUsPerSecond, 2) << " MB/s";
            }
            out << " |\n";
        }
        out << "\n";
    }

    out << "### The library's CPU time against its modeled USB time\n\n"
        << "Per 4 KB block on the FT2232D model (the slower bus, so the stricter test is at 6 MHz, where the "
           "modeled time is shortest). The limit is "
        << Fixed(kCpuShareLimit * kPercent, 0) << " %.\n\n"
        << "| Path | Block | Library CPU (replay) | Modeled at 6 MHz | Share | Modeled at 1 MHz | Share |\n"
        << "|---|---|--:|--:|--:|--:|--:|\n";
    for (const Path& path : kPaths) {
        for (bool read : {true, false}) {
            const Benchmark* b =
                FindBenchmark(benchmarks, "block_4k/" + PathId(path) + (read ? "/read" : "/write") + "/replay");
            out << "| " << path.name << " | " << (read ? "read" : "write") << " | "
                << (b != nullptr ? Duration(b->cpuSeconds) : std::string("no figure")) << " |";
            for (uint32_t clock : {kFastClockHz, kSlowClockHz}) {
                const Row* row =
                    FindRow(results, ChipType::Ft2232D, clock, path.name, read ? kReadBlock : kWriteBlock);
                if (row == nullptr || b == nullptr) {
                    out << " | |";
                    continue;
                }
                const double share = b->cpuSeconds / row->figures.modeledSeconds;
                out << " " << Ms(row->figures.modeledSeconds) << " ms | " << Fixed(share * kPercent, 4) << " %"
                    << (share < kCpuShareLimit ? "" : " (over)") << " |";
            }
            out << "\n";
        }
    }
    out << "\n";

    out << "### Instruction counts (callgrind)\n\n";
    const std::string totals = ReadFile(inputs.callgrindTotals);
    if (totals.empty()) {
        out << "No callgrind counts were given (`--callgrind`).\n\n";
    } else {
        out << "`valgrind --tool=callgrind` on `bench_block_once`, collecting only inside the one batched 4 KB "
               "block (FT2232D model, 6 MHz). Instruction counts do not depend on the machine's load.\n\n"
            << "| Block | Library alone (replay) | Library and simulator | Library per word |\n|---|--:|--:|--:|\n";
        std::istringstream lines(totals);
        std::string line;
        std::map<std::string, std::string> counts;
        while (std::getline(lines, line)) {
            const size_t tab = line.find('\t');
            if (tab != std::string::npos) counts[line.substr(0, tab)] = line.substr(tab + 1);
        }
        for (const char* proto : {"swd", "jtag"}) {
            for (const char* dir : {"read", "write"}) {
                const std::string key = std::string(proto) + " " + dir;
                const std::string replay = counts[key + " replay"];
                const std::string sim = counts[key + " simulator"];
                std::string perWord;
                if (!replay.empty()) perWord = Fixed(std::stod(replay) / (kBlockBytes / sizeof(uint32_t)), 0);
                out << "| " << (std::string(proto) == "swd" ? "SWD" : "JTAG") << " batched " << dir << " | "
                    << (replay.empty() ? "no figure" : replay) << " | " << (sim.empty() ? "no figure" : sim) << " | "
                    << perWord << " |\n";
            }
        }
        out << "\n";
    }

    out << "### Heap allocations\n\n";
    const std::string log = ReadFile(inputs.allocationLog);
    std::vector<std::string> found;
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t at = line.find(kAllocationTag);
        if (at != std::string::npos) found.push_back(line.substr(at + std::string(kAllocationTag).size()));
    }
    if (found.empty()) {
        out << "No allocation counts were given (`--allocations`).\n\n";
    } else {
        out << "`tests/bench/allocation_test.cpp` (a ctest test) replaces the global `operator new` and counts "
               "what the library allocates, after a warm-up, while it runs direct and batched block transfers and "
               "single accesses; the simulator's own allocations are counted apart. It asserts zero for the "
               "library. The same test streams four 4 KB blocks of replies through the libftdi1 backend's receive "
               "queue (`src/adapter/ftdi_receive_queue.h`, a ring that only grows), which the simulated paths do "
               "not use, and asserts zero for it too.\n\n```\n";
        for (const std::string& entry : found) out << entry << "\n";
        out << "```\n\n";
    }
}

void WriteTools(std::ostream& out, const Results& results) {
    out << "## Through the tools\n\n";
    if (results.toolTables.empty() && results.toolNotes.empty()) {
        out << "No tool workloads were run.\n\n";
        return;
    }
    for (const std::string& note : results.toolNotes) out << note << "\n\n";
    for (const Table& table : results.toolTables) PrintTable(out, table);
}

void WriteComparison(std::ostream& out, const Results& results) {
    out << "## OpenOCD on the same model\n\n";
    if (!results.comparisonRan) {
        out << "The comparison was not run (`bench_workloads --no-openocd`).\n\n";
        return;
    }
    out << "OpenOCD (the `ftdi` driver with the shipped `tools/openocd/swd.cfg` and `jtag.cfg`, `adapter speed` set "
           "to the clock) runs as its own process with the virtual FT2232 (`sim/vusb`) preloaded as its libusb, on "
           "a simulator with the same looping firmware, halted. The virtual device feeds the same USB timing model "
           "as the in-process driver: each bulk-out transfer is a driver write whose MPSSE commands are reported as "
           "they complete, each bulk-in transfer that ends is a driver read (one that brings only status bytes "
           "waits for the latency timer, which OpenOCD sets to "
        << results.comparisonLatencyMs
        << " ms), and each vendor request is a control transfer of a frame. In one session per row OpenOCD "
           "writes the 64 KB of SRAM with `load_image` (a 64 KB file) and reads it back with `dump_image` (checked "
           "equal), "
        << kComparisonRepetitions
        << " times each. Every operation is bracketed by `ftdi set_signal` on a spare ACBUS pin, which OpenOCD "
           "sends as a 3-byte transfer of its own; the device records its counters before and after each transfer "
           "that changes the ACBUS latch. An operation's figures are the counters from the end of the transfer "
           "that raised the pin to the start of the one that lowered it: exactly the operation's traffic and the "
           "host's time for it, nothing of the brackets. *Ours* is the library doing the same 64 KB as 16 "
           "`DebugWriteBlock` or `DebugReadBlock` calls of 4 KB on the batched path of the same transport, chip and "
           "clock, "
        << kComparisonRepetitions
        << " times, counted as everywhere else in this report. Figures are averages; *Ratio* is our modeled "
           "time over OpenOCD's (below 1: the library is faster).\n\n";
    PrintComparison(out, results);
}

}  // namespace

Figures Average(const std::vector<cm3sim::UsbCounters>& repetitions, const cm3sim::UsbBus& bus) {
    Figures f;
    if (repetitions.empty()) return f;
    for (const cm3sim::UsbCounters& c : repetitions) {
        f.writes += static_cast<double>(c.writes);
        f.reads += static_cast<double>(c.reads);
        f.bytesOut += static_cast<double>(c.bytesOut);
        f.bytesIn += static_cast<double>(c.bytesIn);
        f.roundTrips += static_cast<double>(c.roundTrips);
        f.wireCycles += static_cast<double>(c.wireCycles);
        f.latencyPackets += static_cast<double>(c.latencyPackets);
        f.immediatePackets += static_cast<double>(c.immediatePackets);
        f.modeledSeconds += c.modeledSeconds();
        f.wireSeconds += c.wireSeconds();
        f.usbBoundSeconds += cm3sim::UsbByteBoundSeconds(bus, c);
    }
    const double n = static_cast<double>(repetitions.size());
    for (double* field : {&f.writes, &f.reads, &f.bytesOut, &f.bytesIn, &f.roundTrips, &f.wireCycles,
                          &f.latencyPackets, &f.immediatePackets, &f.modeledSeconds, &f.wireSeconds,
                          &f.usbBoundSeconds}) {
        *field /= n;
    }
    return f;
}

void PrintTable(std::ostream& out, const Table& table) {
    out << "### " << Title(table.chip, table.clockHz) << "\n\n"
        << "| Path | Operation | Writes | Reads | Bytes out | Bytes in | Round trips | Latency packets | Wire cycles "
           "| Modeled ms | USB bytes ms | Wire ms | KB/s | USB bytes KB/s | Wire KB/s |\n"
        << "|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|\n";
    for (const Row& row : table.rows) {
        out << "| " << row.path << " | " << row.operation << " |";
        if (!row.ok) {
            out << " " << row.note << " | | | | | | | | | | | | |\n";
            continue;
        }
        const Figures& f = row.figures;
        out << " " << Count(f.writes) << " | " << Count(f.reads) << " | " << Count(f.bytesOut) << " | "
            << Count(f.bytesIn) << " | " << Count(f.roundTrips) << " | " << Count(f.latencyPackets) << " | "
            << Count(f.wireCycles) << " | " << Ms(f.modeledSeconds) << " | " << Ms(f.usbBoundSeconds) << " | "
            << Ms(f.wireSeconds) << " |";
        if (row.payloadBytes == 0) {
            out << " | | |\n";
            continue;
        }
        const double bytes = row.payloadBytes;
        out << " " << Rate(KiloBytesPerSecond(bytes, f.modeledSeconds)) << " | "
            << Rate(KiloBytesPerSecond(bytes, f.usbBoundSeconds)) << " | "
            << Rate(KiloBytesPerSecond(bytes, f.wireSeconds)) << " |\n";
    }
    out << "\n";
}

void PrintComparison(std::ostream& out, const Results& results) {
    for (const std::string& note : results.comparisonNotes) out << note << "\n\n";
    if (results.comparison.empty()) return;
    out << "| Chip | Clock | Transport | Operation | OpenOCD modeled ms | OpenOCD round trips | OpenOCD bytes out / in "
           "| OpenOCD latency packets | OpenOCD wire ms | Ours modeled ms | Ours round trips | Ours bytes out / in | "
           "Ours latency packets | Ours wire ms | Ratio (ours / OpenOCD) |\n"
        << "|---|---|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|\n";
    for (const ComparisonRow& row : results.comparison) {
        out << "| " << ChipName(row.chip) << " | " << Count(row.clockHz / kHzPerMHz) << " MHz | " << row.transport
            << " | " << row.operation << " |";
        if (!row.ok) {
            out << " " << row.note << " | | | | | | | | | | |\n";
            continue;
        }
        for (const Figures* f : {&row.openocd, &row.ours}) {
            out << " " << Ms(f->modeledSeconds) << " | " << Count(f->roundTrips) << " | " << BytesOutIn(*f) << " | "
                << Count(f->latencyPackets) << " | " << Ms(f->wireSeconds) << " |";
        }
        out << " " << Fixed(Ratio(row), 2) << " |\n";
    }
    out << "\n";
}

void WriteSweep(std::ostream& out, const std::vector<SweepPoint>& sweep, bool read) {
    std::vector<std::string> order;
    for (const SweepPoint& p : sweep) {
        if (p.read == read && std::find(order.begin(), order.end(), p.series) == order.end()) order.push_back(p.series);
    }
    for (const std::string& series : order) {
        out << "\"" << series << "\"\n";
        for (const SweepPoint& p : sweep) {
            if (p.read == read && p.series == series) {
                out << p.bytes << "\t" << Fixed(p.bytesPerSecond / kBytesPerKiloByte, 3) << "\n";
            }
        }
        out << "\n\n";
    }
}

void WriteReport(std::ostream& out, const Results& results, const ReportInputs& inputs) {
    std::string context;
    const std::vector<Benchmark> benchmarks = LoadBenchmarks(inputs.benchmarkJson, &context);
    out << "# cm3probe performance report\n\n"
        << "Written by `bench/make-report.sh`, which builds Release, runs the host CPU benchmarks, callgrind, the "
           "allocation test and the workload runner, and writes this file and the plot. Do not edit it by hand: "
           "every figure here is one the code in this tree produced. Modeled figures are the model's arithmetic "
           "and repeat from run to run (the tool rows, separate processes sharing the machine's probe lock, may "
           "move by a few transfers); host CPU times are this machine's.\n\n";
    WriteSummary(out, results, benchmarks);
    WriteGoals(out, results, benchmarks);
    WriteObservations(out, results);
    WriteModel(out);
    out << "## Library exports on the simulator\n\n";
    for (const Table& table : results.tables) PrintTable(out, table);
    WriteTools(out, results);
    WriteComparison(out, results);
    out << "## Block throughput against block size\n\n";
    if (!inputs.plotFile.empty()) {
        out << "Modeled throughput of `DebugReadBlock` and `DebugWriteBlock` at 6 MHz, by block size (at SRAM "
               "start; mean of 3 runs). Solid lines: FT2232D; dashed: FT2232H.\n\n"
            << "![Modeled block throughput](" << inputs.plotFile << ")\n\n";
    }
    WriteHostCpu(out, results, benchmarks, context, inputs);
}

}  // namespace cm3bench
