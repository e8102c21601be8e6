#include "wire/target_board.h"

#include "mpsse/mpsse_commands.h"

namespace cm3sim {

using namespace mpsse;

namespace {

bool IsOutput(const PinBank& bank, uint8_t pin) {
    return (bank.direction & pin) != 0;
}

bool Level(const PinBank& bank, uint8_t pin) {
    return (UnwiredPins::Level(bank) & pin) != 0;
}

std::optional<bool> Drive(const PinBank& bank, uint8_t pin) {
    if (!IsOutput(bank, pin)) return std::nullopt;
    return (bank.value & pin) != 0;
}

}  // namespace

bool TargetBoard::swdWiring() const {
    return !Level(low_, adbus::kGpiol3);
}

std::optional<bool> TargetBoard::hostSwdioTmsDrive() const {
    if (!swdWiring()) return Drive(low_, adbus::kCs);
    if (auto d = Drive(low_, adbus::kDo)) return d;
    return Drive(low_, adbus::kDi);  // DI sits on SWDIO too
}

std::optional<bool> TargetBoard::hostTdiDrive() const {
    return swdWiring() ? std::nullopt : Drive(low_, adbus::kDo);
}

std::optional<bool> TargetBoard::hostTdoDrive() const {
    return swdWiring() ? std::nullopt : Drive(low_, adbus::kDi);
}

bool TargetBoard::swdioTmsLevel() const {
    if (auto t = dp_.swdioDrive()) return *t;
    return hostSwdioTmsDrive().value_or(true);
}

bool TargetBoard::tdiLevel() const {
    return hostTdiDrive().value_or(true);
}

bool TargetBoard::tdoLevel() const {
    if (auto t = dp_.tdoDrive()) return *t;
    return hostTdoDrive().value_or(true);
}

BoardLines TargetBoard::lines() const {
    return {swdWiring(), Level(low_, adbus::kSk), swdioTmsLevel(), tdiLevel(), tdoLevel(), !resetAsserted_};
}

void TargetBoard::hostPinsChanged(const PinBank& low, const PinBank& high) {
    const bool sk = Level(low, adbus::kSk);
    const bool edge = sk != Level(low_, adbus::kSk);
    if (edge) {
        // The edge sees the data lines as they were: samples come before changes.
        dp_.clockEdge(sk, swdioTmsLevel(), tdiLevel());
    }
    low_ = low;
    high_ = high;
    const bool reset = !Level(low_, adbus::kGpiol1);
    if (reset != resetAsserted_) {
        resetAsserted_ = reset;
        target_.setResetPin(reset);
    }
    const bool swdioClash = dp_.swdioDrive().has_value() && hostSwdioTmsDrive().has_value();
    const bool tdoClash = dp_.tdoDrive().has_value() && hostTdoDrive().has_value();
    if (swdioClash || tdoClash) ++contention_;
    for (LineObserver* observer : observers_) observer->linesChanged(lines(), edge);
}

uint8_t TargetBoard::lowLevels() const {
    uint8_t levels = UnwiredPins::Level(low_);
    auto put = [&](uint8_t pin, bool level) {
        levels = static_cast<uint8_t>(level ? (levels | pin) : (levels & ~pin));
    };
    if (swdWiring()) {
        if (!IsOutput(low_, adbus::kDo)) put(adbus::kDo, swdioTmsLevel());
        put(adbus::kDi, swdioTmsLevel());
    } else {
        put(adbus::kCs, swdioTmsLevel());
        put(adbus::kDi, tdoLevel());
    }
    return levels;
}

uint8_t TargetBoard::highLevels() const {
    return UnwiredPins::Level(high_);
}

}  // namespace cm3sim
