// The one-shot commands of the cm3probe binary on the simulator: output, and
// the exit codes scripts rely on. Each run is its own process with a fresh
// simulator; flows over several commands live in cli_shell_test.cpp.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <regex>

#include "cli_programs.h"
#include "cli_support.h"

namespace cm3test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr int kSuccess = 0;
constexpr int kTargetFailure = 1;
constexpr int kUsage = 2;

std::string Describe(const Outcome& outcome) {
    return "exit " + std::to_string(outcome.exitCode) + (outcome.timedOut ? " (timed out)" : "") +
           "\nstdout:\n" + outcome.out + "\nstderr:\n" + outcome.err;
}

// A simulator whose flash holds the counting loop, so the core runs from reset.
class LoopTarget {
public:
    LoopTarget() {
        WriteBytes(dir_.file("loop.bin"), loop_program::Image());
        WriteText(dir_.file("sim.json"), R"({"images": [{"path": "loop.bin", "address": 0}]})");
    }
    std::string config() const { return dir_.file("sim.json"); }

private:
    ScratchDir dir_;
};

struct Transport {
    const char* name;
    std::vector<std::string> options;
    const char* idcode;
};

class InfoTest : public ::testing::TestWithParam<Transport> {};

TEST_P(InfoTest, IdentifiesTheSimulatedTarget) {
    ScratchDir dir;
    // Non-default identity values, so the output must come from the target.
    WriteText(dir.file("sim.json"),
              R"({"swdp_idcode": "0x3BA01477", "jtag_idcode": "0x5BA00477", "device_id1": "0x10A1707E"})");
    std::vector<std::string> args{"--sim", dir.file("sim.json")};
    args.insert(args.end(), GetParam().options.begin(), GetParam().options.end());
    args.push_back("info");
    const Outcome outcome = RunCli(args);
    ASSERT_EQ(outcome.exitCode, kSuccess) << Describe(outcome);
    EXPECT_THAT(outcome.out, HasSubstr(std::string("IDCODE       ") + GetParam().idcode));
    EXPECT_THAT(outcome.out, HasSubstr("device       class 0x01, part 0xA1, revision 0x0101"));
    EXPECT_THAT(outcome.out, HasSubstr("CPUID        0x412FC230 (Cortex-M3 r2p0)"));
    EXPECT_THAT(outcome.out, HasSubstr("ROM table at 0xE00FF000 valid (CIDR 0xB105100D, system memory)"));
    EXPECT_THAT(outcome.out, HasSubstr("SCS 0xE000E000, DWT 0xE0001000, FPB 0xE0002000, ITM 0xE0000000, "
                                       "TPIU 0xE0040000, ETM 0xE0041000 (absent)"));
    // Erased flash: the core locks up at its first fetch.
    EXPECT_THAT(outcome.out, HasSubstr("core         locked up"));
}

INSTANTIATE_TEST_SUITE_P(Transports, InfoTest,
                         ::testing::Values(Transport{"Swd", {}, "0x3BA01477"},
                                           Transport{"SwdBatched", {"--swd", "--batched"}, "0x3BA01477"},
                                           Transport{"Jtag", {"--jtag"}, "0x5BA00477"},
                                           Transport{"JtagBatched6MHz", {"--jtag", "--batched", "--clock", "6M"},
                                                     "0x5BA00477"}),
                         [](const ::testing::TestParamInfo<Transport>& info) { return std::string(info.param.name); });

TEST(Cli, FallsBackToTheSimulatorOnlyWhenNoAdapterIsAttached) {
    const Outcome outcome = RunCli({"--adapter", "USB Debug Bridge A", "info"});
    ASSERT_EQ(outcome.exitCode, kSuccess) << Describe(outcome);
    EXPECT_THAT(outcome.err, HasSubstr("using the built-in simulator"));
    EXPECT_THAT(outcome.out, HasSubstr("(simulator)"));
}

