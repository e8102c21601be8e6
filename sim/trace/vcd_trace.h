// The wire as a VCD file for GTKWave or PulseView: SWCLK, SWDIO and nRESET
// while the clock has run only on the SWD wiring; TCK, TMS, TDI, TDO and nRESET
// once it ran on the JTAG wiring (SWCLK is TCK and SWDIO is TMS: one pin each
// on the SWJ-DP, so a JTAG session's SWD-to-JTAG switch shows on TMS). The
// header is written at once and its names rewritten in place, both variants
// padded to one length.
//
// Times are virtual: a clock cycle starts where the previous one ended, its
// second edge comes half a period after its first, and every other change
// goes a quarter period after the edge before it (spread over the next
// quarter when there are several), so no line moves on a clock edge. Work
// between clock cycles takes no virtual time. A cycle's period is known once
// the next cycle starts, so the open cycle is written then, or at the end.
#pragma once

#include <cstdint>
#include <fstream>
#include <ios>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "wire/target_board.h"
#include "wire/virtual_time.h"

namespace cm3sim {

namespace vcd {
inline constexpr const char* kTimescale = "1ns";
// The period assumed for a cycle whose length was never measured: 1 MHz.
inline constexpr uint64_t kDefaultPeriodUnits = mpsse::clock::kTimeUnitsPerNs * mpsse::clock::kNsPerMicrosecond;
inline constexpr uint64_t kHalvesPerPeriod = 2;
inline constexpr uint64_t kQuartersPerPeriod = 4;
}  // namespace vcd

class VcdTrace : public LineObserver {
public:
    // Writes to `out`, which must outlive the trace; `initial` are the lines
    // when tracing starts.
    VcdTrace(std::ostream& out, const VirtualTime& time, const BoardLines& initial);
    // Writes to the file at `path`; throws std::runtime_error when it cannot be created.
    VcdTrace(const std::string& path, const VirtualTime& time, const BoardLines& initial);
    ~VcdTrace() override;
    VcdTrace(const VcdTrace&) = delete;
    VcdTrace& operator=(const VcdTrace&) = delete;

    void linesChanged(const BoardLines& lines, bool clockEdge) override;
    // Writes everything seen so far, the open cycle at its last known period;
    // the trace ends there.
    void finish();

private:
    struct Step {
        bool edge;
        BoardLines lines;
    };
    struct Signal {
        char id;
        const char* name;
        bool BoardLines::*line;
    };

    void start();
    std::string declarations(bool jtag) const;
    std::string header(bool jtag) const;
    void useJtagNames();
    void writeCycle(uint64_t period);
    void spread(size_t begin, size_t end, uint64_t start, uint64_t window);
    void emit(uint64_t units, const BoardLines& lines, bool clockOnly);

    std::unique_ptr<std::ofstream> file_;
    std::ostream& out_;
    const VirtualTime& time_;
    BoardLines emitted_;
    BoardLines initial_;
    std::vector<Signal> signals_;  // declared in the header as it stands
    std::streampos headerStart_;
    bool jtagNames_ = false;
    bool finished_ = false;

    std::vector<BoardLines> preamble_;  // changes before the first clock edge
    std::vector<Step> cycle_;           // the open cycle: edge, changes, edge, changes
    size_t edgesInCycle_ = 0;
    uint64_t cycleStartUnits_ = 0;      // virtual time at the open cycle's first edge
    uint64_t cycleTraceUnits_ = 0;      // where that edge goes in the trace
    uint64_t lastPeriod_ = vcd::kDefaultPeriodUnits;
    bool anyCycle_ = false;
    uint64_t lastWrittenNs_ = 0;
};

}  // namespace cm3sim
