// The simulator over a Unix-domain socket: a USB driver whose eight operations
// are served by `cm3probe-sim serve`, so that several processes share one
// virtual adapter and target as they would share one real probe.
#pragma once

#include <optional>
#include <string>

#include "adapter/usb_driver.h"
#include "usb/sim_socket_protocol.h"

namespace cm3sim {

// With CM3PROBE_DRIVER=sim, naming a socket here selects this driver instead of
// the in-process simulator.
inline constexpr const char* kSimSocketEnvironmentVariable = "CM3PROBE_SIM_SOCKET";

// One connection per process, opened on first use and shared by its threads;
// a forked child opens its own.
const cm3probe::adapter::UsbDriver& SimSocketUsbDriver();

// The server's counters, over a connection of its own. Empty when the server
// cannot be reached.
std::optional<socket_protocol::ServerStats> QueryServerStats(const std::string& socketPath);

}  // namespace cm3sim
