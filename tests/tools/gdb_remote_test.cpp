// Real gdb-multiarch against `cm3probe --sim gdbserver`, over SWD and JTAG,
// in batch mode: load the example firmware, break, continue, registers,
// memory, stepping, variables, monitor commands, an interrupt, detach; the
// watchpoints; a blank chip.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "gdb_process.h"

namespace cm3test {
namespace {

constexpr std::chrono::seconds kServerStartLimit{60};
constexpr std::chrono::seconds kSessionLimit{180};
constexpr std::chrono::seconds kServerExitLimit{30};
constexpr std::chrono::seconds kReplyLimit{60};

// Sections of the script start with an echoed "@@ name" line.
constexpr const char* kScript = R"gdb(set pagination off
set confirm off
echo @@ load\n
monitor reset halt
load
echo @@ break\n
break tick
continue
echo @@ registers\n
info registers
echo @@ memory\n
x/8xw 0x20000000
echo @@ stepi\n
print/x $pc
set debug remote 1
stepi
set debug remote 0
print/x $pc
echo @@ next\n
next
echo @@ variables\n
print counter
set var counter = 1234
print counter
x/wx &counter
echo @@ reset\n
delete
monitor reset halt
maintenance flush register-cache
print/x $pc
print/x *(unsigned int *)4 & ~1
echo @@ interrupt\n
python
import threading
def interrupt_soon(event):
    gdb.events.cont.disconnect(interrupt_soon)
    threading.Timer(0.3, lambda: gdb.post_event(lambda: gdb.execute("interrupt"))).start()
gdb.events.cont.connect(interrupt_soon)
end
continue
print/x $pc
echo @@ detach\n
detach
)gdb";

std::map<std::string, std::string> Sections(const std::string& output) {
    std::map<std::string, std::string> sections;
    std::string current = "connect";
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.starts_with("@@ ")) {
            current = line.substr(3);
            continue;
        }
        sections[current] += line + "\n";
    }
    return sections;
}

// The values of "$N = 0x..." lines, in order.
std::vector<std::string> PrintedValues(const std::string& section) {
    std::vector<std::string> values;
    const std::regex printed(R"(\$\d+ = (\S+))");
    for (auto it = std::sregex_iterator(section.begin(), section.end(), printed); it != std::sregex_iterator(); ++it) {
        values.push_back((*it)[1]);
    }
    return values;
}

#if defined(CM3PROBE_CLI)
struct GdbRun {
    std::string output;  // GDB's stdout and stderr
    std::string serverLog;
    int serverExit = -1;
};

// `cm3probe --sim --TRANSPORT gdbserver --once` and one gdb-multiarch batch
// session on it running `script` (then `program` when given).
GdbRun RunGdb(const std::string& transport, const std::string& script, const std::string& program) {
    TempDir dir;
    const std::string scriptFile = dir.file("session.gdb");
    std::ofstream(scriptFile) << script;
    const uint16_t port = FreeLoopbackPort();
    Subprocess server({CM3PROBE_CLI, "--sim", "--" + transport, "gdbserver", "--port", std::to_string(port), "--once",
                       "-v"},
                      {}, dir.file("server.out"), dir.file("server.err"));
    GdbRun run;
    if (!WaitForText({dir.file("server.out"), dir.file("server.err")}, "listening on 127.0.0.1:", kServerStartLimit)) {
        ADD_FAILURE() << "the server did not start\n" << ReadFile(dir.file("server.err"));
        return run;
    }
    // Every process using the library shares its system-wide lock: a reply
    // can wait for another test's traffic, longer than GDB's 2 s default.
    std::vector<std::string> argv = {"gdb-multiarch", "-batch", "-nx", "-ex", "set tcp auto-retry off", "-ex",
                                     "set remotetimeout " + std::to_string(kReplyLimit.count()), "-ex",
                                     "target remote 127.0.0.1:" + std::to_string(port), "-x", scriptFile};
    if (!program.empty()) argv.push_back(program);
    // The script's shell commands find the port in the environment.
    const Finished gdb = RunProgram(argv, {{"GDB_TEST_PORT", std::to_string(port)}}, kSessionLimit, true);
    EXPECT_FALSE(gdb.timedOut);
    bool late = false;
    run.serverExit = server.wait(kServerExitLimit, &late);
    EXPECT_FALSE(late);
    run.output = gdb.out;
    run.serverLog = ReadFile(dir.file("server.err"));
    return run;
}
#endif

