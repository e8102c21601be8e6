// OpenOCD, an independent implementation of MPSSE SWD and JTAG, ADIv5 and
// Cortex-M debug, drives the virtual FT2232 with the shipped configurations
// (tools/openocd). What it reads and does is compared with the simulator:
// identification and ROM table with a simulator built here from the same
// configuration, the state it leaves behind with the report the virtual
// device writes when OpenOCD lets go of it. Skipped without openocd.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "config.h"
#include "target/cortex_m3_target.h"
#include "target/registers.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline constexpr auto kRunTimeout = std::chrono::seconds(60);
inline constexpr auto kPollInterval = std::chrono::milliseconds(10);
inline constexpr std::string_view kMarker = "@@";

// The firmware: a vector table and, at the reset handler, a two-instruction
// loop (adds r0, #1; b back).
inline constexpr uint32_t kInitialSp = 0x20001000;
inline constexpr uint32_t kResetHandler = 0x100;
inline constexpr uint32_t kThumbBit = 1;
inline constexpr uint16_t kAddsR0One = 0x3001;
inline constexpr uint16_t kBranchBack = 0xE7FD;
inline constexpr uint32_t kHalfwordBytes = 2;
inline constexpr uint32_t kWordBytes = 4;
inline constexpr uint32_t kByteBits = 8;
inline constexpr uint32_t kByteLaneMask = kWordBytes - 1;
inline constexpr uint32_t kImageBytes = kResetHandler + 2 * kHalfwordBytes;

// What the sessions write: two words, three bytes and a halfword, read back
// as eight bytes around them.
inline constexpr uint32_t kWords = 0x20000100;
inline constexpr uint32_t kWord0 = 0xDEADBEEF;
inline constexpr uint32_t kWord1 = 0x01234567;
inline constexpr uint32_t kByteArea = 0x20000204;
inline constexpr uint32_t kByteAreaLength = 8;
inline constexpr uint32_t kFirstByte = kByteArea + 1;
inline constexpr uint32_t kHalfword = kByteArea + 6;
inline constexpr uint8_t kByte0 = 0xA1;
inline constexpr uint16_t kHalfwordValue = 0xB1B2;
inline constexpr uint32_t kR1 = 0xCAFEF00D;
inline constexpr uint32_t kUnmapped = 0x30000000;
inline constexpr uint32_t kLargeBytes = 4096;
inline constexpr uint32_t kLargeBase = 0x20000E01;  // unaligned, across 1 KB and 4 KB boundaries
// ACBUS7 in OpenOCD's 16-bit pin masks; set-high-bits is opcode, value, directions.
inline constexpr uint32_t kMarkSignalMask = 0x8000;
inline constexpr uint64_t kSetHighBitsBytes = 3;

struct Transport {
    const char* name;
    const char* config;
    bool swd;
    const char* setup;  // a configuration command before init, or null
};
// OpenOCD's falling-edge TDO sampling sets the read-edge bit in every MPSSE
// opcode it sends, TMS writes included.
inline constexpr Transport kTransports[] = {{"Swd", "swd.cfg", true, nullptr},
                                            {"Jtag", "jtag.cfg", false, nullptr},
                                            {"JtagTdoFalling", "jtag.cfg", false, "ftdi tdo_sample_edge falling"}};

std::optional<std::string> FindOnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const fs::path candidate = fs::path(dir.empty() ? "." : dir) / program;
        if (access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
    return std::nullopt;
}

std::string Hex(uint32_t value) {
    std::ostringstream out;
    out << "0x" << std::hex << value;
    return out.str();
}

struct Outcome {
    bool finished = false;  // exited by itself in time
    int status = -1;
    std::string log;
    std::map<std::string, std::string> emitted;  // "@@KEY value" lines
    nlohmann::json report;
};

