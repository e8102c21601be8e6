#include "progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace cm3tools {
namespace {

inline constexpr uint64_t kPercent = 100;
inline constexpr uint64_t kKilobyte = 1024;

}  // namespace

bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

ProgressBar::ProgressBar(std::string label, std::ostream& out, bool enabled)
    : label_(std::move(label)), out_(out), enabled_(enabled), start_(Clock::now()), lastDraw_(start_) {}

ProgressBar::~ProgressBar() { finish(); }

std::string ProgressBar::Render(const std::string& label, uint64_t done, uint64_t total) {
    const uint64_t shown = total == 0 ? 0 : std::min(done, total);
    const uint64_t percent = total == 0 ? kPercent : shown * kPercent / total;
    const uint64_t filled = total == 0 ? kWidth : shown * kWidth / total;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.resize(kWidth, ' ');
    char counts[64];
    std::snprintf(counts, sizeof counts, " %3llu%%  %llu/%llu KB", static_cast<unsigned long long>(percent),
                  static_cast<unsigned long long>((shown + kKilobyte - 1) / kKilobyte),
                  static_cast<unsigned long long>((total + kKilobyte - 1) / kKilobyte));
    return label + " [" + bar + "]" + counts;
}

void ProgressBar::update(uint64_t done, uint64_t total) {
    if (!enabled_) return;
    const Clock::time_point now = Clock::now();
    if (now - start_ < kShowAfter) return;
    if (drawn_ && now - lastDraw_ < kRedrawEvery && done < total) return;
    lastDraw_ = now;
    drawn_ = true;
    out_ << '\r' << Render(label_, done, total) << std::flush;
}

void ProgressBar::finish() {
    if (!drawn_) return;
    drawn_ = false;
    out_ << '\n' << std::flush;
}

Progress ProgressBar::callback() {
    return [this](uint64_t done, uint64_t total) { update(done, total); };
}

}  // namespace cm3tools
