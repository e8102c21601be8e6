#include "trace/vcd_trace.h"

#include <algorithm>
#include <stdexcept>

namespace cm3sim {
namespace {

// Identifier codes: letters, so no reader takes one for a timestamp.
inline constexpr char kClockId = 'k';
inline constexpr char kDataId = 'd';
inline constexpr char kTdiId = 'i';
inline constexpr char kTdoId = 'o';
inline constexpr char kResetId = 'r';

struct Declared {
    char id;
    const char* name;
    bool BoardLines::*line;
};
const std::vector<Declared> kSwdSignals = {{kClockId, "SWCLK", &BoardLines::clock},
                                           {kDataId, "SWDIO", &BoardLines::swdioTms},
                                           {kResetId, "nRESET", &BoardLines::reset}};
const std::vector<Declared> kJtagSignals = {{kClockId, "TCK", &BoardLines::clock},
                                            {kDataId, "TMS", &BoardLines::swdioTms},
                                            {kTdiId, "TDI", &BoardLines::tdi},
                                            {kTdoId, "TDO", &BoardLines::tdo},
                                            {kResetId, "nRESET", &BoardLines::reset}};

}  // namespace

VcdTrace::VcdTrace(std::ostream& out, const VirtualTime& time, const BoardLines& initial)
    : out_(out), time_(time), emitted_(initial), initial_(initial) {
    start();
}

VcdTrace::VcdTrace(const std::string& path, const VirtualTime& time, const BoardLines& initial)
    : file_(std::make_unique<std::ofstream>(path, std::ios::out | std::ios::trunc)),
      out_(*file_),
      time_(time),
      emitted_(initial),
      initial_(initial) {
    if (!*file_) throw std::runtime_error("cannot create " + path);
    start();
}

void VcdTrace::start() {
    headerStart_ = out_.tellp();
    out_ << header(false);
    for (const Declared& d : kSwdSignals) signals_.push_back({d.id, d.name, d.line});
}

VcdTrace::~VcdTrace() {
    finish();
}

std::string VcdTrace::declarations(bool jtag) const {
    const std::vector<Declared>& declared = jtag ? kJtagSignals : kSwdSignals;
    std::string text = "$version cm3probe simulator wire trace $end\n$timescale ";
    text += vcd::kTimescale;
    text += " $end\n$scope module ";
    text += jtag ? "jtag" : "swd";
    text += " $end\n";
    for (const Declared& d : declared) text += std::string("$var wire 1 ") + d.id + ' ' + d.name + " $end\n";
    text += "$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n";
    for (const Declared& d : declared) text += std::string(1, initial_.*d.line ? '1' : '0') + d.id + '\n';
    text += "$end";
    return text;
}

std::string VcdTrace::header(bool jtag) const {
    // Both variants take the same bytes, so one can replace the other in place.
    const std::string swd = declarations(false);
    const std::string jtagText = declarations(true);
    std::string text = jtag ? jtagText : swd;
    text.append(std::max(swd.size(), jtagText.size()) - text.size(), ' ');
    text += '\n';
    return text;
}

void VcdTrace::useJtagNames() {
    jtagNames_ = true;
    const std::streampos end = out_.tellp();
    out_.seekp(headerStart_);
    out_ << header(true);
    out_.seekp(end);
    signals_.clear();
    for (const Declared& d : kJtagSignals) signals_.push_back({d.id, d.name, d.line});
}

void VcdTrace::linesChanged(const BoardLines& lines, bool clockEdge) {
    if (finished_) return;
    if (!clockEdge) {
        if (anyCycle_) {
            cycle_.push_back({false, lines});
        } else {
            preamble_.push_back(lines);
        }
        return;
    }
    // The wiring at power-on is JTAG (ADBUS7 pulled high) whatever the session
    // becomes; only a clock on the JTAG wiring names the lines.
    if (!lines.swdWiring && !jtagNames_) useJtagNames();
    const uint64_t now = time_.totalUnits();
    if (!anyCycle_) {
        anyCycle_ = true;
        cycleStartUnits_ = now;
    } else if (edgesInCycle_ >= vcd::kHalvesPerPeriod) {
        // An edge that was never charged a cycle (a stalled clock) takes the last period.
        const uint64_t period = now > cycleStartUnits_ ? now - cycleStartUnits_ : lastPeriod_;
        writeCycle(period);
        cycleStartUnits_ = now;
        edgesInCycle_ = 0;
    }
    cycle_.push_back({true, lines});
    // What the edge launched moves after it.
    cycle_.push_back({false, lines});
    ++edgesInCycle_;
}

void VcdTrace::writeCycle(uint64_t period) {
    lastPeriod_ = period;
    const uint64_t half = period / vcd::kHalvesPerPeriod;
    const uint64_t quarter = period / vcd::kQuartersPerPeriod;
    if (cycleTraceUnits_ == 0) {
        // The first cycle starts one period in; the set-up before it goes
        // into the middle half of that period.
        for (size_t k = 0; k < preamble_.size(); ++k) {
            emit(quarter + half * k / preamble_.size(), preamble_[k], false);
        }
        preamble_.clear();
        cycleTraceUnits_ = period;
    }
    uint64_t edgeAt = cycleTraceUnits_;
    size_t i = 0;
    while (i < cycle_.size()) {
        size_t end = i + 1;
        while (end < cycle_.size() && !cycle_[end].edge) ++end;
        if (cycle_[i].edge) {
            emit(edgeAt, cycle_[i].lines, true);
            spread(i + 1, end, edgeAt + quarter, quarter);
        } else {
            spread(i, end, edgeAt + quarter, quarter);
        }
        i = end;
        edgeAt += half;
    }
    cycle_.clear();
    cycleTraceUnits_ += period;
}

void VcdTrace::spread(size_t begin, size_t end, uint64_t start, uint64_t window) {
    const size_t count = end - begin;
    for (size_t k = 0; k < count; ++k) emit(start + window * k / count, cycle_[begin + k].lines, false);
}

void VcdTrace::emit(uint64_t units, const BoardLines& lines, bool clockOnly) {
    const uint64_t ns = units / mpsse::clock::kTimeUnitsPerNs;
    bool stamped = false;
    for (const Signal& signal : signals_) {
        const bool isClock = signal.line == &BoardLines::clock;
        if (clockOnly != isClock) continue;
        const bool value = lines.*signal.line;
        if (value == emitted_.*signal.line) continue;
        if (!stamped && ns > lastWrittenNs_) {
            out_ << '#' << ns << '\n';
            lastWrittenNs_ = ns;
        }
        stamped = true;
        out_ << (value ? '1' : '0') << signal.id << '\n';
        // Lines the header does not declare keep their last written value.
        emitted_.*signal.line = value;
    }
}

void VcdTrace::finish() {
    if (finished_) return;
    writeCycle(lastPeriod_);
    const uint64_t endNs = cycleTraceUnits_ / mpsse::clock::kTimeUnitsPerNs;
    if (endNs > lastWrittenNs_) out_ << '#' << endNs << '\n';
    out_.flush();
    finished_ = true;
}

}  // namespace cm3sim
