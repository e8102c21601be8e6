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

// A breakpoint on the C runtime's first call stops there, stepi serves it;
// a fault's backtrace leads back to where it happened.
constexpr const char* kScript = R"gdb(set pagination off
set confirm off
monitor semihosting enable
load
monitor reset halt
break *_mainCRTStartup+4
continue
x/i $pc
stepi
print (int)$pc - (int)_mainCRTStartup
delete
continue
bt
)gdb";

// One batch session on a fresh server running `program`; GDB's output.
std::string Session(const std::string& program) {
    TempDir dir;
    const std::string scriptFile = dir.file("session.gdb");
    std::ofstream(scriptFile) << kScript;
    const uint16_t port = FreeLoopbackPort();
    Subprocess server({CM3PROBE_CLI, "--sim", "gdbserver", "--port", std::to_string(port), "--once"}, {},
                      dir.file("server.out"), dir.file("server.err"));
    if (!WaitForText({dir.file("server.out"), dir.file("server.err")}, "listening on 127.0.0.1:", kServerStartLimit)) {
        ADD_FAILURE() << "the server did not start";
        return "";
    }
    const Finished gdb = RunProgram({"gdb-multiarch", "-batch", "-nx", "-ex", "set tcp auto-retry off", "-ex",
                                     "set remotetimeout 60", "-ex", "target remote 127.0.0.1:" + std::to_string(port),
                                     "-x", scriptFile, program},
                                    {}, kSessionLimit, true);
    EXPECT_FALSE(gdb.timedOut);
    bool late = false;
    EXPECT_EQ(server.wait(kServerExitLimit, &late), 0) << ReadFile(dir.file("server.err"));
    EXPECT_FALSE(late);
    return gdb.out;
}

TEST(GdbSemihosting, ConsoleOutputAndExitCode) {
    if (!OnPath("gdb-multiarch")) GTEST_SKIP() << "gdb-multiarch is not installed (Debian: gdb-multiarch)";
    const std::string hello = Session(CM3PROBE_SEMIHOST_HELLO);
    EXPECT_NE(hello.find("semihosting enabled"), std::string::npos) << hello;
    // No console: the program's command line is empty and its read ends at once.
    EXPECT_NE(hello.find("hello from the target\nargc 0\n"), std::string::npos) << hello;
    EXPECT_NE(hello.find("bkpt\t0x00ab"), std::string::npos) << hello;
    EXPECT_NE(hello.find("$1 = 6"), std::string::npos) << "stepi moves past the call\n" << hello;
    EXPECT_NE(hello.find("[Inferior 1 (Remote target) exited with code 03]"), std::string::npos) << hello;
    // The vector catch stops on entry to the fault handler, the faulting main a frame below.
    const std::string fault = Session(CM3PROBE_SEMIHOST_FAULT);
    EXPECT_NE(fault.find("about to fault\n"), std::string::npos) << fault;
    EXPECT_NE(fault.find("Program received signal SIGSEGV"), std::string::npos) << fault;
    EXPECT_NE(fault.find("<signal handler called>"), std::string::npos) << fault;
    EXPECT_NE(fault.find(" main ()"), std::string::npos) << fault;
}
#else
TEST(GdbSemihosting, ConsoleOutputAndExitCode) {
    GTEST_SKIP() << "needs the cm3probe command line and the semihosted examples in this build";
}
#endif

}  // namespace
}  // namespace cm3test
