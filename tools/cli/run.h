// `cm3probe run`: firmware as a test. Flash (or load) the image, reset, run
// it with the console served over semihosting, and end with the target's
// exit code.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "common/session.h"

namespace cm3tools::cli {

// Exit codes of `run` that are its own, beside the target's.
namespace run_exit {
inline constexpr int kTimeout = 124;
inline constexpr int kFault = 125;  // a fault, a lockup, or a halt that is not an exit
inline constexpr int kProbe = 126;  // the probe or the connection failed
}  // namespace run_exit

struct RunOptions {
    std::string file;
    std::vector<std::string> arguments;  // the program's command line after its name
    bool semihosting = false;
    std::optional<double> timeoutSeconds;
    bool noFlash = false;
    std::string fileRoot;  // --semihosting-files; empty: none
};

int RunFirmware(const GlobalOptions& global, const RunOptions& options, std::ostream& notes);

}  // namespace cm3tools::cli