class GdbRemoteTest : public ::testing::TestWithParam<const char*> {};

TEST_P(GdbRemoteTest, BatchSessionOnTheSimulatedTarget) {
#if !defined(CM3PROBE_CLI) || !defined(CM3PROBE_EXAMPLE_FIRMWARE)
    GTEST_SKIP() << "needs the cm3probe command line and the example firmware (examples/firmware) in this build";
#else
    if (!OnPath("gdb-multiarch")) GTEST_SKIP() << "gdb-multiarch is not installed (Debian: gdb-multiarch)";
    TempDir dir;
    const std::string script = dir.file("session.gdb");
    std::ofstream(script) << kScript;

    const uint16_t port = FreeLoopbackPort();
    Subprocess server({CM3PROBE_CLI, "--sim", std::string("--") + GetParam(), "gdbserver", "--port",
                       std::to_string(port), "--once", "-v"},
                      {}, dir.file("server.out"), dir.file("server.err"));
    ASSERT_TRUE(WaitForText({dir.file("server.out"), dir.file("server.err")}, "listening on 127.0.0.1:", kServerStartLimit))
        << ReadFile(dir.file("server.err"));

    // Every process using the library shares its system-wide lock: a reply
    // can wait for another test's traffic, longer than GDB's 2 s default.
    const Finished gdb = RunProgram({"gdb-multiarch", "-batch", "-nx", "-ex", "set tcp auto-retry off", "-ex",
                                     "set remotetimeout " + std::to_string(kReplyLimit.count()), "-ex",
                                     "target remote 127.0.0.1:" + std::to_string(port), "-x", script,
                                     CM3PROBE_EXAMPLE_FIRMWARE},
                                    {}, kSessionLimit, true);
    const std::string& output = gdb.out;
    SCOPED_TRACE(output + "\n--- server ---\n" + ReadFile(dir.file("server.err")));
    ASSERT_FALSE(gdb.timedOut);
    for (const char* failure : {"Error", "error", "Cannot", "failure", "Ignoring packet"}) {
        EXPECT_EQ(output.find(failure), std::string::npos) << failure;
    }
    auto sections = Sections(output);

    EXPECT_NE(sections["load"].find("system reset; the core is halted at the reset vector"), std::string::npos);
    EXPECT_NE(sections["load"].find("Loading section .text"), std::string::npos);
    EXPECT_NE(sections["load"].find("Start address 0x"), std::string::npos);
    EXPECT_NE(sections["break"].find("Breakpoint 1, tick ()"), std::string::npos);
    EXPECT_TRUE(std::regex_search(sections["registers"], std::regex(R"(pc\s+0x[0-9a-f]+\s+0x[0-9a-f]+ <tick>)")));
    EXPECT_TRUE(std::regex_search(sections["registers"], std::regex(R"(sp\s+0x2000[0-9a-f]{4}\s)")));
    EXPECT_NE(sections["memory"].find("0x20000000 <counter>:"), std::string::npos);

    const auto stepped = PrintedValues(sections["stepi"]);
    ASSERT_EQ(stepped.size(), 2u);
    EXPECT_NE(stepped[0], stepped[1]);
    // The stop reply carries every register GDB's unwinder reads after a
    // step: no `g` (20 register reads) per stepi.
    EXPECT_NE(sections["stepi"].find("Sending packet: $vCont;s"), std::string::npos);
    EXPECT_EQ(sections["stepi"].find("Sending packet: $g#"), std::string::npos);
    EXPECT_NE(sections["next"].find("tick"), std::string::npos);

    const auto variables = PrintedValues(sections["variables"]);
    ASSERT_EQ(variables.size(), 2u);
    EXPECT_EQ(variables[1], "1234");
    EXPECT_NE(sections["variables"].find("<counter>:\t0x000004d2"), std::string::npos);

    // After the reset the PC is the reset vector's handler.
    const auto reset = PrintedValues(sections["reset"]);
    ASSERT_EQ(reset.size(), 2u);
    EXPECT_EQ(reset[0], reset[1]);
    EXPECT_NE(sections["reset"].find("system reset; the core is halted at the reset vector"), std::string::npos);

    EXPECT_NE(sections["interrupt"].find("Program received signal SIGINT"), std::string::npos);
    EXPECT_NE(sections["detach"].find("detached"), std::string::npos);

    // --once: the server ends with the session.
    bool late = false;
    EXPECT_EQ(server.wait(kServerExitLimit, &late), 0);
    EXPECT_FALSE(late);
#endif
}

