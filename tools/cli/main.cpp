// cm3probe: the command line on the library's exports.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>

#include "commands.h"
#include "common/adapters.h"
#include "common/image.h"
#include "common/progress.h"
#include "common/results.h"
#include "common/session.h"
#include "demo.h"
#include "run.h"
#include "shell.h"

#if CM3PROBE_HAVE_GDBSERVER
#include "gdbserver/gdb_server.h"
#endif

namespace {

using namespace cm3tools;
using namespace cm3tools::cli;

constexpr const char* kExitCodes =
    "Exit codes: 0 success, 1 the target or the adapter failed (the message names the result code), "
    "2 usage error (nothing was sent to the target).";

// "0403", as lsusb shows USB ids.
std::string FormatUsbId(uint16_t id) {
    std::array<char, 8> text{};
    std::snprintf(text.data(), text.size(), "%04x", id);
    return text.data();
}

// Every FT2232-class chip on the bus with its channels, or why it cannot be
// opened; the simulator's channels when none is attached.
int List(const GlobalOptions& options, std::ostream& out, std::ostream& err) {
    if (!options.sim && !UsingSimulator()) {
        const UsbListing usb = ListUsbAdapters();
        if (!usb.adapters.empty()) {
            bool anyUsable = false;
            for (const UsbAdapter& adapter : usb.adapters) {
                out << adapter.chip << " (" << FormatUsbId(adapter.vendorId) << ':' << FormatUsbId(adapter.productId)
                    << ") on bus " << unsigned(adapter.bus) << " device " << unsigned(adapter.address) << '\n';
                for (const std::string& description : adapter.descriptions) out << "  " << description << '\n';
                if (adapter.serialDriverBound) {
                    out << "  (the kernel's ftdi_sio serves it as a serial port; opening channel A detaches it)\n";
                }
                if (!adapter.problem.empty()) out << "  cannot be used: " << adapter.problem << '\n';
                anyUsable = anyUsable || adapter.problem.empty();
            }
            return anyUsable ? exit_code::kSuccess : exit_code::kTargetFailure;
        }
        err << "cm3probe: no FT2232-class adapter attached" << (usb.usbAvailable ? "" : " (no USB access)")
            << "; listing the built-in simulator's (--sim)\n";
    }
    try {
        const char* config = std::getenv(env::kSimConfig);
        const std::string path = options.sim && !options.simConfig.empty() ? options.simConfig
                                 : config != nullptr                        ? config
                                                                            : "";
        for (const std::string& description : ListSimulatedAdapters(path)) out << description << '\n';
    } catch (const std::runtime_error& error) {
        err << "cm3probe: " << error.what() << '\n';
        return exit_code::kUsage;
    }
    return exit_code::kSuccess;
}

// What to say when the word in the command's place is none of ours.
std::optional<std::string> UnknownCommand(CLI::App& app, const GlobalOptions& options) {
    if (!app.get_subcommands().empty()) return std::nullopt;
    std::string name;
    // `--sim word` takes the word for its CONFIG when the word is no command.
    if (!options.simConfig.empty() && !std::filesystem::exists(options.simConfig)) {
        name = options.simConfig;
    } else {
        const std::vector<std::string> rest = app.remaining();
        if (rest.empty() || rest.front().empty() || rest.front()[0] == '-') return std::nullopt;
        name = rest.front();
    }
    CLI::App shell;
    TargetCommands shellCommands(shell, Mode::kShell);
    if (!shell.get_subcommands([&name](CLI::App* command) { return command->check_name(name); }).empty()) {
        return "'" + name + "' works in the shell only: breakpoints and waits belong to a session (cm3probe shell)";
    }
    return "unknown command '" + name + "' (cm3probe --help lists them)";
}

int GdbServer([[maybe_unused]] Session& session, [[maybe_unused]] uint16_t port, [[maybe_unused]] bool once,
              [[maybe_unused]] bool verbose, [[maybe_unused]] bool semihosting,
              [[maybe_unused]] bool semihostingConsole, std::ostream& err) {
#if CM3PROBE_HAVE_GDBSERVER
    cm3tools::gdb::ServerOptions server;
    server.port = port;
    server.once = once;
    // Where it listens and who comes and goes is always worth a line;
    // the packets only when asked for.
    server.log = &err;
    server.logPackets = verbose;
    // `monitor reset hardware` re-initialises the way this session did.
    server.batched = session.options().batched;
    server.semihosting = semihosting;
    server.semihostingConsole = semihostingConsole;
    return cm3tools::gdb::RunServer(server);
#else
    err << "cm3probe: the GDB server is not part of this build\n";
    return exit_code::kTargetFailure;
#endif
}

int Run(int argc, char** argv) {
    CLI::App app{"cm3probe: debug an ARM Cortex-M3 through an FT2232-class adapter over SWD or JTAG, or on the "
                 "built-in simulator."};
    app.footer(std::string("Global options go before the command. ") + kExitCodes +
               " `run` exits with the target's own code instead (see cm3probe run --help).");
    app.name("cm3probe");
    app.require_subcommand(1);
    app.get_formatter()->column_width(34);

    GlobalOptions options;
    AddGlobalOptions(app, options);
    TargetCommands commands(app, Mode::kOneShot);
    for (CLI::App* command : app.get_subcommands({})) command->footer(kExitCodes);

    CLI::App* list = app.add_subcommand("list", "List attached FT2232-class adapters by channel description, and why one cannot be used");
    CLI::App* shell = app.add_subcommand("shell", "Interactive session on one connection (reads stdin when piped)");
    CLI::App* gdbserver = app.add_subcommand("gdbserver", "Serve GDB's remote protocol on a TCP port");
    uint16_t port = 3333;
    bool once = false;
    bool verbose = false;
    gdbserver->add_option("-p,--port", port, "TCP port on the loopback interface")->capture_default_str();
    gdbserver->add_flag("--once", once, "Stop after the first client disconnects");
    gdbserver->add_flag("-v,--verbose", verbose, "Log packets on stderr");
    CLI::App* demo = app.add_subcommand("demo", "A narrated debug session on the simulated target");
    std::string firmware = DefaultDemoFirmware();
    demo->add_option("--firmware", firmware, "ELF file to flash (default: the example firmware)")
        ->type_name("FILE");
    bool semihosting = false;
    bool semihostingConsole = false;
    gdbserver->add_flag("--semihosting", semihosting, "Serve semihosting calls from the start (monitor semihosting enable)");
    gdbserver->add_flag("--semihosting-console", semihostingConsole,
                        "Feed the server's stdin to the target's console reads (otherwise they read end of file)");
    CLI::App* run = app.add_subcommand(
        "run", "Firmware as a test: flash (or load) FILE, reset, run it with its console here, exit with its code");
    RunOptions runOptions;
    run->add_option("file", runOptions.file, "ELF file or raw binary (raw binaries go to flash)")
        ->required()
        ->type_name("FILE");
    run->add_option("arguments", runOptions.arguments, "The program's arguments, after its name (SYS_GET_CMDLINE)")
        ->type_name("ARG...");
    run->add_flag("--semihosting", runOptions.semihosting, "Serve semihosting calls: console, exit code, clock");
    run->add_option("--timeout", runOptions.timeoutSeconds, "Halt the target and exit 124 after SECONDS")
        ->type_name("SECONDS")
        ->check(CLI::PositiveNumber);
    run->add_flag("--no-flash", runOptions.noFlash, "Leave flash as it is (the image is already there)");
    run->add_option("--semihosting-files", runOptions.fileRoot,
                    "Let the target open host files under DIR (nothing outside it)")
        ->type_name("DIR")
        ->check(CLI::ExistingDirectory);
    run->footer("Exit codes: the target's exit code (SYS_EXIT), 124 timeout, 125 fault, lockup or a halt that is not "
                "an exit, 126 the probe or the connection failed, 2 usage error.");
    for (CLI::App* command : {list, shell, gdbserver, demo}) command->footer(kExitCodes);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        if (const auto unknown = UnknownCommand(app, options)) {
            std::cerr << "cm3probe: " << *unknown << '\n';
            return exit_code::kUsage;
        }
        const int code = app.exit(error);
        return code == 0 ? exit_code::kSuccess : exit_code::kUsage;
    }
    FinishGlobalOptions(app, options);

