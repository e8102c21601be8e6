// A connection to the target as the tools open it: global options, the
// driver choice passed to the library through its environment, DebugOpen and
// DebugInit with clear errors, DebugClose on the way out.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>

#include "cm3probe.h"

namespace CLI {
class App;
}

namespace cm3tools {

// The environment the library and its simulator read.
namespace env {
inline constexpr const char* kDriver = "CM3PROBE_DRIVER";
inline constexpr const char* kDriverSim = "sim";
inline constexpr const char* kSimConfig = "CM3PROBE_SIM_CONFIG";
inline constexpr const char* kSimTrace = "CM3PROBE_SIM_TRACE";
inline constexpr const char* kSimLog = "CM3PROBE_SIM_LOG";
inline constexpr const char* kEnabled = "1";
}  // namespace env

inline constexpr const char* kDefaultAdapter = "USB Debug Bridge A";
inline constexpr uint32_t kDefaultClockHz = 1'000'000;
// What DebugOpen accepts; anything else is refused before the adapter is touched.
inline constexpr uint32_t kMinClockHz = 91;
inline constexpr uint32_t kMaxClockHz = 6'000'000;

// A simulator configuration that cannot be used, or an option the library
// would refuse: a usage error (exit code 2), nothing sent to any adapter.
struct ConfigError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// An adapter is attached but cannot be used (permissions, description):
// never the simulator in its place.
struct AdapterError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct GlobalOptions {
    std::string adapter = kDefaultAdapter;
    bool jtag = false;  // SWD unless --jtag
    uint32_t clockHz = kDefaultClockHz;
    bool batched = false;
    bool sim = false;       // --sim given
    std::string simConfig;  // its optional CONFIG
    std::string tracePath;
    bool logTransactions = false;
};

// --adapter, --swd, --jtag, --clock, --batched, --sim [CONFIG], --trace,
// --log-transactions on `app`, stored into `options`. Call
// FinishGlobalOptions after parsing.
void AddGlobalOptions(CLI::App& app, GlobalOptions& options);
void FinishGlobalOptions(CLI::App& app, GlobalOptions& options);

// True when DebugOpen will go to the simulator.
bool UsingSimulator();

// Sets the library's environment for `options` before the first DebugOpen:
// the simulator when --sim was given, or when nothing sets CM3PROBE_DRIVER and
// no FT2232-class adapter is attached at all (announced on `notes`). Throws
// AdapterError when adapters are attached but none can be opened as
// --adapter, and ConfigError when the simulator's configuration is bad.
void PrepareDriver(const GlobalOptions& options, std::ostream& notes);

// The simulator's configuration file in effect (--sim CONFIG, else
// CM3PROBE_SIM_CONFIG), checked. Throws ConfigError naming the file and key.
void CheckSimConfig();

// The process's one connection, opened and initialised.
class Session {
public:
    // PrepareDriver, DebugOpen, DebugInit, then DebugGetCoreState so the
    // library's halted flag is current. Throws TargetError naming the failed
    // call, the result and what to do.
    static std::unique_ptr<Session> Open(const GlobalOptions& options, std::ostream& notes);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const GlobalOptions& options() const { return options_; }
    // DHCSR as last read.
    uint32_t coreState() const { return dhcsr_; }
    // Reads DHCSR again; throws TargetError.
    uint32_t refreshCoreState();
    bool halted() const;
    // DebugInit again (a hardware reset ends the initialisation), then the
    // core state.
    void reinitialise();
    // DebugClose now; the destructor then does nothing. Throws TargetError.
    void close();

private:
    explicit Session(const GlobalOptions& options) : options_(options) {}
    GlobalOptions options_;
    uint32_t dhcsr_ = 0;
    bool open_ = false;
};

// "halted", "running", "locked up", "sleeping", "in reset"; with the reason
// for a halt when known.
std::string DescribeCoreState(uint32_t dhcsr);

}  // namespace cm3tools
