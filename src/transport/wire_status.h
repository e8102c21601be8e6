// What one wire transaction, or one exchange of many, answered. Driver and
// engine codes stop at the transports: above them only these values travel,
// so an acknowledge can never be mistaken for a driver failure.
#pragma once

#include <cstdint>

#include "cm3probe.h"

namespace cm3probe {

enum class [[nodiscard]] WireStatus : uint8_t {
    Ok,
    // The port asked for a retry; the transaction was not performed.
    Wait,
    // The port refused: a sticky flag is set.
    Fault,
    // Nobody drove the acknowledge.
    NoAnswer,
    // An acknowledge no port sends: the port may have lost framing.
    ProtocolError,
    // The adapter exchange failed or came short, or the link is down and
    // nothing was sent.
    UsbFailure,
};

constexpr bool IsOk(WireStatus status) { return status == WireStatus::Ok; }

// A status this step does not examine on purpose: the sticky check or the
// link state that follows reports what went wrong.
constexpr void NotExamined(WireStatus) {}
// The same for an export's result used as a step of another.
constexpr void NotExamined(DebugResult) {}

// The one place a wire status becomes an export's result.
constexpr DebugResult ToDebugResult(WireStatus status) { return IsOk(status) ? DBG_OK : DBG_ERROR; }

}  // namespace cm3probe
