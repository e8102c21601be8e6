// `cm3probe run` on the simulator: the semihosted examples end with their
// exit code, their console on stdout and stdin fed to them; a fault, a
// timeout and an unserved semihosting call end with run's own codes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli_support.h"

namespace cm3test {
namespace {

#if defined(CM3PROBE_SEMIHOST_HELLO) && defined(CM3PROBE_EXAMPLE_FIRMWARE)
struct RunCase {
    const char* name;
    std::vector<std::string> args;  // after `cm3probe --sim`
    std::string input;
    int exitCode;
    std::string out;  // all of stdout
    std::string err;  // a part of stderr
};

const std::string kHello = CM3PROBE_SEMIHOST_HELLO;
const std::string kHelloOut = "hello from the target\nargc 3\nargv[0] " + kHello + "\nargv[1] one\nargv[2] two\n";

TEST(CliRun, ExitCodesOutputAndInput) {
    const std::vector<RunCase> cases = {
        {"swd", {"run", "--semihosting", kHello, "one", "two"}, "", 3, kHelloOut, ""},
        {"swd batched", {"--batched", "run", "--semihosting", kHello, "one", "two"}, "", 3, kHelloOut, ""},
        {"jtag", {"--jtag", "run", "--semihosting", kHello, "one", "two"}, "", 3, kHelloOut, ""},
        {"jtag batched, stdin", {"--jtag", "--batched", "run", "--semihosting", kHello, "one", "two"},
         "typed line\n", 3, kHelloOut + "read: typed line\n", ""},
        // Linked for SRAM: loaded, not flashed, and started at its entry point.
        {"image in RAM", {"run", "--semihosting", CM3PROBE_SEMIHOST_HELLO_RAM}, "", 3,
         "hello from the target\nargc 1\nargv[0] " CM3PROBE_SEMIHOST_HELLO_RAM "\n", ""},
        {"fault", {"run", "--semihosting", CM3PROBE_SEMIHOST_FAULT}, "", 125, "about to fault\n",
         "a fault or reset was caught"},
        {"no semihosting", {"run", kHello}, "", 125, "", "run with --semihosting"},
        // The example firmware counts forever.
        {"timeout", {"run", "--semihosting", "--timeout", "0.5", CM3PROBE_EXAMPLE_FIRMWARE}, "", 124, "",
         "timed out"},
        // A fresh simulated part has erased flash: it locks up at once.
        {"no flash", {"run", "--no-flash", "--semihosting", kHello}, "", 125, "", "locked up"},
        {"probe failure", {"-a", "No Such Adapter", "run", "--semihosting", kHello}, "", 126, "", "DebugOpen"},
        {"files without semihosting", {"run", "--semihosting-files", ".", kHello}, "", 2, "", "needs --semihosting"},
    };
    for (const RunCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"--sim"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Outcome outcome = RunCli(args, c.input);
        EXPECT_EQ(outcome.exitCode, c.exitCode) << outcome.err;
        EXPECT_EQ(outcome.out, c.out);
        EXPECT_NE(outcome.err.find(c.err), std::string::npos) << outcome.err;
    }
}
#else
TEST(CliRun, ExitCodesOutputAndInput) {
    GTEST_SKIP() << "needs the semihosted examples (arm-none-eabi-gcc with newlib) in this build";
}
#endif

}  // namespace
}  // namespace cm3test