class OpenOcdTest : public ::testing::TestWithParam<Transport> {
protected:
    void SetUp() override {
        openocd_ = FindOnPath("openocd");
        if (!openocd_) GTEST_SKIP() << "openocd is not installed; the cross-check needs it";
        std::string pattern = (fs::temp_directory_path() / "cm3probe-openocd-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        std::vector<uint8_t> image(kImageBytes, cm3sim::memory_map::kErasedByte);
        auto put32 = [&](uint32_t at, uint32_t v) {
            for (uint32_t i = 0; i < kWordBytes; ++i) image[at + i] = static_cast<uint8_t>(v >> (kByteBits * i));
        };
        auto put16 = [&](uint32_t at, uint16_t v) {
            image[at] = static_cast<uint8_t>(v);
            image[at + 1] = static_cast<uint8_t>(v >> kByteBits);
        };
        put32(cm3sim::core_reset::kInitialSpAddress, kInitialSp);
        put32(cm3sim::core_reset::kResetVectorAddress, kResetHandler | kThumbBit);
        put16(kResetHandler, kAddsR0One);
        put16(kResetHandler + kHalfwordBytes, kBranchBack);
        std::ofstream(dir_ / "firmware.bin", std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    }
    void TearDown() override {
        std::error_code ignored;
        if (!dir_.empty()) fs::remove_all(dir_, ignored);
    }

    // The simulator configuration every run uses, plus `extra` keys.
    std::string ConfigJson(const std::string& extra = "") const {
        nlohmann::json config = {{"images", {{{"path", (dir_ / "firmware.bin").string()}, {"address", 0}}}}};
        if (!extra.empty()) config.update(nlohmann::json::parse(extra));
        return config.dump();
    }

    // Runs OpenOCD on the transport's configuration and `commands`, one -c
    // each, with the virtual device preloaded; no ports are opened.
    Outcome Run(const std::vector<std::string>& commands, const std::string& configJson,
                const std::vector<std::string>& beforeInit = {}) {
        Outcome outcome;
        const fs::path configPath = dir_ / "sim.json";
        const fs::path reportPath = dir_ / "report.json";
        const fs::path logPath = dir_ / "openocd.log";
        std::ofstream(configPath) << configJson;
        fs::remove(reportPath);

        std::vector<std::string> args = {*openocd_, "-f",
                                         std::string(CM3PROBE_OPENOCD_CONFIGS) + "/" + GetParam().config};
        std::vector<std::string> prologue = {"gdb_port disabled", "tcl_port disabled", "telnet_port disabled"};
        if (GetParam().setup != nullptr) prologue.emplace_back(GetParam().setup);
        prologue.insert(prologue.end(), beforeInit.begin(), beforeInit.end());
        prologue.emplace_back("init");
        prologue.emplace_back("proc emit {key value} { echo \"@@$key $value\" }");
        for (const std::vector<std::string>* list : {&std::as_const(prologue), &commands}) {
            for (const std::string& c : *list) {
                args.push_back("-c");
                args.push_back(c);
            }
        }
        args.push_back("-c");
        args.push_back("shutdown");

        const std::map<std::string, std::string> overrides = {
            {"LD_PRELOAD", CM3PROBE_VUSB_PRELOAD},
            {"CM3PROBE_SIM_CONFIG", configPath.string()},
            {"CM3PROBE_VUSB_REPORT", reportPath.string()},
            // OpenOCD's own allocations are not ours to check.
            {"ASAN_OPTIONS", "detect_leaks=0"},
        };
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            if (!overrides.contains(entry.substr(0, entry.find('=')))) env.push_back(entry);
        }
        for (const auto& [key, value] : overrides) env.push_back(key + "=" + value);

        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         S_IRUSR | S_IWUSR);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        pid_t pid = 0;
        const int spawned = posix_spawn(&pid, openocd_->c_str(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(spawned, 0) << "cannot start " << *openocd_;
        if (spawned != 0) return outcome;

        const auto deadline = Clock::now() + kRunTimeout;
        int status = 0;
        for (;;) {
            const pid_t done = waitpid(pid, &status, WNOHANG);
            if (done == pid) {
                outcome.finished = true;
                break;
            }
            if (Clock::now() >= deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(kPollInterval);
        }
        outcome.status = status;
        std::ifstream log(logPath);
        outcome.log.assign(std::istreambuf_iterator<char>(log), {});
        std::istringstream lines(outcome.log);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind(kMarker, 0) != 0) continue;
            const size_t space = line.find(' ');
            const std::string key = line.substr(kMarker.size(), space - kMarker.size());
            outcome.emitted[key] = space == std::string::npos ? "" : line.substr(space + 1);
        }
        std::ifstream report(reportPath);
        if (report) outcome.report = nlohmann::json::parse(report, nullptr, false);
        EXPECT_TRUE(outcome.finished) << "openocd did not finish in time:\n" << outcome.log;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << outcome.log;
        EXPECT_TRUE(outcome.report.is_object()) << "the virtual device wrote no report";
        return outcome;
    }

    // How this transport's IDCODE reads in Tcl.
    std::string IdcodeCommand() const {
        return GetParam().swd ? "emit IDCODE [cm3.dap dpreg 0]"
                              : "emit IDCODE [format 0x%08x [jtag cget cm3.cpu -idcode]]";
    }

    std::optional<std::string> openocd_;
    fs::path dir_;
};

std::vector<uint32_t> Numbers(const std::string& text) {
    std::vector<uint32_t> values;
    std::istringstream in(text);
    for (std::string word; in >> word;) {
        if (word.rfind("0x", 0) == 0) values.push_back(static_cast<uint32_t>(std::stoul(word, nullptr, 16)));
    }
    return values;
}

// [address, value] pairs of the report's changed memory words.
std::map<uint32_t, uint32_t> Words(const nlohmann::json& pairs) {
    std::map<uint32_t, uint32_t> words;
    for (const auto& pair : pairs) words[pair[0].get<uint32_t>()] = pair[1].get<uint32_t>();
    return words;
}

uint8_t ByteAt(const std::map<uint32_t, uint32_t>& words, uint32_t address) {
    const auto it = words.find(address & ~kByteLaneMask);
    return it == words.end() ? 0 : static_cast<uint8_t>(it->second >> (kByteBits * (address & kByteLaneMask)));
}

bool HasErrors(const std::string& log) { return log.find("Error") != std::string::npos; }

TEST_P(OpenOcdTest, DebugSessionAgreesWithTheSimulator) {
    const std::string json = ConfigJson();
    const std::vector<std::string> commands = {
        IdcodeCommand(),
        "cm3.dap info 0",
        "halt",
        "emit HALT [cm3.cpu curstate]",
        "write_memory " + Hex(kWords) + " 32 {" + Hex(kWord0) + " " + Hex(kWord1) + "}",
        "write_memory " + Hex(kFirstByte) + " 8 {" + Hex(kByte0) + " 0xa2 0xa3}",
        "write_memory " + Hex(kHalfword) + " 16 {" + Hex(kHalfwordValue) + "}",
        "emit WORDS [read_memory " + Hex(kWords) + " 32 2]",
        "emit BYTES [read_memory " + Hex(kByteArea) + " 8 " + std::to_string(kByteAreaLength) + "]",
        "bp " + Hex(kResetHandler) + " " + std::to_string(kHalfwordBytes) + " hw",
        "resume",
        "wait_halt 2000",
        "emit BREAK [cm3.cpu curstate]",
        "reset halt",
        "emit RESET [cm3.cpu curstate]",
        // OpenOCD writes dirty registers back when the core next runs.
        "set_reg {r1 " + Hex(kR1) + " r2 0x2badc0de}",
        "step",
        "emit REGS [get_reg {r0 r1 r2 r3 r4 r5 r6 r7 r8 r9 r10 r11 r12 sp lr pc xPSR msp psp}]",
    };
    const Outcome run = Run(commands, json);
    ASSERT_TRUE(run.report.is_object());
    EXPECT_FALSE(HasErrors(run.log)) << run.log;
    EXPECT_NE(run.log.find("Cortex-M3 r2p0 processor detected"), std::string::npos) << run.log;

    // Identification and the ROM table, as a simulator built from the same
    // configuration has them.
    cm3sim::SimConfig config = cm3sim::ParseSimConfig(json);
    cm3sim::CortexM3Target reference(config);
    ASSERT_EQ(Numbers(run.emitted.at("IDCODE")),
              std::vector<uint32_t>{GetParam().swd ? config.swdpIdcode : config.jtagIdcode});
    std::vector<uint32_t> expectedRom;
    for (uint32_t at = cm3sim::rom_table::kBase;; at += sizeof(uint32_t)) {
        const cm3sim::BusRead entry = reference.bus().read(at, cm3sim::AccessSize::Word);
        ASSERT_FALSE(entry.error);
        if (entry.value == cm3sim::rom_table::kEndMarker) break;
        expectedRom.push_back(entry.value);
    }
    std::vector<uint32_t> rom;
    const std::regex romLine(R"(ROMTABLE\[0x[0-9a-f]+\] = (0x[0-9a-f]+))");
    for (std::sregex_iterator it(run.log.begin(), run.log.end(), romLine), end; it != end; ++it) {
        const uint32_t entry = static_cast<uint32_t>(std::stoul((*it)[1].str(), nullptr, 16));
        if (entry != cm3sim::rom_table::kEndMarker) rom.push_back(entry);
    }
    EXPECT_EQ(rom, expectedRom);

    EXPECT_EQ(run.emitted.at("HALT"), "halted");
    EXPECT_EQ(run.emitted.at("BREAK"), "halted");
    EXPECT_NE(run.log.find("halted due to breakpoint"), std::string::npos) << run.log;
    EXPECT_EQ(run.emitted.at("RESET"), "halted");

    // Memory: what OpenOCD wrote is in the simulator, what it read back is
    // what the simulator holds.
    const nlohmann::json& target = run.report["target"];
    const auto sram = Words(target["sram"]);
    EXPECT_EQ(Numbers(run.emitted.at("WORDS")),
              (std::vector<uint32_t>{sram.at(kWords), sram.at(kWords + kWordBytes)}));
    EXPECT_EQ(sram.at(kWords), kWord0);
    EXPECT_EQ(sram.at(kWords + kWordBytes), kWord1);
    const std::vector<uint32_t> bytes = Numbers(run.emitted.at("BYTES"));
    ASSERT_EQ(bytes.size(), kByteAreaLength);
    for (uint32_t i = 0; i < kByteAreaLength; ++i) EXPECT_EQ(bytes[i], ByteAt(sram, kByteArea + i)) << i;
    EXPECT_EQ(ByteAt(sram, kFirstByte), kByte0);
    EXPECT_EQ(ByteAt(sram, kHalfword + 1), kHalfwordValue >> kByteBits);

    // The breakpoint sits in FPB comparator 0, on the lower halfword at 0x100.
    namespace fpb = cm3sim::fpb;
    EXPECT_TRUE(target["fpb"]["enabled"].get<bool>());
    EXPECT_EQ(target["fpb"]["comparators"][0].get<uint32_t>(),
              fpb::kReplaceLowerHalfword << fpb::kReplaceShift | (kResetHandler & fpb::kCompAddressMask) |
                  fpb::kCompEnable);

    // The registers after reset, step and writes, by DCRSR.REGSEL.
    EXPECT_TRUE(target["halted"].get<bool>());
    const std::map<std::string, int> regsel = {
        {"r0", 0},   {"r1", 1},   {"r2", 2},   {"r3", 3},   {"r4", 4},    {"r5", 5},   {"r6", 6},
        {"r7", 7},   {"r8", 8},   {"r9", 9},   {"r10", 10}, {"r11", 11},  {"r12", 12}, {"sp", 13},
        {"lr", 14},  {"pc", 15},  {"xPSR", 16}, {"msp", 17}, {"psp", 18}};
    std::istringstream regs(run.emitted.at("REGS"));
    size_t seen = 0;
    for (std::string name, value; regs >> name >> value; ++seen) {
        ASSERT_TRUE(regsel.contains(name)) << name;
        EXPECT_EQ(std::stoul(value, nullptr, 16), target["registers"][regsel.at(name)].get<uint32_t>()) << name;
    }
    EXPECT_EQ(seen, regsel.size());
    EXPECT_EQ(target["registers"][regsel.at("r1")].get<uint32_t>(), kR1);

    // OpenOCD lets go of SWDIO through the direction bit: no contention.
    EXPECT_EQ(run.report["contention"].get<uint64_t>(), 0u);
    EXPECT_EQ(target["ahb"]["errors"].get<uint64_t>(), 0u);
}

TEST_P(OpenOcdTest, BusFaultIsCaughtAndCleared) {
    const std::vector<std::string> commands = {
        "halt",
        "write_memory " + Hex(kWords) + " 32 {" + Hex(kWord0) + "}",
        "emit FAULT [catch {read_memory " + Hex(kUnmapped) + " 32 1}]",
        // Over SWD the failed read only shows on the next AP access, which
        // OpenOCD answers by reconnecting: the first read after may fail.
        "emit AFTER [expr {[catch {read_memory " + Hex(kWords) + " 32 1} v] ? [read_memory " + Hex(kWords) +
            " 32 1] : $v}]",
    };
    const Outcome run = Run(commands, ConfigJson());
    ASSERT_TRUE(run.report.is_object());
    EXPECT_EQ(run.report["target"]["ahb"]["errors"].get<uint64_t>(), 1u) << "the unmapped read answered an error";
    // OpenOCD 0.12 checks CTRL/STAT after JTAG transactions; over SWD it only
    // sees the FAULT of a later AP access (the posted read ends with an RDBUFF
    // read, which ADIv5 answers OK with STICKYERR set).
    if (!GetParam().swd) {
        EXPECT_EQ(run.emitted.at("FAULT"), "1") << run.log;
    }
    EXPECT_EQ(Numbers(run.emitted.at("AFTER")), std::vector<uint32_t>{kWord0}) << run.log;
}

TEST_P(OpenOcdTest, LargeTransfersOnEitherChip) {
    std::vector<uint8_t> data(kLargeBytes);
    std::mt19937 random(kLargeBytes);
    for (uint8_t& b : data) b = static_cast<uint8_t>(random());
    const fs::path in = dir_ / "in.bin";
    const fs::path out = dir_ / "out.bin";
    std::ofstream(in, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    const uint32_t base = kLargeBase;
    for (const char* chip : {"FT2232D", "FT2232H"}) {
        const std::vector<std::string> commands = {
            "halt",
            "load_image " + in.string() + " " + Hex(base) + " bin",
            "dump_image " + out.string() + " " + Hex(base) + " " + std::to_string(kLargeBytes),
        };
        const Outcome run = Run(commands, ConfigJson(std::string(R"({"chip":")") + chip + "\"}"));
        ASSERT_TRUE(run.report.is_object());
        EXPECT_EQ(run.report["chip"], chip);
        std::ifstream dumped(out, std::ios::binary);
        const std::vector<uint8_t> back((std::istreambuf_iterator<char>(dumped)), {});
        EXPECT_EQ(back, data) << chip;
        const auto sram = Words(run.report["target"]["sram"]);
        for (uint32_t i = 0; i < data.size(); ++i) ASSERT_EQ(ByteAt(sram, base + i), data[i]) << chip << " " << i;
        EXPECT_FALSE(HasErrors(run.log)) << run.log;

        // Every byte and cycle went through the USB timing model.
        const nlohmann::json& channel = run.report["channels"][0];
        const nlohmann::json& usb = channel["usb"];
        EXPECT_EQ(usb["bytes_out"], channel["bytes_from_host"]) << chip;
        EXPECT_EQ(usb["bytes_in"], channel["bytes_to_host"]) << chip;
        EXPECT_EQ(usb["wire_cycles"], channel["mpsse_cycles"]) << chip;
        EXPECT_GT(usb["immediate_packets"].get<uint64_t>(), 0u) << "OpenOCD ends its reads with send-immediate";
        EXPECT_GE(usb["modeled_ns"].get<uint64_t>(), usb["wire_ns"].get<uint64_t>()) << chip;
    }
}

// The benchmark's bracket (bench/openocd_workloads.cpp): `ftdi set_signal` on
// an ACBUS pin goes out as a transfer of its own, so the device's marks
// bracket exactly the work between.
TEST_P(OpenOcdTest, SetSignalOnAcbusBracketsTheWorkBetween) {
    std::vector<uint8_t> data(kLargeBytes, kByte0);
    const fs::path in = dir_ / "in.bin";
    std::ofstream(in, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    const std::vector<std::string> commands = {
        "halt",
        "ftdi set_signal MARK 1",
        "load_image " + in.string() + " " + Hex(kWords) + " bin",
        "ftdi set_signal MARK 0",
    };
    const Outcome run = Run(commands, ConfigJson(), {"ftdi layout_signal MARK -data " + Hex(kMarkSignalMask)});
    ASSERT_TRUE(run.report.is_object());
    const nlohmann::json& marks = run.report["channels"][0]["marks"];
    ASSERT_EQ(marks.size(), 2u) << run.log;
    EXPECT_EQ(marks[0]["high_pins"].get<uint32_t>(), kMarkSignalMask >> kByteBits);
    EXPECT_EQ(marks[1]["high_pins"].get<uint32_t>(), 0u);
    auto delta = [](const nlohmann::json& after, const nlohmann::json& before, const char* field) {
        return after[field].get<uint64_t>() - before[field].get<uint64_t>();
    };
    for (const auto& mark : marks) {
        EXPECT_EQ(delta(mark["after"], mark["before"], "writes"), 1u);
        EXPECT_EQ(delta(mark["after"], mark["before"], "bytes_out"), kSetHighBitsBytes);
    }
    const nlohmann::json& opened = marks[0]["after"];
    const nlohmann::json& closed = marks[1]["before"];
    EXPECT_GT(delta(closed, opened, "bytes_out"), kLargeBytes);
    EXPECT_GT(delta(closed, opened, "wire_cycles"), kLargeBytes * kByteBits);
    EXPECT_GT(delta(closed, opened, "modeled_ps"), 0u);
    EXPECT_EQ(ByteAt(Words(run.report["target"]["sram"]), kWords + kLargeBytes - 1), kByte0);
}

TEST_P(OpenOcdTest, ResetPinResetsTheSystem) {
    const std::vector<std::string> commands = {
        "reset_config srst_only srst_open_drain",
        "reset halt",
        "emit STATE [cm3.cpu curstate]",
        "emit PC [get_reg {pc}]",
    };
    const Outcome run = Run(commands, ConfigJson());
    ASSERT_TRUE(run.report.is_object());
    const nlohmann::json& target = run.report["target"];
    EXPECT_EQ(run.emitted.at("STATE"), "halted");
    EXPECT_GE(target["resets"]["system"].get<uint64_t>(), 1u);
    EXPECT_EQ(target["resets"]["core"].get<uint64_t>(), 0u);
    EXPECT_TRUE(target["halted"].get<bool>());
    EXPECT_EQ(Numbers(run.emitted.at("PC")), std::vector<uint32_t>{kResetHandler});
    EXPECT_FALSE(HasErrors(run.log)) << run.log;
}

INSTANTIATE_TEST_SUITE_P(Transports, OpenOcdTest, ::testing::ValuesIn(kTransports),
                         [](const ::testing::TestParamInfo<Transport>& info) { return info.param.name; });

}  // namespace
