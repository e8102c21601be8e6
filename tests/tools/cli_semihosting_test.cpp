// The semihosting operations on a fake target: one program of calls on one
// state, each row the operation, its parameter, the result in r0 and what the
// host saw (console, memory, files, the exit).
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cli_support.h"
#include "common/semihosting.h"
#include "common/target_registers.h"

namespace cm3test {
namespace {

namespace sh = cm3tools::semihosting;

constexpr uint32_t kPc = 0x100;
constexpr uint32_t kBlock = 0x20000100;  // parameter blocks
constexpr uint32_t kText = 0x20000200;   // "hi there"
constexpr uint32_t kName = 0x20000300;   // file names
constexpr uint32_t kBuffer = 0x20000400;
constexpr uint32_t kStackTop = 0x20010000;
constexpr uint32_t kBadHandle = 42;

struct FakeTarget {
    std::map<uint32_t, uint8_t> memory;
    std::array<uint32_t, 21> registers{};
    std::string console;  // "1:" or "2:" before each write
    std::string input;

    void put(uint32_t address, const std::string& bytes) {
        for (size_t i = 0; i < bytes.size(); ++i) memory[address + static_cast<uint32_t>(i)] = uint8_t(bytes[i]);
    }
    void putWord(uint32_t address, uint32_t value) {
        for (uint32_t i = 0; i < 4; ++i) memory[address + i] = static_cast<uint8_t>(value >> (8 * i));
    }
    std::string get(uint32_t address, size_t length) {
        std::string bytes;
        for (size_t i = 0; i < length; ++i) bytes.push_back(static_cast<char>(memory[address + static_cast<uint32_t>(i)]));
        return bytes;
    }
    sh::TargetAccess access() {
        return {[](void* t, uint32_t selector, uint32_t* value) {
                    *value = static_cast<FakeTarget*>(t)->registers.at(selector);
                    return DebugResult{DBG_OK};
                },
                [](void* t, uint32_t selector, uint32_t value) {
                    static_cast<FakeTarget*>(t)->registers.at(selector) = value;
                    return DebugResult{DBG_OK};
                },
                [](void* t, uint32_t address, uint8_t* buffer, uint32_t count) {
                    for (uint32_t i = 0; i < count; ++i) buffer[i] = static_cast<FakeTarget*>(t)->memory[address + i];
                    return DebugResult{DBG_OK};
                },
                [](void* t, uint32_t address, const uint8_t* data, uint32_t count) {
                    for (uint32_t i = 0; i < count; ++i) static_cast<FakeTarget*>(t)->memory[address + i] = data[i];
                    return DebugResult{DBG_OK};
                },
                this};
    }
};

struct Row {
    uint32_t op;
    uint32_t r1;                           // kBlock: the words below are put there first
    std::vector<uint32_t> block;
    std::string name;                      // put at kName, NUL-terminated, when not empty
    uint32_t r0;                           // expected, unless the call exits
    std::string console;                   // what the console received
    std::optional<int> exitCode;           // the call ends the program
    std::string memory;                    // expected at kBuffer, when not empty
};

TEST(Semihosting, OperationTable) {
    ScratchDir scratch;
    const auto root = scratch.path() / "root";
    std::filesystem::create_directories(root);
    std::filesystem::create_directories(scratch.path() / "outside");
    std::filesystem::create_directory_symlink(scratch.path() / "outside", root / "escape");

    FakeTarget target;
    target.put(kText, std::string("hi there") + '\0');
    target.input = "abc";
    sh::Hooks hooks{[](void* t, int stream, std::span<const char> bytes) {
                        auto& console = static_cast<FakeTarget*>(t)->console;
                        console += std::to_string(stream) + ":" + std::string(bytes.data(), bytes.size());
                    },
                    [](void* t, std::span<char> buffer) {
                        std::string& input = static_cast<FakeTarget*>(t)->input;
                        const size_t n = std::min(buffer.size(), input.size());
                        input.copy(buffer.data(), n);
                        input.erase(0, n);
                        return n;
                    },
                    [](void*) { return uint64_t{1234}; },
                    [](void*) { return uint64_t{1700000000}; },
                    &target,
                    root.string(),
                    "prog a b",
                    kStackTop};
    constexpr uint32_t kFail = sh::kFailed;
    const std::vector<Row> rows = {
        {sh::op::kOpen, kBlock, {kName, 0, 3}, ":tt", 1, "", {}, ""},  // stdin
        {sh::op::kOpen, kBlock, {kName, 4, 3}, ":tt", 2, "", {}, ""},  // stdout
        {sh::op::kOpen, kBlock, {kName, 8, 3}, ":tt", 3, "", {}, ""},  // stderr
        {sh::op::kWrite, kBlock, {2, kText, 8}, "", 0, "1:hi there", {}, ""},
        {sh::op::kWrite, kBlock, {3, kText, 2}, "", 0, "2:hi", {}, ""},
        {sh::op::kWrite, kBlock, {kBadHandle, kText, 2}, "", 2, "", {}, ""},  // nothing written
        {sh::op::kRead, kBlock, {1, kBuffer, 8}, "", 5, "", {}, "abc"},     // 5 of 8 not read
        {sh::op::kRead, kBlock, {1, kBuffer, 8}, "", 8, "", {}, ""},        // end of file
        {sh::op::kReadC, 0, {}, "", kFail, "", {}, ""},
        {sh::op::kWriteC, kText, {}, "", 0, "1:h", {}, ""},
        {sh::op::kWrite0, kText, {}, "", 0, "1:hi there", {}, ""},
        {sh::op::kIsTty, kBlock, {2}, "", 1, "", {}, ""},
        {sh::op::kIsTty, kBlock, {kBadHandle}, "", kFail, "", {}, ""},
        {sh::op::kOpen, kBlock, {kName, 0, 21}, ":semihosting-features", 4, "", {}, ""},
        {sh::op::kFlen, kBlock, {4}, "", 5, "", {}, ""},
        {sh::op::kRead, kBlock, {4, kBuffer, 8}, "", 3, "", {}, "SHFB\x03"},
        {sh::op::kGetCmdline, kBlock, {kBuffer, 64}, "", 0, "", {}, std::string("prog a b") + '\0'},
        {sh::op::kGetCmdline, kBlock, {kBuffer, 8}, "", kFail, "", {}, ""},  // no room for the NUL
        {sh::op::kHeapInfo, kBlock, {kBuffer}, "", 0, "", {}, std::string(8, '\0') + std::string("\x00\x00\x01\x20", 4) + std::string(4, '\0')},
        {sh::op::kOpen, kBlock, {kName, 4, 7}, "out.txt", 5, "", {}, ""},
        {sh::op::kWrite, kBlock, {5, kText, 8}, "", 0, "", {}, ""},
        {sh::op::kFlen, kBlock, {5}, "", 8, "", {}, ""},
        {sh::op::kSeek, kBlock, {5, 3}, "", 0, "", {}, ""},
        {sh::op::kSeek, kBlock, {2, 0}, "", kFail, "", {}, ""},  // the console does not seek
        {sh::op::kClose, kBlock, {5}, "", 0, "", {}, ""},
        {sh::op::kClose, kBlock, {5}, "", kFail, "", {}, ""},
        {sh::op::kOpen, kBlock, {kName, 0, 4}, "../x", kFail, "", {}, ""},
        {sh::op::kOpen, kBlock, {kName, 0, 11}, "/etc/passwd", kFail, "", {}, ""},
        {sh::op::kOpen, kBlock, {kName, 4, 8}, "escape/x", kFail, "", {}, ""},
        {sh::op::kErrno, 0, {}, "", 13, "", {}, ""},  // EACCES
        {sh::op::kClock, 0, {}, "", 1234, "", {}, ""},
        {sh::op::kTime, 0, {}, "", 1700000000, "", {}, ""},
        {0x30, 0, {}, "", kFail, "", {}, ""},  // unknown: the program goes on
        {sh::op::kExit, sh::kApplicationExit, {}, "", 0, "", 0, ""},
        {sh::op::kExit, 0x20023, {}, "", 0, "", 1, ""},  // a run-time error
        {sh::op::kExitExtended, kBlock, {sh::kApplicationExit, 7}, "", 0, "", 7, ""},
        {sh::op::kExitExtended, kBlock, {0x20023, 7}, "", 0, "", 1, ""},
    };
    sh::State state;
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE("row " + std::to_string(i) + ", op " + std::to_string(row.op));
        for (size_t w = 0; w < row.block.size(); ++w) target.putWord(kBlock + 4 * static_cast<uint32_t>(w), row.block[w]);
        if (!row.name.empty()) target.put(kName, row.name + '\0');
        target.put(kBuffer, std::string(16, '\x55'));
        target.console.clear();
        target.registers[cm3tools::regsel::kR0] = row.op;
        target.registers[cm3tools::regsel::kR0 + 1] = row.r1;
        target.registers[cm3tools::regsel::kPc] = kPc;
        const sh::Outcome outcome = sh::ServeSemihostingCall(target.access(), state, hooks);
        EXPECT_EQ(target.console, row.console);
        if (row.exitCode) {
            EXPECT_EQ(outcome.kind, sh::Outcome::Kind::kExit);
            EXPECT_EQ(outcome.exitCode, *row.exitCode);
            continue;
        }
        ASSERT_EQ(outcome.kind, sh::Outcome::Kind::kContinue);
        EXPECT_EQ(target.registers[cm3tools::regsel::kR0], row.r0);
        EXPECT_EQ(target.registers[cm3tools::regsel::kPc], kPc + 2);
        if (!row.memory.empty()) {
            EXPECT_EQ(target.get(kBuffer, row.memory.size()), row.memory);
        }
        if (row.op == sh::op::kGetCmdline && row.r0 == 0) {
            EXPECT_EQ(target.get(kBlock + 4, 4), std::string("\x08\x00\x00\x00", 4)) << "the length field";
        }
    }
    EXPECT_EQ(ReadBytes((root / "out.txt").string()), std::vector<uint8_t>({'h', 'i', ' ', 't', 'h', 'e', 'r', 'e'}));
    EXPECT_TRUE(std::filesystem::is_empty(scratch.path() / "outside"));

    // A call is told from a breakpoint by the instruction at the PC.
    DebugResult result = DBG_OK;
    target.put(kPc, "\xAB\xBE");
    EXPECT_TRUE(sh::AtSemihostingCall(target.access(), result));
    target.put(kPc, std::string("\x00\xBE", 2));
    EXPECT_FALSE(sh::AtSemihostingCall(target.access(), result));
}

}  // namespace
}  // namespace cm3test
