// The server's connection loop on a connected socket, apart from listening,
// so tests can drive it over a socket pair.
#pragma once

#include <chrono>
#include <ostream>

#include "target.h"

namespace cm3tools::gdb {

// How often a running core's state is read: each read is a USB exchange that
// holds the probe's lock. Polls back off from the first to the longest interval while nothing
// happens: a short run stops almost at once, a long one costs few reads.
inline constexpr std::chrono::milliseconds kFirstPollInterval{1};
inline constexpr std::chrono::milliseconds kLongestPollInterval{50};

struct ClientOptions {
    std::ostream* log = nullptr;
    bool logPackets = false;
    // Connections arriving here while the client is served are refused: one
    // client at a time. Negative: none.
    int listener = -1;
    bool semihosting = false;         // serve semihosting calls from the start
    bool semihostingConsole = false;  // console reads come from stdin
};

// Serves the client on `fd` until it detaches, kills or goes away; the core
// is halted for it on arrival and its breakpoints removed when it leaves.
void ServeClient(int fd, Target& target, const ClientOptions& options);

}  // namespace cm3tools::gdb
