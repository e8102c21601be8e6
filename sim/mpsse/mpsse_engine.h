// A virtual FT2232 channel in MPSSE mode: parses the command stream the host
// writes, moves the pins edge by edge and queues the bytes the chip sends back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <vector>

#include "config.h"
#include "mpsse/pin_bus.h"
#include "wire/virtual_time.h"

namespace cm3sim {

class MpsseEngine {
public:
    // `config` is read live for the chip type.
    MpsseEngine(const SimConfig& config, PinBus& pins, VirtualTime& time);

    // Command bytes from the host; a command may straddle calls.
    void write(std::span<const uint8_t> bytes);
    size_t replyBytesQueued() const { return replies_.size(); }
    // Takes up to `buffer.size()` queued reply bytes; returns how many.
    size_t read(std::span<uint8_t> buffer);

    // Drops command bytes not yet started. A half-received command survives:
    // only reset() (bit mode 0) ends it.
    void purgeCommands();
    void purgeReplies() { replies_.clear(); }
    // Bit mode 0: the MPSSE stops, its settings go back to power-on values and
    // bytes not yet executed are dropped. Replies stay queued.
    void reset();

    const PinBank& lowPins() const { return low_; }
    const PinBank& highPins() const { return high_; }
    bool loopback() const { return loopback_; }
    uint16_t divisor() const { return divisor_; }
    bool divideBy5() const { return divideBy5_; }
    bool threePhase() const { return threePhase_; }
    bool adaptiveClocking() const { return adaptive_; }
    // Stuck in a wait the board can never satisfy; only reset() frees it.
    bool stalled() const { return stalled_; }
    size_t commandBytesPending() const { return pending_.size(); }
    uint64_t clockCycles() const { return cycles_; }

private:
    struct ShiftPlan {
        bool writeOnFalling = false;
        bool readOnFalling = false;
        bool read = false;
        uint8_t dataPin = 0;  // the output pin written, 0 for none
    };

    // Returns the bytes the command at `bytes` used, 0 while it is incomplete.
    size_t execute(std::span<const uint8_t> bytes);
    size_t executeShift(std::span<const uint8_t> bytes);
    size_t executeTms(std::span<const uint8_t> bytes);
    size_t executeClockOnly(std::span<const uint8_t> bytes);
    void badCommand(uint8_t opcode);
    bool hOnly(uint8_t opcode) const;

    // Runs `count` clock cycles; `bitAt(i)` gives the bit to drive in cycle i.
    std::vector<bool> clock(size_t count, const ShiftPlan& plan,
                            const std::function<bool(size_t)>& bitAt);
    // One clock cycle with no data lines moving; false if the board cannot
    // supply the adaptive-clocking echo.
    bool idleCycle();
    bool edge(bool toLevel, const std::function<void()>& sampleBefore,
              const std::function<void()>& changeAfter);
    bool sampleDi() const;
    void setPin(uint8_t pin, bool level);
    void publish();
    bool gpiol1High() const;
    void chargeCycle();

    const SimConfig& config_;
    PinBus& pins_;
    VirtualTime& time_;
    std::vector<uint8_t> pending_;
    std::deque<uint8_t> replies_;
    PinBank low_;
    PinBank high_;
    bool loopback_ = false;
    uint16_t divisor_ = 0;
    bool divideBy5_ = true;
    bool threePhase_ = false;
    bool adaptive_ = false;
    bool stalled_ = false;
    uint8_t waitOpcode_ = 0;
    uint64_t cycles_ = 0;
};

}  // namespace cm3sim
