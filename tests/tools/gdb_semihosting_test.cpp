// gdb-multiarch against `cm3probe --sim gdbserver` running the semihosted
// example: its console on GDB's, its exit code as GDB's "exited with code".
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "gdb_process.h"

namespace cm3test {
namespace {

#if defined(CM3PROBE_CLI) && defined(CM3PROBE_SEMIHOST_HELLO)
constexpr std::chrono::seconds kServerStartLimit{60};
constexpr std::chrono::seconds kSessionLimit{180};
constexpr std::chrono::seconds kServerExitLimit{30};

constexpr const char* kScript = R"gdb(set pagination off
set confirm off
monitor semihosting enable
load
monitor reset halt
continue
)gdb";

TEST(GdbSemihosting, ConsoleOutputAndExitCode) {
    if (!OnPath("gdb-multiarch")) GTEST_SKIP() << "gdb-multiarch is not installed (Debian: gdb-multiarch)";
    TempDir dir;
    const std::string scriptFile = dir.file("session.gdb");
    std::ofstream(scriptFile) << kScript;
    const uint16_t port = FreeLoopbackPort();
    Subprocess server({CM3PROBE_CLI, "--sim", "gdbserver", "--port", std::to_string(port), "--once"}, {},
                      dir.file("server.out"), dir.file("server.err"));
    ASSERT_TRUE(WaitForText({dir.file("server.out"), dir.file("server.err")}, "listening on 127.0.0.1:",
                            kServerStartLimit));
    const Finished gdb = RunProgram({"gdb-multiarch", "-batch", "-nx", "-ex", "set tcp auto-retry off", "-ex",
                                     "set remotetimeout 60", "-ex", "target remote 127.0.0.1:" + std::to_string(port),
                                     "-x", scriptFile, CM3PROBE_SEMIHOST_HELLO},
                                    {}, kSessionLimit, true);
    EXPECT_FALSE(gdb.timedOut);
    EXPECT_NE(gdb.out.find("semihosting enabled"), std::string::npos) << gdb.out;
    // No console: the program's command line is empty and its read ends at once.
    EXPECT_NE(gdb.out.find("hello from the target\nargc 0\n"), std::string::npos) << gdb.out;
    EXPECT_NE(gdb.out.find("[Inferior 1 (Remote target) exited with code 03]"), std::string::npos) << gdb.out;
    bool late = false;
    EXPECT_EQ(server.wait(kServerExitLimit, &late), 0) << ReadFile(dir.file("server.err"));
    EXPECT_FALSE(late);
}
#else
TEST(GdbSemihosting, ConsoleOutputAndExitCode) {
    GTEST_SKIP() << "needs the cm3probe command line and the semihosted examples in this build";
}
#endif

}  // namespace
}  // namespace cm3test
