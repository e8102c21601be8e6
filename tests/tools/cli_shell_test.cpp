// `cm3probe shell` driven from stdin: flows over one connection, breakpoints,
// and the exit code a script gets.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

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

std::string Lines(std::initializer_list<std::string> lines) {
    std::string script;
    for (const std::string& line : lines) script += line + "\n";
    return script;
}

class ShellTest : public ::testing::Test {
protected:
    // The shell on a simulator configured by `json` (written next to the
    // test's files, so images are named relative to it).
    Outcome Shell(const std::string& script, const std::string& json = "{}", std::vector<std::string> options = {}) {
        WriteText(dir.file("sim.json"), json);
        std::vector<std::string> args{"--sim", dir.file("sim.json")};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back("shell");
        return RunCli(args, script);
    }
    std::string file(const std::string& name) const { return dir.file(name); }
    // A configuration whose flash holds the counting loop.
    std::string LoopJson() {
        WriteBytes(file("loop.bin"), loop_program::Image());
        return R"({"images": [{"path": "loop.bin", "address": 0}]})";
    }

    ScratchDir dir;
};

TEST_F(ShellTest, WritesAndReadsBackOverOneConnection) {
    const auto data = Pattern(5000, 20);
    WriteBytes(file("data.bin"), data);
    const Outcome outcome = Shell(Lines({
        "write 0x20000123 -i " + file("data.bin"),
        "read 0x20000123 5000 -o " + file("back.bin"),
        "write 0x20002000 0xDEADBEEF",
        "write -s 8 0x20002004 0x7F",
        "write -s 16 0x20002006 0xBEEF",
        "read -w 0x20002000 8",
    }));
    ASSERT_EQ(outcome.exitCode, kSuccess) << Describe(outcome);
    EXPECT_EQ(ReadBytes(file("back.bin")), data);
    EXPECT_THAT(outcome.out, HasSubstr("0x20002000  deadbeef beef007f\n"));
    EXPECT_EQ(outcome.err, "");
}

struct Transport {
    const char* name;
    std::vector<std::string> options;
};

class ShellFlashTest : public ShellTest, public ::testing::WithParamInterface<Transport> {};

TEST_P(ShellFlashTest, FlashesThenReadsBackTheSameBytes) {
    const auto image = Pattern(5000, 21);
    const auto odd = Pattern(1001, 22);
    WriteBytes(file("image.bin"), image);
    WriteBytes(file("odd.bin"), odd);
    const Outcome outcome = Shell(Lines({
                                      "flash " + file("image.bin"),
                                      "read 0 5000 -o " + file("back.bin"),
                                      // Unaligned at both ends, in pages of its own.
                                      "flash --address 0x2002 " + file("odd.bin"),
                                      "read 0x2000 2048 -o " + file("around.bin"),
                                  }),
                                  "{}", GetParam().options);
    ASSERT_EQ(outcome.exitCode, kSuccess) << Describe(outcome);
    EXPECT_EQ(ReadBytes(file("back.bin")), image);
    std::vector<uint8_t> expected(2048, 0xFF);
    std::copy(odd.begin(), odd.end(), expected.begin() + 2);
    EXPECT_EQ(ReadBytes(file("around.bin")), expected);
}

INSTANTIATE_TEST_SUITE_P(Transports, ShellFlashTest,
                         ::testing::Values(Transport{"Swd", {}}, Transport{"JtagBatched", {"--jtag", "--batched"}}),
                         [](const ::testing::TestParamInfo<Transport>& info) { return std::string(info.param.name); });

TEST_F(ShellTest, FlashesElfSegmentsThatShareAPage) {
    const auto text = Pattern(200, 23);
    const auto data = Pattern(24, 24);
    // .data's load address follows .text in the same page; it runs from SRAM.
    WriteElf(file("fw.elf"), {{0x0, 0x0, text}, {0xC8, 0x20000000, data, 32}}, {{"tick", 0x41}});
    const Outcome outcome = Shell(Lines({
        "flash " + file("fw.elf"),
        "read 0 224 -o " + file("back.bin"),
        "break tick",
    }));
    ASSERT_EQ(outcome.exitCode, kSuccess) << Describe(outcome);
    std::vector<uint8_t> expected = text;
    expected.insert(expected.end(), data.begin(), data.end());
    EXPECT_EQ(ReadBytes(file("back.bin")), expected);
    EXPECT_THAT(outcome.out, HasSubstr("flashed 200 bytes at 0x00000000-0x000000C7\n"
                                       "flashed 24 bytes at 0x000000C8-0x000000DF\nverified\n"));
    // The symbol's Thumb bit is not part of the address.
    EXPECT_THAT(outcome.out, HasSubstr("breakpoint at 0x00000040"));
}

