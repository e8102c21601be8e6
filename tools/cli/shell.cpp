#include "shell.h"

#include <editline/readline.h>

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <string>

#include "commands.h"
#include "common/image.h"
#include "common/progress.h"
#include "common/results.h"

namespace cm3tools::cli {
namespace {

constexpr const char* kPrompt = "cm3probe> ";
constexpr const char* kHistoryFile = "/.cm3probe_history";
constexpr int kHistoryLines = 1000;
constexpr const char* kBlank = " \t\r";
constexpr char kComment = '#';

// Keeps the previous sessions' lines on a terminal.
class History {
public:
    History() {
        const char* home = std::getenv("HOME");
        if (home == nullptr || *home == '\0') return;
        path_ = std::string(home) + kHistoryFile;
        stifle_history(kHistoryLines);
        (void)read_history(path_.c_str());
    }
    ~History() {
        if (!path_.empty()) (void)write_history(path_.c_str());
    }
    History(const History&) = delete;
    History& operator=(const History&) = delete;

private:
    std::string path_;
};

bool ReadLine(std::istream& in, bool interactive, std::string& line) {
    if (!interactive) return static_cast<bool>(std::getline(in, line));
    char* raw = readline(kPrompt);
    if (raw == nullptr) return false;
    line = raw;
    std::free(raw);
    if (line.find_first_not_of(kBlank) != std::string::npos) add_history(line.c_str());
    return true;
}

}  // namespace

int RunShell(Session& session, std::istream& in, std::ostream& out, std::ostream& err, bool interactive) {
    CLI::App app{"Shell commands (global options were given when the shell started)", ""};
    app.require_subcommand(1);
    TargetCommands commands(app, Mode::kShell);
    CLI::App* quit = app.add_subcommand("quit", "Leave the shell (also: exit, end of input)");
    quit->alias("exit");
    CLI::App* help = app.add_subcommand("help", "List the commands; COMMAND --help shows one");

    Context context(out, err, StderrIsTerminal(), [&session]() -> Session& { return session; }, true);
    std::unique_ptr<History> history;
    if (interactive) {
        history = std::make_unique<History>();
        out << "cm3probe shell on \"" << session.options().adapter << "\"" << (UsingSimulator() ? " (simulator)" : "")
            << ", core " << DescribeCoreState(session.coreState()) << ". 'help' lists the commands.\n";
    }

    int result = exit_code::kSuccess;
    auto failed = [&](int code, size_t lineNumber, const std::string& message) {
        err << "cm3probe: ";
        if (!interactive) err << "line " << lineNumber << ": ";
        err << message << '\n';
        if (result == exit_code::kSuccess) result = code;
    };

    std::string line;
    for (size_t lineNumber = 1; ReadLine(in, interactive, line); ++lineNumber) {
        const size_t start = line.find_first_not_of(kBlank);
        if (start == std::string::npos || line[start] == kComment) continue;
        const size_t end = line.find_first_of(kBlank, start);
        const std::string name = line.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (name[0] != '-' && app.get_subcommands([&name](CLI::App* command) { return command->check_name(name); }).empty()) {
            failed(exit_code::kUsage, lineNumber, "unknown command '" + name + "' ('help' lists them)");
            continue;
        }
        commands.resetArguments();
        try {
            app.parse(line, false);
        } catch (const CLI::ParseError& error) {
            std::ostringstream message;
            const int code = app.exit(error, out, message);
            if (code != 0) failed(exit_code::kUsage, lineNumber, message.str().substr(0, message.str().find('\n')));
            continue;
        }
        if (quit->parsed()) break;
        if (help->parsed()) {
            // Forget the parse, or the help would be the help command's own.
            app.clear();
            out << app.help();
            continue;
        }
        try {
            commands.selected()(context);
        } catch (const UsageError& error) {
            failed(exit_code::kUsage, lineNumber, error.what());
        } catch (const ImageError& error) {
            failed(exit_code::kUsage, lineNumber, error.what());
        } catch (const TargetError& error) {
            failed(exit_code::kTargetFailure, lineNumber, error.message);
        }
        out << std::flush;
    }
    session.close();
    return result;
}

}  // namespace cm3tools::cli
