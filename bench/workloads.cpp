// The workload runner: every export that matters for speed, on each transport
// path, clock and chip model, with the USB traffic it caused and the time the
// simulator's USB timing model gives it.
//
//   bench_workloads                      tables on stdout
//   bench_workloads --sweep DIR          also the block-size sweep, for the plot
//   bench_workloads --report FILE [--benchmarks JSON] [--callgrind TSV]
//                   [--allocations LOG] [--plot PNG]
//                                        the whole report in FILE
//   --cli PATH                           the command line for the tool
//                                        workloads (default: this build's)
//   --no-tools                           skip the tool workloads
//   --openocd PATH                       OpenOCD for the comparison (default:
//                                        the one on PATH)
//   --no-openocd                         skip the OpenOCD comparison
//   --only-openocd                       run the OpenOCD comparison alone
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "support/sim_session.h"
#include "workloads.h"

namespace cm3bench {
namespace {

using cm3sim::ChipType;
using cm3sim::UsbCounters;

// Each operation runs this often and its figures are averaged: the modeled
// time depends on where in the USB frame and latency period it starts.
inline constexpr int kRepetitions = 8;
inline constexpr int kSweepRepetitions = 3;
inline constexpr uint32_t kSweepSizes[] = {4, 16, 64, 256, 512, 1024, 2048, 4096};
inline constexpr uint32_t kWordSizeCode = 2;  // DebugReadMem's size for a word
inline constexpr uint32_t kRegisterR0 = 0;
inline constexpr uint32_t kPatternSeed = 0x5A;

struct Operation {
    const char* name;
    uint32_t payloadBytes;
    std::function<DebugResult()> prepare;  // unmeasured, before each repetition
    std::function<DebugResult()> run;
};

std::vector<uint8_t>& Buffer() {
    static std::vector<uint8_t> buffer(kBlockBytes);
    return buffer;
}

Row Run(const Path& path, const Operation& op, const cm3sim::UsbBus& bus) {
    Row row;
    row.path = path.name;
    row.operation = op.name;
    row.payloadBytes = op.payloadBytes;
    std::vector<UsbCounters> reps;
    for (int i = 0; i < kRepetitions; ++i) {
        if (op.prepare && op.prepare() != DBG_OK) row.ok = false;
        DebugResult result = DBG_OK;
        reps.push_back(Measure(op.run, &result));
        if (result != DBG_OK) row.ok = false;
    }
    row.figures = Average(reps, bus);
    if (!row.ok) row.note = "failed";
    return row;
}

std::vector<Operation> LibraryOperations() {
    std::vector<uint8_t>& buffer = Buffer();
    for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<uint8_t>(i * kPatternSeed);
    static uint32_t value = 0;
    // Run control first: the memory operations then find the core halted, so
    // the simulator does not run the firmware through their modeled time.
    return {
        {"DebugHaltCore", 0, [] { return DebugStartCore(); }, [] { return DebugHaltCore(); }},
        {"DebugStepCore", 0, {}, [] { return DebugStepCore(); }},
        {"DebugReadCoreRegister", 0, {}, [] { return DebugReadCoreRegister(kRegisterR0, &value); }},
        {"DebugReadMem (word)", 0, {}, [] { return DebugReadMem(kSram, &value, kWordSizeCode); }},
        {"DebugWriteMem (word)", 0, {}, [] { return DebugWriteMem(kSram, value, kWordSizeCode); }},
        {"DebugReadBlock 4096 B", kBlockBytes, {},
         [&buffer] { return DebugReadBlock(kSram, buffer.data(), kBlockBytes); }},
        {"DebugWriteBlock 4096 B", kBlockBytes, {},
         [&buffer] { return DebugWriteBlock(kSram, buffer.data(), kBlockBytes); }},
    };
}

Table RunTable(ChipType chip, uint32_t clockHz) {
    Table table;
    table.chip = chip;
    table.clockHz = clockHz;
    const cm3sim::UsbBus& bus = cm3sim::BusOf(chip);
    for (const Path& path : kPaths) {
        const DebugResult connected = Connect(path, chip, clockHz, true);
        for (const Operation& op : LibraryOperations()) {
            if (connected != DBG_OK) {
                table.rows.push_back(Row{path.name, op.name, op.payloadBytes, false, "could not connect", {}});
                continue;
            }
            table.rows.push_back(Run(path, op, bus));
        }
    }
    Disconnect();
    return table;
}

std::vector<SweepPoint> RunSweep() {
    std::vector<SweepPoint> points;
    std::vector<uint8_t>& buffer = Buffer();
    for (ChipType chip : {ChipType::Ft2232D, ChipType::Ft2232H}) {
        for (const Path& path : kPaths) {
            if (Connect(path, chip, kFastClockHz, true) != DBG_OK || DebugHaltCore() != DBG_OK) continue;
            const std::string series = std::string(path.name) + ", " + ChipName(chip);
            for (bool read : {true, false}) {
                for (uint32_t size : kSweepSizes) {
                    double seconds = 0;
                    bool ok = true;
                    for (int i = 0; i < kSweepRepetitions; ++i) {
                        DebugResult result = DBG_OK;
                        const UsbCounters c = Measure(
                            [&] {
                                return read ? DebugReadBlock(kSram, buffer.data(), size)
                                            : DebugWriteBlock(kSram, buffer.data(), size);
                            },
                            &result);
                        ok = ok && result == DBG_OK;
                        seconds += c.modeledSeconds();
                    }
                    if (!ok) continue;
                    points.push_back(SweepPoint{series, read, size, size * kSweepRepetitions / seconds});
                }
            }
        }
    }
    Disconnect();
    return points;
}

Results RunAll(bool tools, const std::string& cli, bool openocd, const std::string& openocdPath, bool onlyOpenocd) {
    Results results;
    if (onlyOpenocd) {
        RunOpenOcdComparison(results, openocdPath);
        return results;
    }
    for (ChipType chip : {ChipType::Ft2232D, ChipType::Ft2232H}) {
        for (uint32_t clock : {kFastClockHz, kSlowClockHz}) results.tables.push_back(RunTable(chip, clock));
    }
    results.sweep = RunSweep();
    if (tools) RunToolWorkloads(results, cli);
    if (openocd) RunOpenOcdComparison(results, openocdPath);
    return results;
}

// A program on PATH, or empty.
std::string FindOnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "";
    size_t start = 0;
    while (start <= dirs.size()) {
        const size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string dir = dirs.substr(start, end - start);
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return {};
}

int Usage() {
    std::cerr << "usage: bench_workloads [--sweep DIR] [--cli PATH | --no-tools]"
                 " [--openocd PATH | --no-openocd | --only-openocd]"
                 " [--report FILE [--benchmarks JSON] [--callgrind TSV] [--allocations LOG] [--plot PNG]]\n";
    return 2;
}

}  // namespace
}  // namespace cm3bench

