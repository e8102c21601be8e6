// The simulator is a module of its own (libcm3probe_sim.so), so that the
// library needs neither Unicorn nor libelf. CM3PROBE_DRIVER=sim loads it at
// DebugOpen; programs that link the simulator (the static test builds) use
// their own copy instead. The module's one export is the entry point below.
#pragma once

#include <climits>
#include <cstdint>

#include "adapter/usb_driver.h"

namespace cm3probe::adapter {

// Raised with any change to UsbDriver or to this contract; the entry point's
// name carries the same number.
inline constexpr uint32_t kSimModuleAbi = 1;
inline constexpr const char* kSimModuleEntryName = "cm3probe_sim_module_v1";
inline constexpr const char* kSimModuleFile = "libcm3probe_sim.so";
// Names the module to load instead of looking for one.
inline constexpr const char* kSimModuleEnvironmentVariable = "CM3PROBE_SIM_MODULE";

struct SimModuleAnswer {
    uint32_t abi;  // kSimModuleAbi of the module's build
    // The in-process simulator, or with CM3PROBE_SIM_SOCKET the client of a
    // served one.
    const UsbDriver* driver;
};
using SimModuleEntry = SimModuleAnswer (*)();

// The simulator linked into this program, or null. The static archive links
// it; the shared object never does.
SimModuleEntry LinkedSimModule();

// Where the module is looked for: the one CM3PROBE_SIM_MODULE names, else the
// one beside the library, else the one in the build tree. The first that loads
// with the entry point of this ABI wins.
enum class SimModulePlace : uint8_t { kNamed, kBesideLibrary, kBuildTree };
enum class SimModuleFailure : uint8_t { kNone, kNotLoaded, kNoEntryPoint, kOtherAbi };

inline constexpr uint32_t kSimModulePlaces = 3;
inline constexpr uint32_t kDlerrorSize = 512;

struct SimModuleTrial {
    SimModulePlace place;
    SimModuleFailure failure;
    uint32_t abi;               // the module's, for kOtherAbi
    char path[PATH_MAX];
    char dlerror[kDlerrorSize];  // dlerror() for kNotLoaded and kNoEntryPoint
};

// What LoadSimModule tried, for a caller that explains a failure.
struct SimModuleTrials {
    SimModuleTrial tried[kSimModulePlaces];
    uint32_t count;
};

// Loads the module (it is never unloaded: its driver may serve a connection at
// any time) and returns its entry point, or null. `anchor` is an address inside
// libcm3probe.so (or the program that holds the library's code); `trials` may
// be null.
[[nodiscard]] SimModuleEntry LoadSimModule(const void* anchor, SimModuleTrials* trials);

}  // namespace cm3probe::adapter

// The module's export.
extern "C" cm3probe::adapter::SimModuleAnswer cm3probe_sim_module_v1();
