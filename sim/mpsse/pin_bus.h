// What an MPSSE channel's pins are soldered to.
#pragma once

#include <cstdint>

namespace cm3sim {

// One 8-pin bank as the chip drives it: output latches and directions (1 = output).
struct PinBank {
    uint8_t value = 0;
    uint8_t direction = 0;
    bool operator==(const PinBank&) const = default;
};

class PinBus {
public:
    virtual ~PinBus() = default;
    // The chip changed a latch or a direction. A clock edge is a change of SK
    // alone, so the board samples the data lines as they were before the edge.
    virtual void hostPinsChanged(const PinBank& low, const PinBank& high) = 0;
    // The levels on the pins now.
    virtual uint8_t lowLevels() const = 0;
    virtual uint8_t highLevels() const = 0;
};

// Pins wired to nothing: an output reads back its latch, an input its pull-up.
class UnwiredPins : public PinBus {
public:
    void hostPinsChanged(const PinBank& low, const PinBank& high) override {
        low_ = low;
        high_ = high;
    }
    uint8_t lowLevels() const override { return Level(low_); }
    uint8_t highLevels() const override { return Level(high_); }

    static uint8_t Level(const PinBank& bank) {
        return static_cast<uint8_t>((bank.value & bank.direction) | ~bank.direction);
    }

private:
    PinBank low_;
    PinBank high_;
};

}  // namespace cm3sim