int main(int argc, char** argv) {
    using namespace cm3bench;
    std::string sweepDir;
    std::string reportPath;
    ReportInputs inputs;
#ifdef CM3BENCH_CLI
    std::string cli = CM3BENCH_CLI;
#else
    std::string cli;
#endif
    bool tools = true;
    bool openocd = true;
    bool onlyOpenocd = false;
    std::string openocdPath = FindOnPath("openocd");
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--no-tools") {
            tools = false;
            continue;
        }
        if (arg == "--no-openocd") {
            openocd = false;
            continue;
        }
        if (arg == "--only-openocd") {
            onlyOpenocd = true;
            continue;
        }
        if (i + 1 >= argc) return Usage();
        const std::string value = argv[++i];
        if (arg == "--sweep") {
            sweepDir = value;
        } else if (arg == "--report") {
            reportPath = value;
        } else if (arg == "--benchmarks") {
            inputs.benchmarkJson = value;
        } else if (arg == "--callgrind") {
            inputs.callgrindTotals = value;
        } else if (arg == "--allocations") {
            inputs.allocationLog = value;
        } else if (arg == "--cli") {
            cli = value;
        } else if (arg == "--plot") {
            inputs.plotFile = value;
        } else if (arg == "--openocd") {
            openocdPath = value;
        } else {
            return Usage();
        }
    }
    const Results results = RunAll(tools, cli, openocd, openocdPath, onlyOpenocd);
    for (const Table& table : results.tables) PrintTable(std::cout, table);
    for (const std::string& note : results.toolNotes) std::cout << note << "\n\n";
    for (const Table& table : results.toolTables) PrintTable(std::cout, table);
    if (results.comparisonRan) PrintComparison(std::cout, results);
    if (!sweepDir.empty()) {
        for (bool read : {true, false}) {
            const std::string path = sweepDir + (read ? "/sweep-read.dat" : "/sweep-write.dat");
            std::ofstream sweep(path);
            WriteSweep(sweep, results.sweep, read);
            if (!sweep) {
                std::cerr << "cannot write " << path << "\n";
                return 1;
            }
        }
    }
    if (!reportPath.empty()) {
        std::ofstream report(reportPath);
        WriteReport(report, results, inputs);
        if (!report) {
            std::cerr << "cannot write " << reportPath << "\n";
            return 1;
        }
    }
    return 0;
}