// The four watchpoints on the example firmware's counter (tick() reads and
// writes it): each kind, a 16-byte range on one masked comparator, stepping
// after a hit, and a fifth watchpoint refused with the DWT full.
constexpr const char* kWatchScript = R"gdb(set pagination off
set confirm off
monitor reset halt
load
break tick
continue
delete
echo @@ watch\n
watch counter
continue
continue
delete
echo @@ rwatch\n
rwatch counter
continue
delete
echo @@ awatch\n
awatch counter
continue
continue
delete
echo @@ masked\n
watch *(unsigned int (*)[4])&counter
continue
x/2xw 0xE0001020
echo @@ step\n
stepi
next
delete
echo @@ full\n
watch counter
rwatch counter
awatch counter
watch *(char *)0x20000100
watch *(char *)0x20000104
python
try:
    gdb.execute("continue")
except gdb.error as refused:
    print("refused: %s" % refused)
end
delete
echo @@ after\n
watch counter
continue
echo @@ detach\n
detach
)gdb";

TEST_P(GdbRemoteTest, Watchpoints) {
#if !defined(CM3PROBE_CLI) || !defined(CM3PROBE_EXAMPLE_FIRMWARE)
    GTEST_SKIP() << "needs the cm3probe command line and the example firmware (examples/firmware) in this build";
#else
    if (!OnPath("gdb-multiarch")) GTEST_SKIP() << "gdb-multiarch is not installed (Debian: gdb-multiarch)";
    const GdbRun run = RunGdb(GetParam(), kWatchScript, CM3PROBE_EXAMPLE_FIRMWARE);
    SCOPED_TRACE(run.output + "\n--- server ---\n" + run.serverLog);
    auto sections = Sections(run.output);
    for (const char* name : {"watch", "rwatch", "awatch", "masked", "step", "after", "detach"}) {
        for (const char* failure : {"Error", "error", "Cannot", "Could not", "failure", "Ignoring packet"}) {
            EXPECT_EQ(sections[name].find(failure), std::string::npos) << name << ": " << failure;
        }
    }
    EXPECT_NE(sections["watch"].find("Hardware watchpoint 2: counter\n\nOld value = 0\nNew value = 1\n"),
              std::string::npos);
    EXPECT_NE(sections["watch"].find("Hardware watchpoint 2: counter\n\nOld value = 1\nNew value = 2\n"),
              std::string::npos);
    EXPECT_NE(sections["rwatch"].find("Hardware read watchpoint 3: counter\n\nValue = 2\n"), std::string::npos);
    EXPECT_NE(sections["awatch"].find("Hardware access (read/write) watchpoint 4: counter\n\nOld value = 2\n"
                                      "New value = 3\n"),
              std::string::npos);
    EXPECT_NE(sections["awatch"].find("Hardware access (read/write) watchpoint 4: counter\n\nValue = 3\n"),
              std::string::npos);
    EXPECT_NE(sections["masked"].find("Old value = {3, 0, 0, 0}\nNew value = {4, 0, 0, 0}\n"), std::string::npos);
    // Comparator 0 held the whole range: COMP the counter, MASK 4 (16 bytes).
    EXPECT_NE(sections["masked"].find(":\t0x20000000\t0x00000004\n"), std::string::npos);
    EXPECT_NE(run.serverLog.find("<- Z2,20000000,10\n"), std::string::npos);
    // Stepping goes on; `next` runs into the watchpoint on the next write.
    EXPECT_NE(sections["step"].find("Old value = {4, 0, 0, 0}\nNew value = {5, 0, 0, 0}\n"), std::string::npos);
    EXPECT_NE(sections["full"].find("Could not insert hardware watchpoint 10"), std::string::npos);
    EXPECT_NE(sections["full"].find("refused: "), std::string::npos);
    EXPECT_NE(run.serverLog.find("all 4 DWT comparators are in use"), std::string::npos);
    EXPECT_TRUE(std::regex_search(sections["after"], std::regex(R"(Old value = \d+\nNew value = \d+\n)")));
    EXPECT_NE(sections["detach"].find("detached"), std::string::npos);
    EXPECT_EQ(run.serverExit, 0);
#endif
}

