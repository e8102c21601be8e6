// Virtual time as the wire spends it: clock cycles pile up here and reach the
// target in whole nanoseconds, at the end of each MPSSE command and before each
// AP access (so a flash operation started mid-stream sees the cycles before it).
#pragma once

#include <cstdint>

#include "dp/access_port_bus.h"
#include "mpsse/mpsse_commands.h"

namespace cm3sim {

class VirtualTime {
public:
    explicit VirtualTime(TargetSystem* target = nullptr) : target_(target) {}

    void attach(TargetSystem* target) { target_ = target; }
    // `units` are 1/30 ns (mpsse::clock::kTimeUnitsPerNs).
    void elapse(uint64_t units) { pendingUnits_ += units; }
    void flush() {
        const uint64_t ns = pendingUnits_ / mpsse::clock::kTimeUnitsPerNs;
        pendingUnits_ %= mpsse::clock::kTimeUnitsPerNs;
        totalNs_ += ns;
        if (target_ != nullptr) target_->advance(ns);
    }
    // Nanoseconds handed to the target so far.
    uint64_t totalNs() const { return totalNs_; }
    // Every unit elapsed so far, handed on or not (the wire trace's clock).
    uint64_t totalUnits() const { return totalNs_ * mpsse::clock::kTimeUnitsPerNs + pendingUnits_; }

private:
    TargetSystem* target_;
    uint64_t pendingUnits_ = 0;
    uint64_t totalNs_ = 0;
};

}  // namespace cm3sim