TEST_F(ShellTest, LoadsBinariesAndElfFilesIntoRam) {
    const auto raw = Pattern(300, 25);
    const auto segment = Pattern(40, 26);
    WriteBytes(file("raw.bin"), raw);
    WriteElf(file("ram.elf"), {{0x20003000, 0x0, segment}});
    const Outcome outcome = Shell(Lines({
        "load " + file("raw.bin"),
        "read 0x20000000 300 -o " + file("at_base.bin"),
        "load -a 0x20000801 " + file("raw.bin"),
        "read 0x20000801 300 -o " + file("at_address.bin"),
        "load " + file("ram.elf"),
        "read 0x20003000 40 -o " + file("segment.bin"),
    }));
    ASSERT_EQ(outcome.exitCode, kSuccess) << Describe(outcome);
    EXPECT_EQ(ReadBytes(file("at_base.bin")), raw);
    EXPECT_EQ(ReadBytes(file("at_address.bin")), raw);
    EXPECT_EQ(ReadBytes(file("segment.bin")), segment);
}

TEST_F(ShellTest, RunControlAndRegisters) {
    const Outcome outcome = Shell(Lines({
        "halt",
        "reg r5 0xCAFE",
        "reg R5",
        "reg primask 1",
        "reg basepri 0xE0",
        "reg special",
        "regs",
        "step 2",
        "resume",
        "state",
        "reg pc",  // running: refused
        "halt",
        "reg r5",
    }),
                                  LoopJson());
    EXPECT_EQ(outcome.exitCode, kTargetFailure) << Describe(outcome);
    EXPECT_THAT(outcome.out, HasSubstr("r5 0x0000CAFE\nr5 0x0000CAFE\nprimask 0x00000001\nbasepri 0x000000E0\n"
                                       "special 0x0000E001\n"));
    EXPECT_THAT(outcome.out, HasSubstr("r5       0x0000CAFE\n"));
    EXPECT_THAT(outcome.out, HasSubstr("special  0x0000E001  CONTROL 0x00 FAULTMASK 0x00 BASEPRI 0xE0 PRIMASK 0x01"));
    EXPECT_THAT(outcome.out, HasSubstr("core running"));
    // Only line 11 failed, and the session went on.
    EXPECT_THAT(outcome.err, HasSubstr("line 11: reg failed: DBG_NOT_HALTED (8)"));
    EXPECT_THAT(outcome.err, Not(HasSubstr("line 1:")));
    EXPECT_TRUE(std::regex_search(outcome.out, std::regex("halted at pc 0x[0-9A-F]{8}\nr5 0x0000CAFE\n$")))
        << outcome.out;
}

TEST_F(ShellTest, BreakpointSlotsBelongToTheSession) {
    const Outcome outcome = Shell(Lines({
        "break 0x100", "break 0x102", "break 0x104", "break 0x106", "break 0x108", "break 0x10A",
        "break 0x10C",  // line 7: a seventh has no slot
        "breaks",
        "unbreak 0x104",
        "break 0x10C",
        "unbreak 0x300",  // line 11: none there
        "break 0x20000000",  // line 12: not in the Code region
        "unbreak --all",
        "breaks",
    }));
    EXPECT_EQ(outcome.exitCode, kTargetFailure) << Describe(outcome);
    EXPECT_THAT(outcome.err, HasSubstr("line 7: DebugSetBreakpoint at 0x0000010C failed: DBG_NO_BREAKPOINT_SLOT (9)"));
    EXPECT_THAT(outcome.err,
                HasSubstr("line 11: DebugClearBreakpoint at 0x00000300 failed: DBG_NO_BREAKPOINT_SLOT (9)"));
    EXPECT_THAT(outcome.err, HasSubstr("line 12: break: hardware breakpoints only work below 0x20000000"));
    EXPECT_THAT(outcome.out, HasSubstr("breakpoint at 0x00000100\nbreakpoint at 0x00000102\nbreakpoint at 0x00000104\n"
                                       "breakpoint at 0x00000106\nbreakpoint at 0x00000108\nbreakpoint at 0x0000010A\n"
                                       "removed breakpoint at 0x00000104\nbreakpoint at 0x0000010C\n"));
    EXPECT_TRUE(std::regex_search(outcome.out, std::regex("no breakpoints\nno breakpoints\n$"))) << outcome.out;
}