// A fresh server's target has erased flash: the core locks up at reset. GDB
// gets a stop it understands for every command, and a second debugger is
// told why it is refused.
constexpr const char* kBlankChipScript = R"gdb(set pagination off
set confirm off
echo @@ registers\n
info registers pc sp
echo @@ continue\n
continue
print/x $pc
echo @@ stepi\n
stepi
echo @@ monitor\n
monitor frobnicate
echo @@ second\n
shell gdb-multiarch -batch -nx -ex "set tcp auto-retry off" -ex "target remote 127.0.0.1:$GDB_TEST_PORT"
echo @@ detach\n
detach
)gdb";

TEST(GdbBlankChip, EveryCommandGetsAStopOrAnAnswer) {
#if !defined(CM3PROBE_CLI)
    GTEST_SKIP() << "needs the cm3probe command line in this build";
#else
    if (!OnPath("gdb-multiarch")) GTEST_SKIP() << "gdb-multiarch is not installed (Debian: gdb-multiarch)";
    const GdbRun run = RunGdb("swd", kBlankChipScript, "");
    SCOPED_TRACE(run.output + "\n--- server ---\n" + run.serverLog);
    auto sections = Sections(run.output);
    for (const char* name : {"registers", "continue", "stepi", "monitor", "detach"}) {
        for (const char* failure : {"Error", "error", "Cannot", "Could not", "failure", "Ignoring packet"}) {
            EXPECT_EQ(sections[name].find(failure), std::string::npos) << name << ": " << failure;
        }
    }
    EXPECT_TRUE(std::regex_search(sections["registers"], std::regex(R"(pc\s+0xfffffffe\s)")));
    EXPECT_TRUE(std::regex_search(sections["registers"], std::regex(R"(sp\s+0x[0-9a-f]+\s)")));
    EXPECT_NE(sections["continue"].find("Program received signal SIGSEGV"), std::string::npos);
    EXPECT_EQ(PrintedValues(sections["continue"]), std::vector<std::string>{"0xfffffffe"});
    EXPECT_NE(sections["stepi"].find("Program received signal SIGSEGV"), std::string::npos);
    EXPECT_NE(sections["monitor"].find("unknown monitor command 'frobnicate'"), std::string::npos);
    EXPECT_NE(sections["second"].find("Remote failure reply: E.one debugger at a time"), std::string::npos);
    EXPECT_NE(sections["detach"].find("detached"), std::string::npos);
    EXPECT_EQ(run.serverExit, 0);
#endif
}

INSTANTIATE_TEST_SUITE_P(Transports, GdbRemoteTest, ::testing::Values("swd", "jtag"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace cm3test
