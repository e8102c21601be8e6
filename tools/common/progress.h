// A progress bar on stderr for transfers that take a while: drawn only on a
// terminal and only once the transfer has run for about a second, so quick
// commands and scripts see nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

#include "transfer.h"

namespace cm3tools {

bool StderrIsTerminal();

class ProgressBar {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kShowAfter{1000};
    static constexpr std::chrono::milliseconds kRedrawEvery{100};
    static constexpr int kWidth = 40;

    // enabled: draw at all (usually StderrIsTerminal()).
    ProgressBar(std::string label, std::ostream& out, bool enabled);
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void update(uint64_t done, uint64_t total);
    // Ends the bar's line if one was drawn.
    void finish();
    // A Progress that updates this bar; it must not outlive it.
    Progress callback();

    // One line of the bar, without the carriage return: "label [####   ]  45%  12/34 KB".
    static std::string Render(const std::string& label, uint64_t done, uint64_t total);

private:
    std::string label_;
    std::ostream& out_;
    bool enabled_;
    bool drawn_ = false;
    Clock::time_point start_;
    Clock::time_point lastDraw_;
};

}  // namespace cm3tools