// The library answers only DBG_ERROR; the command line finds out why.
TEST(Cli, ExplainsASimulatorModuleThatWillNotLoad) {
    ScratchDir dir;
    const Outcome outcome = RunCli({"--sim", "info"}, "", {{"CM3PROBE_SIM_MODULE", dir.file("gone.so")}});
    EXPECT_EQ(outcome.exitCode, kTargetFailure) << Describe(outcome);
    EXPECT_THAT(outcome.err, HasSubstr("the simulator module libcm3probe_sim.so did not load"));
    EXPECT_THAT(outcome.err, HasSubstr(dir.file("gone.so") + ": cannot open shared object file"));
}

// A GDB server that cannot listen says so, without --verbose.
TEST(Cli, GdbServerOnATakenPortSaysWhy) {
    const int taken = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(taken, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    ASSERT_EQ(getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string port = std::to_string(ntohs(address.sin_port));
    const Outcome outcome = RunCli({"--sim", "gdbserver", "--port", port, "--once"}, "", {}, 30);
    close(taken);
    EXPECT_EQ(outcome.exitCode, kTargetFailure);
    EXPECT_THAT(outcome.err, ::testing::HasSubstr("cannot listen on 127.0.0.1:" + port));
}

TEST(Cli, ListsTheSimulatedAdapters) {
    ScratchDir dir;
    WriteText(dir.file("sim.json"), R"({"descriptions": ["Amber Probe A", "Amber Probe B"]})");
    Outcome outcome = RunCli({"--sim", "list"});
    ASSERT_EQ(outcome.exitCode, kSuccess) << Describe(outcome);
    EXPECT_EQ(outcome.out, "USB Debug Bridge A\nUSB Debug Bridge B\n");
    outcome = RunCli({"--sim", dir.file("sim.json"), "list"});
    ASSERT_EQ(outcome.exitCode, kSuccess) << Describe(outcome);
    EXPECT_EQ(outcome.out, "Amber Probe A\nAmber Probe B\n");
    // And opens them by those names.
    outcome = RunCli({"--sim", dir.file("sim.json"), "--adapter", "Amber Probe A", "info"});
    EXPECT_EQ(outcome.exitCode, kSuccess) << Describe(outcome);
}

TEST(Cli, HandsTheTraceOptionsToTheSimulator) {
    ScratchDir dir;
    const Outcome outcome = RunCli(
        {"--sim", "--jtag", "--trace", dir.file("wire.vcd"), "--log-transactions", "read", "0x20000000", "4"});
    ASSERT_EQ(outcome.exitCode, kSuccess) << Describe(outcome);
    const auto vcd = ReadBytes(dir.file("wire.vcd"));
    const std::string text(vcd.begin(), vcd.end());
    EXPECT_THAT(text, HasSubstr("$enddefinitions"));
    EXPECT_THAT(text, HasSubstr("TCK"));
    // DebugInit reads the AHB-AP's IDR: the log shows it.
    std::string log = outcome.err;
    std::transform(log.begin(), log.end(), log.begin(), [](unsigned char c) { return std::tolower(c); });
    EXPECT_THAT(log, HasSubstr("24770011"));
}

TEST(Cli, ReadsAnyLengthAcrossBlockBoundaries) {
    ScratchDir dir;
    const auto sram = Pattern(16000, 7);
    WriteBytes(dir.file("sram.bin"), sram);
    WriteText(dir.file("sim.json"), R"({"images": [{"path": "sram.bin", "address": "0x20000000"}]})");
    // Starts 3 bytes short of a 4 KB boundary, ends mid-block two boundaries on.
    const Outcome outcome =
        RunCli({"--sim", dir.file("sim.json"), "read", "0x20000FFD", "9001", "-o", dir.file("out.bin")});
    ASSERT_EQ(outcome.exitCode, kSuccess) << Describe(outcome);
    EXPECT_EQ(ReadBytes(dir.file("out.bin")),
              std::vector<uint8_t>(sram.begin() + 0xFFD, sram.begin() + 0xFFD + 9001));
}

TEST(Cli, DumpsMemoryAsBytesOrWords) {
    ScratchDir dir;
    WriteBytes(dir.file("sram.bin"), {'c', 'm', '3', 0x00, 0x44, 0x33, 0x22, 0x11, 0x99});
    WriteText(dir.file("sim.json"), R"({"images": [{"path": "sram.bin", "address": "0x20000010"}]})");
    Outcome outcome = RunCli({"--sim", dir.file("sim.json"), "read", "0x20000010", "9"});
    ASSERT_EQ(outcome.exitCode, kSuccess) << Describe(outcome);
    EXPECT_EQ(outcome.out, "0x20000010  63 6d 33 00 44 33 22 11  99                       |cm3.D3\"..|\n");
    outcome = RunCli({"--sim", dir.file("sim.json"), "read", "--words", "0x20000010", "9"});
    ASSERT_EQ(outcome.exitCode, kSuccess) << Describe(outcome);
    EXPECT_EQ(outcome.out, "0x20000010  00336d63 11223344 99\n");
}

TEST(Cli, WritesValuesAndFiles) {
    ScratchDir dir;
    WriteBytes(dir.file("data.bin"), Pattern(5000, 8));
    Outcome outcome = RunCli({"--sim", "write", "0x20000000", "0x11223344", "5"});
    ASSERT_EQ(outcome.exitCode, kSuccess) << Describe(outcome);
    EXPECT_EQ(outcome.out, "wrote 2 values at 0x20000000\n");
    outcome = RunCli({"--sim", "write", "--size", "16", "0x20000002", "0xBEEF"});
    ASSERT_EQ(outcome.exitCode, kSuccess) << Describe(outcome);
    outcome = RunCli({"--sim", "write", "0x20000001", "-i", dir.file("data.bin")});
    ASSERT_EQ(outcome.exitCode, kSuccess) << Describe(outcome);
    EXPECT_EQ(outcome.out, "wrote 5000 bytes at 0x20000001\n");
}

TEST(Cli, FlashesAndVerifiesARawImage) {
    ScratchDir dir;
    WriteBytes(dir.file("image.bin"), Pattern(5000, 9));
    const Outcome outcome = RunCli({"--sim", "flash", dir.file("image.bin")});
    ASSERT_EQ(outcome.exitCode, kSuccess) << Describe(outcome);
    EXPECT_EQ(outcome.out, "flashed 5000 bytes at 0x00000000-0x00001387\nverified\n");
}

TEST(Cli, LoadPointsFlashAddressesAtTheFlashCommand) {
    ScratchDir dir;
    WriteElf(dir.file("fw.elf"), {{0x0, 0x0, Pattern(64, 10)}});
    const Outcome outcome = RunCli({"--sim", "load", dir.file("fw.elf")});
    EXPECT_EQ(outcome.exitCode, kTargetFailure) << Describe(outcome);
    EXPECT_THAT(outcome.err, HasSubstr("DBG_STICKY_ERROR"));
    EXPECT_THAT(outcome.err, HasSubstr("flash takes 'flash'"));
}

TEST(Cli, LoadsAnElfIntoRam) {
    ScratchDir dir;
    WriteElf(dir.file("ram.elf"), {{0x20000400, 0x20000400, Pattern(700, 11)}, {0x20001000, 0x0, Pattern(9, 12)}},
             {}, EM_ARM, 0x20000401);
    const Outcome outcome = RunCli({"--sim", "load", dir.file("ram.elf")});
    ASSERT_EQ(outcome.exitCode, kSuccess) << Describe(outcome);
    EXPECT_EQ(outcome.out,
              "loaded 700 bytes at 0x20000400-0x200006BB\nloaded 9 bytes at 0x20001000-0x20001008\n"
              "entry point 0x20000401\n");
}

TEST(Cli, HaltsAndShowsRegisters) {
    LoopTarget target;
    Outcome outcome = RunCli({"--sim", target.config(), "halt"});
    ASSERT_EQ(outcome.exitCode, kSuccess) << Describe(outcome);
    EXPECT_TRUE(std::regex_match(outcome.out, std::regex("halted at pc 0x000000(40|42|44)\n"))) << outcome.out;

    outcome = RunCli({"--sim", target.config(), "regs", "--halt"});
    ASSERT_EQ(outcome.exitCode, kSuccess) << Describe(outcome);
    for (const char* name : {"r0", "r7", "r12", "sp", "lr", "pc", "xpsr", "msp", "psp", "special"}) {
        EXPECT_TRUE(std::regex_search(outcome.out, std::regex(std::string("(^|\n)") + name + " +0x[0-9A-F]{8}")))
            << name << "\n" << outcome.out;
    }
    EXPECT_THAT(outcome.out, HasSubstr("sp       0x20001000"));
    EXPECT_THAT(outcome.out, HasSubstr("CONTROL 0x00 FAULTMASK 0x00 BASEPRI 0x00 PRIMASK 0x00"));

    outcome = RunCli({"--sim", target.config(), "reg", "--halt", "msp"});
    ASSERT_EQ(outcome.exitCode, kSuccess) << Describe(outcome);
    EXPECT_EQ(outcome.out, "msp 0x20001000\n");
    outcome = RunCli({"--sim", target.config(), "reg", "--halt", "r3", "0x1234"});
    ASSERT_EQ(outcome.exitCode, kSuccess) << Describe(outcome);
    EXPECT_EQ(outcome.out, "r3 0x00001234\n");
    outcome = RunCli({"--sim", target.config(), "step", "--halt"});
    ASSERT_EQ(outcome.exitCode, kSuccess) << Describe(outcome);
    EXPECT_TRUE(std::regex_match(outcome.out, std::regex("pc 0x000000(40|42|44)\n"))) << outcome.out;
    outcome = RunCli({"--sim", target.config(), "resume"});
    ASSERT_EQ(outcome.exitCode, kSuccess) << Describe(outcome);
    EXPECT_THAT(outcome.out, HasSubstr("core running"));
}

TEST(Cli, RegisterAccessOnARunningCoreSaysHowToHalt) {
    LoopTarget target;
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"regs"}, {"reg", "pc"}, {"reg", "r0", "1"}, {"step"}}) {
        std::vector<std::string> args{"--sim", target.config()};
        args.insert(args.end(), command.begin(), command.end());
        const Outcome outcome = RunCli(args);
        EXPECT_EQ(outcome.exitCode, kTargetFailure) << Describe(outcome);
        EXPECT_THAT(outcome.err, HasSubstr("DBG_NOT_HALTED (8)")) << command[0];
        EXPECT_THAT(outcome.err, HasSubstr("--halt")) << command[0];
        EXPECT_EQ(outcome.out, "");
    }
}

