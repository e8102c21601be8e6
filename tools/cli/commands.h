// The target commands, shared by the one-shot command line and the shell:
// each adds a subcommand to a CLI11 app and runs against a Context.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/session.h"
#include "common/watchpoints.h"

namespace CLI {
class App;
}

namespace cm3tools::cli {

// Bad arguments found after parsing (a value that does not fit, a file that
// is not there): exit code 2, nothing sent to the target.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Context {
public:
    using Opener = std::function<Session&()>;
    Context(std::ostream& out, std::ostream& err, bool progress, Opener opener, bool inShell)
        : out(out), err(err), progress(progress), inShell(inShell), opener_(std::move(opener)) {}

    std::ostream& out;
    std::ostream& err;
    bool progress;  // draw progress bars
    bool inShell;
    // Breakpoints this session set, for listing and for resuming from one.
    std::set<uint32_t> breakpoints;
    // Watchpoints this session set, on the DWT's comparators.
    Watchpoints watchpoints{kLibraryWordBus};
    // The last ELF file loaded or flashed, whose symbols `break` and `watch` accept.
    std::string symbolFile;

    // The connection, opened on first use.
    Session& target() { return opener_(); }

private:
    Opener opener_;
};

enum class Mode { kOneShot, kShell };

class TargetCommands {
public:
    // Adds info, read, write, load, flash, halt, resume, step, regs, reg and
    // reset to `app`; in the shell also break, unbreak, watch, unwatch, breaks,
    // state and wait.
    TargetCommands(CLI::App& app, Mode mode);
    ~TargetCommands();
    TargetCommands(const TargetCommands&) = delete;
    TargetCommands& operator=(const TargetCommands&) = delete;

    // Back to defaults before the next parse (the shell reuses the app).
    void resetArguments();
    // The action of the subcommand the last parse selected, if it is one of ours.
    std::function<void(Context&)> selected() const;

private:
    struct Arguments;
    struct Entry;
    std::unique_ptr<Arguments> args_;
    std::vector<Entry> entries_;
};

// PC of the halted core; used by the demo as well.
uint32_t ReadPc();
// Resumes; a breakpoint at the current PC is stepped over first, or the core
// would stop on it at once.
void Resume(Context& context);
// Polls the core state until it halts or `seconds` pass; true when halted.
bool WaitForHalt(Session& session, double seconds);

}  // namespace cm3tools::cli
