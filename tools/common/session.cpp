#include "session.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "adapter/sim_module.h"
#include "adapters.h"
#include "numbers.h"
#include "results.h"
#include "sim/config.h"
#include "target_registers.h"

namespace cm3tools {
namespace {

bool EnvironmentSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

void SetEnvironment(const char* name, const std::string& value) { ::setenv(name, value.c_str(), 1); }

// The library answers only DBG_ERROR when the simulator module will not load;
// repeating its search here finds out why.
std::string SimModuleHint() {
    namespace adapter = cm3probe::adapter;
    const auto trials = std::make_unique<adapter::SimModuleTrials>();
    if (adapter::LoadSimModule(reinterpret_cast<const void*>(&DebugOpen), trials.get()) != nullptr) return "";
    std::string hint = std::string("\n  the simulator module ") + adapter::kSimModuleFile + " did not load";
    for (uint32_t i = 0; i < trials->count; ++i) {
        const adapter::SimModuleTrial& trial = trials->tried[i];
        // In the build tree the library's own directory is the build tree.
        if (i > 0 && std::string_view(trial.path) == trials->tried[i - 1].path) continue;
        // dlerror() names the file itself.
        hint += std::string("\n    ") + (trial.failure == adapter::SimModuleFailure::kOtherAbi
                                              ? trial.path + std::string(": interface version ") +
                                                    std::to_string(trial.abi) + ", this library needs " +
                                                    std::to_string(adapter::kSimModuleAbi)
                                              : std::string(trial.dlerror));
    }
    return hint + "\n  install it beside libcm3probe.so, or name it with " + adapter::kSimModuleEnvironmentVariable;
}

// The simulator hides why it would not open; the usual reason left once its
// configuration checked out is a description it does not list.
std::string SimulatorHint(const GlobalOptions& options) {
    if (std::string module = SimModuleHint(); !module.empty()) return module;
    const char* config = std::getenv(env::kSimConfig);
    const std::vector<std::string> listed = ListSimulatedAdapters(config != nullptr ? config : "");
    if (std::find(listed.begin(), listed.end(), options.adapter) != listed.end()) return "";
    std::string names;
    for (const std::string& name : listed) names += (names.empty() ? "\"" : ", \"") + name + "\"";
    return "\n  the simulator lists " + names;
}

// Attached adapters but none usable as `wanted`: what is there and why not.
std::string DescribeUnusable(const UsbListing& listing, const std::string& wanted) {
    std::string message = "no usable adapter \"" + wanted + "\" (cm3probe list shows what is attached):";
    for (const UsbAdapter& adapter : listing.adapters) {
        message += "\n  " + adapter.chip + " on bus " + std::to_string(adapter.bus) + " device " +
                   std::to_string(adapter.address) + ": ";
        if (!adapter.problem.empty()) {
            message += adapter.problem;
            continue;
        }
        std::string names;
        for (const std::string& name : adapter.descriptions) names += (names.empty() ? "\"" : ", \"") + name + "\"";
        message += "lists " + names + " (pick channel A with --adapter)";
    }
    return message;
}

}  // namespace

void AddGlobalOptions(CLI::App& app, GlobalOptions& options) {
    app.add_option("-a,--adapter", options.adapter, "Adapter channel by the description it lists")
        ->capture_default_str();
    CLI::Option* swd = app.add_flag_callback(
        "--swd", [&options] { options.jtag = false; }, "Talk SWD to the target (the default)");
    app.add_flag("--jtag", options.jtag, "Talk JTAG to the target")->excludes(swd);
    app.add_option_function<std::string>(
           "--clock",
           [&options](const std::string& text) {
               const auto hz = ParseFrequency(text);
               if (!hz) throw CLI::ValidationError("--clock", "'" + text + "' is not a frequency (1000000, 400k, 1M)");
               if (*hz < kMinClockHz || *hz > kMaxClockHz) {
                   throw CLI::ValidationError("--clock", "'" + text + "' is outside 91 Hz to 6 MHz");
               }
               options.clockHz = *hz;
           },
           "Wire clock in Hz, k or M suffix allowed (91 Hz to 6 MHz; default 1M)")
        ->type_name("HZ");
    app.add_flag("--batched", options.batched, "Send memory traffic in batches");
    app.add_option("--sim", options.simConfig,
                   "Use the built-in simulator, configured by the JSON file CONFIG if given "
                   "(also the default when no FT2232-class adapter is attached)")
        ->expected(0, 1)
        ->type_name("[CONFIG]");
    app.add_option("--trace", options.tracePath, "Simulator: write the wire signals to FILE.vcd")
        ->type_name("FILE.vcd");
    app.add_flag("--log-transactions", options.logTransactions,
                 "Simulator: print the decoded SWD/JTAG transactions");
}

void FinishGlobalOptions(CLI::App& app, GlobalOptions& options) { options.sim = app.count("--sim") > 0; }

bool UsingSimulator() {
    const char* driver = std::getenv(env::kDriver);
    return driver != nullptr && std::string_view(driver) == env::kDriverSim;
}

void CheckSimConfig() {
    const char* config = std::getenv(env::kSimConfig);
    if (config == nullptr || *config == '\0') return;
    try {
        (void)cm3sim::LoadSimConfig(config);
    } catch (const std::runtime_error& error) {
        throw ConfigError(error.what());
    }
}

void PrepareDriver(const GlobalOptions& options, std::ostream& notes) {
    if (options.sim) {
        SetEnvironment(env::kDriver, env::kDriverSim);
        if (!options.simConfig.empty()) SetEnvironment(env::kSimConfig, options.simConfig);
    } else if (!EnvironmentSet(env::kDriver)) {
        const UsbListing listing = ListUsbAdapters();
        if (listing.adapters.empty()) {
            notes << "cm3probe: no FT2232-class adapter attached" << (listing.usbAvailable ? "" : " (no USB access)")
                  << "; using the built-in simulator (--sim)\n";
            SetEnvironment(env::kDriver, env::kDriverSim);
        } else {
            const std::vector<std::string> found = ListedDescriptions(listing);
            // The library opens any listed channel once one supported adapter is attached.
            const bool supportedAttached = std::any_of(listing.adapters.begin(), listing.adapters.end(),
                                                       [](const UsbAdapter& a) { return a.problem.empty(); });
            const bool usable =
                supportedAttached && std::find(found.begin(), found.end(), options.adapter) != found.end();
            if (!usable) throw AdapterError(DescribeUnusable(listing, options.adapter));
        }
    }
    if (UsingSimulator()) CheckSimConfig();
    if (!options.tracePath.empty()) SetEnvironment(env::kSimTrace, options.tracePath);
    if (options.logTransactions) SetEnvironment(env::kSimLog, env::kEnabled);
    if ((!options.tracePath.empty() || options.logTransactions) && !UsingSimulator()) {
        notes << "cm3probe: --trace and --log-transactions only work on the simulator\n";
    }
}

std::unique_ptr<Session> Session::Open(const GlobalOptions& options, std::ostream& notes) {
    PrepareDriver(options, notes);
    std::unique_ptr<Session> session(new Session(options));
    const DebugResult opened = DebugOpen(options.clockHz, options.adapter.c_str(), options.jtag ? 0 : 1);
    if (!OpenSucceeded(opened)) {
        std::string message = DescribeFailure("DebugOpen (\"" + options.adapter + "\")", opened);
        if (UsingSimulator()) message += SimulatorHint(options);
        throw TargetError{opened, message};
    }
    session->open_ = true;
    if (opened == DBG_OPENED_AFTER_RETRY) notes << "cm3probe: " << ResultAdvice(opened) << '\n';
    Check(DebugInit(options.batched ? 1 : 0), "DebugInit");
    session->refreshCoreState();
    return session;
}

Session::~Session() {
    if (open_) (void)DebugClose();
}

uint32_t Session::refreshCoreState() {
    Check(DebugGetCoreState(&dhcsr_), "DebugGetCoreState");
    return dhcsr_;
}

bool Session::halted() const { return (dhcsr_ & dhcsr::kCHalt) != 0; }

void Session::reinitialise() {
    Check(DebugInit(options_.batched ? 1 : 0), "DebugInit");
    refreshCoreState();
}

void Session::close() {
    if (!open_) return;
    open_ = false;
    Check(DebugClose(), "DebugClose");
}

std::string DescribeCoreState(uint32_t value) {
    std::string state = (value & dhcsr::kSHalt)     ? "halted"
                        : (value & dhcsr::kSLockup) ? "locked up"
                        : (value & dhcsr::kSSleep)  ? "sleeping"
                                                    : "running";
    // Sticky until read: a reset happened since the last look, none need be held now.
    if (value & dhcsr::kSResetSt) state += " (reset since the last look)";
    return state;
}

}  // namespace cm3tools
