// What a debug port sees of the access ports behind it.
#pragma once

#include <cstdint>

namespace cm3sim {

struct ApResponse {
    uint32_t value = 0;
    bool error = false;  // the access failed (AHB error): the DP raises STICKYERR
};

class AccessPortBus {
public:
    virtual ~AccessPortBus() = default;
    // `address` is APBANKSEL << 4 | A[3:2] << 2. APs that do not exist read as 0
    // and ignore writes.
    virtual ApResponse apRead(uint8_t apsel, uint8_t address) = 0;
    virtual ApResponse apWrite(uint8_t apsel, uint8_t address, uint32_t value) = 0;
    // CTRL/STAT power acknowledges as granted, for CSW.DbgStatus and friends.
    virtual void setDebugPower(bool debugPowered, bool systemPowered) = 0;
};

// The target's side of time and of the reset line.
class TargetSystem : public AccessPortBus {
public:
    // Virtual time moves only through this call (wire cycles, modeled delays).
    virtual void advance(uint64_t nanoseconds) = 0;
    // The active-low reset pin on ADBUS5, as the board sees it.
    virtual void setResetPin(bool asserted) = 0;
};

}  // namespace cm3sim