struct ResetCase {
    const char* kind;
    bool halt;
    const char* expected;
};

class ResetTest : public ::testing::TestWithParam<ResetCase> {};

TEST_P(ResetTest, StopsAtTheResetVectorWhenAsked) {
    LoopTarget target;
    std::vector<std::string> args{"--sim", target.config(), "reset", GetParam().kind};
    if (GetParam().halt) args.push_back("--halt");
    const Outcome outcome = RunCli(args);
    ASSERT_EQ(outcome.exitCode, kSuccess) << Describe(outcome);
    EXPECT_EQ(outcome.out, GetParam().expected);
}

// A system reset always halts at the reset vector (the library enables
// halting debug for it); the others only with --halt.
INSTANTIATE_TEST_SUITE_P(
    Kinds, ResetTest,
    ::testing::Values(ResetCase{"core", false, "core reset; core running\n"},
                      ResetCase{"core", true, "core reset; core halted at pc 0x00000040\n"},
                      ResetCase{"system", false, "system reset; core halted at pc 0x00000040\n"},
                      ResetCase{"system", true, "system reset; core halted at pc 0x00000040\n"},
                      ResetCase{"hardware", false, "hardware reset; core running\n"},
                      ResetCase{"hardware", true, "hardware reset; core halted at pc 0x00000040\n"}),
    [](const ::testing::TestParamInfo<ResetCase>& info) {
        return std::string(info.param.kind) + (info.param.halt ? "Halt" : "");
    });

