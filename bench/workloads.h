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

// A 64 KB SRAM operation by OpenOCD on the virtual USB device and by the
// library, on the same chip model, clock and transport.
struct ComparisonRow {
    cm3sim::ChipType chip = cm3sim::ChipType::Ft2232D;
    uint32_t clockHz = 0;
    std::string transport;  // SWD or JTAG
    std::string operation;
    bool ok = false;
    std::string note;  // why a row has no figures
    Figures openocd;
    Figures ours;  // 4 KB blocks, batched
};

// How often each comparison operation runs, on either side, and the
// operations' names.
inline constexpr int kComparisonRepetitions = 4;
inline constexpr const char* kComparisonWrite = "write 64 KB";
inline constexpr const char* kComparisonRead = "read 64 KB";
inline constexpr uint32_t kComparisonBytes = 64 * 1024;
inline constexpr const char* kComparisonSwd = "SWD";
inline constexpr const char* kComparisonJtag = "JTAG";

struct Results {
    std::vector<Table> tables;
    std::vector<SweepPoint> sweep;
    // Workloads through the command line and the GDB server, and what kept
    // any of them from running.
    std::vector<Table> toolTables;
    std::vector<std::string> toolNotes;
    // OpenOCD against the library; notes say what kept it from running.
    bool comparisonRan = false;
    uint32_t comparisonLatencyMs = 0;  // the latency timer OpenOCD set
    std::vector<ComparisonRow> comparison;
    std::vector<std::string> comparisonNotes;
};

// The flash workload: 64 KB, 16384 words.
inline constexpr uint32_t kFlashBytes = 64 * 1024;
inline constexpr uint32_t kFlashWords = kFlashBytes / sizeof(uint32_t);

// Thousands of bytes per second.
inline double KiloBytesPerSecond(double bytes, double seconds) { return seconds > 0 ? bytes / seconds / 1000.0 : 0; }

void PrintTable(std::ostream& out, const Table& table);
// The OpenOCD comparison: its notes and table.
void PrintComparison(std::ostream& out, const Results& results);
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

// The same 64 KB SRAM reads and writes by OpenOCD (the program at `openocd`,
// empty when it is not installed) over the virtual USB device and by the
// library, each chip model, clock and transport.
void RunOpenOcdComparison(Results& results, const std::string& openocd);

}  // namespace cm3bench
