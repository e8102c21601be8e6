// A GDB remote-protocol server on the library's twenty exports. The caller
// opens and initialises the connection (DebugOpen + DebugInit) first; the
// server listens on 127.0.0.1 and serves one client at a time.
#pragma once

#include <cstdint>
#include <ostream>

namespace cm3tools::gdb {

struct ServerOptions {
    uint16_t port = 3333;
    bool once = false;              // return after the first client leaves
    std::ostream* log = nullptr;    // where the server listens, clients coming and going; nothing when null
    bool logPackets = false;        // also every packet, on `log`
    bool batched = false;           // DebugInit's argument after `monitor reset hardware`
    bool semihosting = false;       // serve semihosting calls from the start
    bool semihostingConsole = false;  // the target's console reads come from stdin, not end of file
};

// Serves clients until `once` ends it or the listening socket fails.
// Returns 0 after a clean end, 1 when the port could not be opened.
int RunServer(const ServerOptions& options);

}  // namespace cm3tools::gdb
