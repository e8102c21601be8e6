// Whether the adapter link can carry traffic. A failed or short driver write
// or read can leave the engine inside a command, waiting for operand bytes that
// the next command would supply: from then on nothing is sent until the link
// recovery (connection/link_recovery.h) has reset the engine and proven it in
// step again.
#pragma once

#include <cstdint>

#include "adapter/held_writes.h"
#include "frame/connection.h"

namespace cm3probe::link_state {

inline bool Down() { return g_connection.linkDown != 0; }

inline void MarkDown() {
    g_connection.linkDown = 1;
    ++g_connection.linkFaults;
}

inline void MarkUp() { g_connection.linkDown = 0; }

// Sends what the backend holds; a failed transfer takes the link down like
// any other, and the export that wrote the bytes then fails.
inline void SendHeldWrites() {
    if (adapter::SendHeldWrites() != adapter::kUsbOk) MarkDown();
}

inline uint32_t Faults() { return g_connection.linkFaults; }

inline bool ApStalled() { return g_connection.apStalled != 0; }
inline void MarkApStalled() { g_connection.apStalled = 1; }
inline void ClearApStalled() { g_connection.apStalled = 0; }

}  // namespace cm3probe::link_state