    std::unique_ptr<Session> session;
    auto open = [&]() -> Session& {
        if (!session) session = Session::Open(options, std::cerr);
        return *session;
    };
    try {
        if (list->parsed()) return List(options, std::cout, std::cerr);
        if (demo->parsed()) {
            if (demo->count("--firmware") > 0 && !firmware.empty() && !std::filesystem::exists(firmware)) {
                throw UsageError("demo: no firmware at " + firmware);
            }
            return RunDemo(options, firmware, std::cout, std::cerr);
        }
        if (shell->parsed()) return RunShell(open(), std::cin, std::cout, std::cerr, ::isatty(STDIN_FILENO) == 1);
        if (gdbserver->parsed()) {
            return GdbServer(open(), port, once, verbose, semihosting, semihostingConsole, std::cerr);
        }
        if (run->parsed()) {
            if (!std::filesystem::exists(runOptions.file)) throw UsageError("run: no file at " + runOptions.file);
            if (!runOptions.fileRoot.empty() && !runOptions.semihosting) {
                throw UsageError("run: --semihosting-files needs --semihosting");
            }
            return RunFirmware(options, runOptions, std::cerr);
        }
        Context context(std::cout, std::cerr, StderrIsTerminal(), open, false);
        commands.selected()(context);
        if (session) session->close();
        return exit_code::kSuccess;
    } catch (const UsageError& error) {
        std::cerr << "cm3probe: " << error.what() << '\n';
        return exit_code::kUsage;
    } catch (const ImageError& error) {
        std::cerr << "cm3probe: " << error.what() << '\n';
        return exit_code::kUsage;
    } catch (const ConfigError& error) {
        std::cerr << "cm3probe: " << error.what() << '\n';
        return exit_code::kUsage;
    } catch (const AdapterError& error) {
        std::cerr << "cm3probe: " << error.what() << '\n';
        return exit_code::kTargetFailure;
    } catch (const TargetError& error) {
        std::cerr << "cm3probe: " << error.message << '\n';
        return exit_code::kTargetFailure;
    }
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& error) {
        std::cerr << "cm3probe: " << error.what() << '\n';
        return exit_code::kTargetFailure;
    }
}
