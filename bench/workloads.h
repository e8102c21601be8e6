// The workload runner's results, shared by its table printer and the report.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "config.h"
#include "usb/usb_timing.h"

namespace cm3bench {

// One operation's figures, averaged over its repetitions.
struct Figures {
    double writes = 0;
    double reads = 0;
    double bytesOut = 0;
    double bytesIn = 0;
    double roundTrips = 0;
    double wireCycles = 0;
    double latencyPackets = 0;
    double immediatePackets = 0;
    double modeledSeconds = 0;
    double wireSeconds = 0;
    double usbBoundSeconds = 0;
};

Figures Average(const std::vector<cm3sim::UsbCounters>& repetitions, const cm3sim::UsbBus& bus);

struct Row {
    std::string path;
    std::string operation;
    uint32_t payloadBytes = 0;  // bytes moved to or from the target; 0 when no throughput applies
    bool ok = true;             // every repetition returned success
    std::string note;           // why a row has no figures
    Figures figures;
};

struct Table {
    cm3sim::ChipType chip = cm3sim::ChipType::Ft2232D;
    uint32_t clockHz = 0;
    std::vector<Row> rows;
};

// Modeled block throughput by block size, for the plot.
struct SweepPoint {
    std::string series;  // path and chip
    bool read = true;
    uint32_t bytes = 0;
    double bytesPerSecond = 0;
};

struct Results {
    std::vector<Table> tables;
    std::vector<SweepPoint> sweep;
    // Workloads through the command line and the GDB server, and what kept
    // any of them from running.
    std::vector<Table> toolTables;
    std::vector<std::string> toolNotes;
};

// The flash workload: 64 KB, 16384 words.
inline constexpr uint32_t kFlashBytes = 64 * 1024;
inline constexpr uint32_t kFlashWords = kFlashBytes / sizeof(uint32_t);

// Thousands of bytes per second.
inline double KiloBytesPerSecond(double bytes, double seconds) { return seconds > 0 ? bytes / seconds / 1000.0 : 0; }

void PrintTable(std::ostream& out, const Table& table);
// The sweep's read or write half as gnuplot data: one block per series, its
// title on the block's first line.
void WriteSweep(std::ostream& out, const std::vector<SweepPoint>& sweep, bool read);

// Inputs of the report beyond the runner's own results, each a file written
// by bench/make-report.sh; a missing one leaves its section saying so.
struct ReportInputs {
    std::string benchmarkJson;   // bench_host_cpu --benchmark_out
    std::string callgrindTotals; // lines "name<TAB>instructions"
    std::string allocationLog;   // the allocation test's output
    std::string plotFile;        // the PNG, named relative to the report
};

void WriteReport(std::ostream& out, const Results& results, const ReportInputs& inputs);

// The GDB server's `g` and `m` and the command line's flash, run as the
// programs at `cli` against a simulator served from this process; what is
// missing for them becomes a note.
void RunToolWorkloads(Results& results, const std::string& cli);

}  // namespace cm3bench