TEST_F(ShellTest, WatchpointsTakeDwtComparatorsAndListWithBreakpoints) {
    const Outcome outcome = Shell(Lines({
        "watch 0x20000000", "watch 0x20000010 16 r", "watch 0x20000021 3 rw",
        "watch 0x20000100",  // line 4: all four comparators in use
        "break 0x100", "breaks",
        "unwatch 0x20000021", "watch 0x20000100 rw",
        "watch 0x20000200 x",  // line 9: neither a size nor an access
        "unwatch 0x20000300",  // line 10: none there
        "read 0xE0001028 0x30 --words",  // COMP, MASK, FUNCTION of comparators 0-2
        "unwatch --all", "unbreak --all", "breaks",
    }));
    EXPECT_EQ(outcome.exitCode, kTargetFailure) << Describe(outcome);
    EXPECT_THAT(outcome.err, HasSubstr("line 4: watch: all 4 DWT comparators are in use"));
    EXPECT_THAT(outcome.err, HasSubstr("line 9: watch: 'x' is neither a SIZE"));
    EXPECT_THAT(outcome.err, HasSubstr("line 10: unwatch: no watchpoint at 0x20000300"));
    EXPECT_THAT(outcome.out, HasSubstr("breakpoint at 0x00000100\n"
                                       "watchpoint (write) at 0x20000000-0x20000003, 1 DWT comparator\n"
                                       "watchpoint (read) at 0x20000010-0x2000001F, 1 DWT comparator\n"
                                       "watchpoint (access) at 0x20000021-0x20000023, 2 DWT comparators\n"
                                       "removed watchpoint (access) at 0x20000021-0x20000023, 2 DWT comparators\n"
                                       "watchpoint (access) at 0x20000100-0x20000103, 1 DWT comparator\n"));
    // FUNCTIONn, reserved, COMPn+1, MASKn+1: comparator 0 writes; 1 reads 16 bytes (mask 4); 2 the access word
    // that took the first freed comparator; 3 disabled, still holding the freed second block.
    EXPECT_THAT(outcome.out, HasSubstr("0xE0001028  00000006 00000000 20000010 00000004\n"
                                       "0xE0001038  00000005 00000000 20000100 00000002\n"
                                       "0xE0001048  00000007 00000000 20000022 00000001\n"));
    EXPECT_TRUE(std::regex_search(outcome.out, std::regex("no watchpoints\nno breakpoints\nno breakpoints\n$")))
        << outcome.out;
}

TEST_F(ShellTest, RunsToABreakpointAndOnPastIt) {
    const std::string json = LoopJson();
    const Outcome outcome = Shell(Lines({
                                      "reset system",
                                      "break 0x42",
                                      "resume",
                                      "wait 20",
                                      "reg r0",
                                      "resume",  // steps off the breakpoint first
                                      "wait 20",
                                      "reg r0",
                                      "unbreak 0x42",
                                  }),
                                  json);
    ASSERT_EQ(outcome.exitCode, kSuccess) << Describe(outcome);
    EXPECT_THAT(outcome.out, HasSubstr("halted at pc 0x00000042\nr0 0x00000000\n"));
    EXPECT_THAT(outcome.out, HasSubstr("halted at pc 0x00000042\nr0 0x00000001\n"));
}

TEST_F(ShellTest, HardwareResetReconnects) {
    const Outcome outcome = Shell(Lines({"reset hardware --halt", "info", "reg msp"}), LoopJson());
    ASSERT_EQ(outcome.exitCode, kSuccess) << Describe(outcome);
    EXPECT_THAT(outcome.out, HasSubstr("hardware reset; core halted at pc 0x00000040\n"));
    EXPECT_THAT(outcome.out, HasSubstr("IDCODE       0x2BA01477"));
    EXPECT_THAT(outcome.out, HasSubstr("core         halted"));
    EXPECT_THAT(outcome.out, HasSubstr("msp 0x20001000\n"));
}

TEST_F(ShellTest, ReportsBadLinesAndStopsAtQuit) {
    const Outcome outcome = Shell(Lines({
        "# a comment, then a blank line",
        "",
        "frobnicate 1",
        "read 0x20000000",
        "reset warm",
        "read 0x20000000 4",
        "quit",
        "read 0x20000004 4",
    }));
    EXPECT_EQ(outcome.exitCode, kUsage) << Describe(outcome);
    EXPECT_THAT(outcome.err, HasSubstr("line 3: unknown command 'frobnicate'"));
    EXPECT_THAT(outcome.err, HasSubstr("line 4: length is required"));
    EXPECT_THAT(outcome.err, HasSubstr("line 5: "));
    EXPECT_EQ(outcome.out, "0x20000000  00 00 00 00                                       |....|\n");
}

TEST_F(ShellTest, HelpListsTheSessionCommands) {
    const Outcome outcome = Shell(Lines({"help", "break --help"}));
    ASSERT_EQ(outcome.exitCode, kSuccess) << Describe(outcome);
    for (const char* command : {"info", "read", "write", "load", "flash", "halt", "resume", "step", "regs", "reg",
                                "reset", "break", "unbreak", "breaks", "wait", "quit"}) {
        EXPECT_TRUE(std::regex_search(outcome.out, std::regex(std::string("\n  ") + command + "[ ,]")))
            << command;
    }
    EXPECT_THAT(outcome.out, HasSubstr("Address or symbol"));
}

}  // namespace
}  // namespace cm3test