struct FailureCase {
    const char* name;
    std::vector<std::string> args;  // after --sim, unless they start with "--"
    int exitCode;
    const char* message;
};

class ExitCodeTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(ExitCodeTest, NamesTheProblem) {
    ScratchDir dir;
    WriteElf(dir.file("fw.elf"), {{0x0, 0x0, Pattern(16, 13)}});
    WriteText(dir.file("no_target.json"), R"({"no_target": true})");
    WriteText(dir.file("broken.json"), R"({"descriptions": [)");
    WriteText(dir.file("bad_value.json"), R"({"flash": {"size": "lots"}})");
    std::vector<std::string> args{"--sim"};
    for (std::string arg : GetParam().args) {
        for (const char* name :
             {"fw.elf", "no_target.json", "broken.json", "bad_value.json", "missing.bin", "missing.json"}) {
            if (arg == name) arg = dir.file(name);
        }
        args.push_back(arg);
    }
    const Outcome outcome = RunCli(args);
    EXPECT_EQ(outcome.exitCode, GetParam().exitCode) << Describe(outcome);
    EXPECT_THAT(outcome.err, HasSubstr(GetParam().message)) << Describe(outcome);
}

INSTANTIATE_TEST_SUITE_P(
    Usage, ExitCodeTest,
    ::testing::Values(
        FailureCase{"NoCommand", {}, kUsage, "A subcommand is required"},
        FailureCase{"UnknownCommand", {"--adapter", "X", "frobnicate", "1"}, kUsage, "unknown command 'frobnicate'"},
        FailureCase{"BreakpointsBelongToSessions", {"--batched", "break", "0x100"}, kUsage,
                    "'break' works in the shell"},
        FailureCase{"MissingLength", {"read", "0x20000000"}, kUsage, "length is required"},
        FailureCase{"BadAddress", {"read", "0x2000000g", "4"}, kUsage, "'0x2000000g' is not a 32-bit number"},
        FailureCase{"ZeroLength", {"read", "0x20000000", "0"}, kUsage, "LENGTH must be at least 1"},
        FailureCase{"PastTheTop", {"read", "0xFFFFFFF0", "17"}, kUsage, "runs past 0xFFFFFFFF"},
        FailureCase{"Unaligned", {"write", "0x20000002", "1"}, kUsage, "aligned to 4 bytes"},
        FailureCase{"TooWide", {"write", "--size", "8", "0x20000000", "0x100"}, kUsage, "is not a 8-bit value"},
        FailureCase{"BadSize", {"write", "--size", "12", "0x20000000", "1"}, kUsage, "--size must be 8, 16 or 32"},
        FailureCase{"NothingToWrite", {"write", "0x20000000"}, kUsage, "give VALUEs or -i FILE"},
        FailureCase{"UnknownRegister", {"reg", "r16"}, kUsage, "unknown register 'r16'"},
        FailureCase{"UnknownReset", {"reset", "warm"}, kUsage, "warm"},
        FailureCase{"BadClock", {"--clock", "fast", "info"}, kUsage, "'fast' is not a frequency"},
        FailureCase{"BothTransports", {"--swd", "--jtag", "info"}, kUsage, "excludes"},
        FailureCase{"GlobalOptionAfterCommand", {"info", "--jtag"}, kUsage, "--jtag"},
        FailureCase{"MissingImage", {"flash", "missing.bin"}, kUsage, "cannot open"},
        FailureCase{"ElfWithAddress", {"flash", "fw.elf", "--address", "0x400"}, kUsage, "drop --address"},
        FailureCase{"BrokenConfig", {"broken.json", "list"}, kUsage, "broken.json: not valid JSON"},
        FailureCase{"BrokenConfigOnOpen", {"broken.json", "info"}, kUsage, "broken.json: not valid JSON"},
        FailureCase{"MissingConfig", {"missing.json", "info"}, kUsage, "missing.json: cannot open"},
        FailureCase{"BadConfigValue", {"bad_value.json", "info"}, kUsage, "bad_value.json: \"flash.size\""},
        FailureCase{"ClockTooSlow", {"--clock", "90", "info"}, kUsage, "--clock: '90' is outside 91 Hz to 6 MHz"},
        FailureCase{"ClockTooFast", {"--clock", "6000001", "info"}, kUsage, "--clock: '6000001' is outside"},
        FailureCase{"CommandTakenForConfig", {"frobnicate"}, kUsage, "unknown command 'frobnicate'"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Target, ExitCodeTest,
    ::testing::Values(
        FailureCase{"BusError", {"read", "0x10000000", "4"}, kTargetFailure, "DBG_STICKY_ERROR (7)"},
        FailureCase{"WriteToFlash", {"write", "0x0", "1"}, kTargetFailure, "DBG_STICKY_ERROR (7)"},
        FailureCase{"NoSuchAdapter", {"--adapter", "Nobody A", "info"}, kTargetFailure,
                    "DebugOpen (\"Nobody A\") failed: DBG_ERROR (1)"},
        FailureCase{"NothingOnTheWire", {"no_target.json", "info"}, kTargetFailure, "failed: DBG_"},
        FailureCase{"AdapterNotSimulated", {"--adapter", "Amber Probe A", "info"}, kTargetFailure,
                    "the simulator lists \"USB Debug Bridge A\", \"USB Debug Bridge B\""}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST(Cli, HelpDocumentsTheExitCodes) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--help"}, {"flash", "--help"}}) {
        const Outcome outcome = RunCli(args);
        EXPECT_EQ(outcome.exitCode, kSuccess) << Describe(outcome);
        EXPECT_THAT(outcome.out, HasSubstr("Exit codes: 0 success, 1 the target or the adapter failed"));
        EXPECT_THAT(outcome.out, HasSubstr("2 usage error"));
    }
}

struct DemoCase {
    const char* name;
    std::vector<std::string> args;
    const char* counted;  // what the program counts in, as the demo shows it
};

class DemoTest : public ::testing::TestWithParam<DemoCase> {};

TEST_P(DemoTest, NarratesASessionOnTheSimulator) {
    const Outcome outcome = RunCli(GetParam().args);
    ASSERT_EQ(outcome.exitCode, kSuccess) << Describe(outcome);
    for (const char* step : {"1. Open the virtual adapter", "Flash the example firmware", "Run to a breakpoint",
                             "The core registers", "Memory:", "Step one instruction", "Reset the core", "Done."}) {
        EXPECT_THAT(outcome.out, HasSubstr(step));
    }
    EXPECT_THAT(outcome.out, HasSubstr("verified"));
    // Stopped at the breakpoint twice, the program one round further on.
    EXPECT_THAT(outcome.out, HasSubstr(std::string(GetParam().counted) + " = 0\n"));
    EXPECT_THAT(outcome.out, HasSubstr(std::string(GetParam().counted) + " = 1\n"));
}

std::vector<DemoCase> DemoCases() {
    std::vector<DemoCase> cases{{"StandIn", {"demo", "--firmware", ""}, "r0"}};
#ifdef CM3PROBE_EXAMPLE_FIRMWARE
    cases.push_back({"Example", {"demo"}, "counter"});
#endif
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Firmware, DemoTest, ::testing::ValuesIn(DemoCases()),
                         [](const ::testing::TestParamInfo<DemoCase>& info) { return std::string(info.param.name); });

TEST(Cli, DemoRefusesAMissingFirmwareFile) {
    const Outcome outcome = RunCli({"demo", "--firmware", "/nonexistent/firmware.elf"});
    EXPECT_EQ(outcome.exitCode, kUsage) << Describe(outcome);
    EXPECT_THAT(outcome.err, HasSubstr("no firmware at /nonexistent/firmware.elf"));
}

}  // namespace
}  // namespace cm3test
