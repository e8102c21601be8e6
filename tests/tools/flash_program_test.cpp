// Flash programming through the flash controller, in process on the
// simulator, with the target's flash inspected directly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>

#include "cli_support.h"
#include "cm3probe.h"
#include "common/flash.h"
#include "common/flash_loader.h"
#include "common/target_registers.h"
#include "target/cortex_m3_target.h"
#include "virtual_probe.h"

namespace cm3test {
namespace {

using cm3tools::flash::kPageSize;
using cm3tools::flash::Piece;
using cm3tools::flash::Status;

constexpr uint32_t kClockHz = 1000000;
constexpr const char* kAdapter = "USB Debug Bridge A";
constexpr uint8_t kErased = 0xFF;

struct Connection {
    bool swd;
    bool batched;
};

// Erases shortened from tens of milliseconds of target time: every poll
// costs wire traffic, and the command line's tests flash at full length.
cm3sim::SimConfig QuickFlash() {
    cm3sim::SimConfig config;
    config.flashEraseNs = 1'000'000;
    config.flashMassEraseNs = 4'000'000;
    return config;
}

class FlashTest : public ::testing::TestWithParam<Connection> {
protected:
    void SetUp() override { Boot(QuickFlash()); }
    void TearDown() override { (void)DebugClose(); }

    void Boot(const cm3sim::SimConfig& config) {
        (void)DebugClose();
        ::setenv("CM3PROBE_DRIVER", "sim", 1);
        cm3sim::ResetGlobalProbe(config);
        ASSERT_EQ(DebugOpen(kClockHz, kAdapter, GetParam().swd ? 1 : 0), DBG_OK);
        ASSERT_EQ(DebugInit(GetParam().batched ? 1 : 0), DBG_OK);
        uint32_t state = 0;
        ASSERT_EQ(DebugGetCoreState(&state), DBG_OK);
        ASSERT_EQ(DebugHaltCore(), DBG_OK);
    }

    cm3sim::CortexM3Target& Target() {
        return static_cast<cm3sim::CortexM3Target&>(cm3sim::GlobalProbe().target());
    }
    const cm3sim::FlashCounters& Counters() { return Target().flashCounters(); }
    std::vector<uint8_t> Flash(uint32_t address, uint32_t length) { return Target().peekBytes(address, length); }
};

TEST_P(FlashTest, ProgramsUnalignedBytesAndLeavesTheRestErased) {
    const auto bytes = Pattern(10, 1);
    ASSERT_TRUE(cm3tools::flash::Program(0x103, bytes).ok());
    std::vector<uint8_t> expected(20, kErased);
    std::copy(bytes.begin(), bytes.end(), expected.begin() + 3);
    EXPECT_EQ(Flash(0x100, 20), expected);
    // Words 0x100, 0x104, 0x108 and 0x10C each take one program command.
    EXPECT_EQ(Counters().programs, 4u);
    EXPECT_EQ(Counters().rejectedCommands, 0u);
}

TEST_P(FlashTest, SkipsWordsThatWouldStayErased) {
    std::vector<uint8_t> bytes(12, kErased);
    bytes[0] = 0x12;
    bytes[11] = 0x34;
    ASSERT_TRUE(cm3tools::flash::Program(0x400, bytes).ok());
    EXPECT_EQ(Counters().programs, 2u);
    EXPECT_EQ(Flash(0x400, 12), bytes);
}

TEST_P(FlashTest, PiecesOfOneWordCombine) {
    ASSERT_TRUE(cm3tools::flash::Program(0x200, std::vector<uint8_t>{0x01, 0x02}).ok());
    ASSERT_TRUE(cm3tools::flash::Program(0x202, std::vector<uint8_t>{0x03, 0x04}).ok());
    EXPECT_EQ(Target().peek32(0x200), 0x04030201u);
}

struct EraseCase {
    uint32_t address;
    uint32_t length;
    std::set<uint32_t> pages;
};

TEST_P(FlashTest, EraseTouchesExactlyThePagesInItsRange) {
    const std::vector<EraseCase> cases{
        {0x0, 1, {0x0}},
        {0x3FF, 2, {0x0, 0x400}},
        {0x400, kPageSize, {0x400}},
        {0x401, 2 * kPageSize, {0x400, 0x800, 0xC00}},
        {0x10, 0, {}},
    };
    constexpr uint32_t kPages = 5;
    for (const EraseCase& c : cases) {
        Target().pokeBytes(0, std::vector<uint8_t>(kPages * kPageSize, 0x00));
        const uint64_t before = Counters().pageErases;
        ASSERT_TRUE(cm3tools::flash::Erase(c.address, c.length).ok());
        EXPECT_EQ(Counters().pageErases - before, c.pages.size());
        for (uint32_t page = 0; page < kPages * kPageSize; page += kPageSize) {
            const uint8_t fill = c.pages.count(page) ? kErased : 0x00;
            EXPECT_EQ(Flash(page, kPageSize), std::vector<uint8_t>(kPageSize, fill))
                << "erase " << c.address << "+" << c.length << ", page " << page;
        }
    }
}

TEST_P(FlashTest, MassEraseClearsEverything) {
    Target().pokeBytes(0x3F000, Pattern(64, 2));
    Target().pokeBytes(0x0, Pattern(64, 3));
    ASSERT_TRUE(cm3tools::flash::MassErase().ok());
    EXPECT_EQ(Counters().massErases, 1u);
    EXPECT_EQ(Flash(0x3F000, 64), std::vector<uint8_t>(64, kErased));
    EXPECT_EQ(Flash(0x0, 64), std::vector<uint8_t>(64, kErased));
}

TEST_P(FlashTest, VerifyNamesTheFirstDifference) {
    const auto bytes = Pattern(300, 4);
    ASSERT_TRUE(cm3tools::flash::Program(0x1000, bytes).ok());
    EXPECT_TRUE(cm3tools::flash::Verify(0x1000, bytes).ok());
    Target().poke8(0x1105, static_cast<uint8_t>(bytes[0x105] ^ 0x10));
    Target().poke8(0x1106, static_cast<uint8_t>(bytes[0x106] ^ 0x10));
    const Status status = cm3tools::flash::Verify(0x1000, bytes);
    EXPECT_EQ(status.result, DBG_ERROR);
    EXPECT_EQ(status.address, 0x1105u);
    EXPECT_NE(status.message.find("0x00001105"), std::string::npos) << status.message;
}

// The capability word states the configured memories, and a program-protected
// 2 KB block refuses the loader's and the host's commands alike: flash keeps
// its contents, the controller's raw status shows the access error, and
// verification names the first protected byte.
TEST_P(FlashTest, CapabilitiesAndProtectionAsTheControllerReportsThem) {
    cm3sim::SimConfig config = QuickFlash();
    config.flash.size = 128 * 1024;
    config.sram.size = 32 * 1024;
    config.flashProgramEnable[0] = ~(1u << 2);  // 0x1000..0x17FF
    Boot(config);
    uint32_t dc0 = 0;
    ASSERT_EQ(DebugReadMem(0x400FE008, &dc0, 4), DBG_OK);
    EXPECT_EQ(dc0, 0x007F003Fu) << "SRAM in 256-byte units, flash in 2 KB units, each less one";
    const auto bytes = Pattern(3 * kPageSize, 6);
    ASSERT_TRUE(cm3tools::flash::Program(0xC00, bytes).ok());
    uint32_t fcris = 0;
    ASSERT_EQ(DebugReadMem(0x400FD00C, &fcris, 4), DBG_OK);
    EXPECT_EQ(fcris & 1u, 1u) << "ARIS";
    EXPECT_EQ(Flash(0x1000, 2 * kPageSize), std::vector<uint8_t>(2 * kPageSize, kErased));
    const Status status = cm3tools::flash::Verify(0xC00, bytes);
    EXPECT_EQ(status.result, DBG_ERROR);
    EXPECT_EQ(status.address, 0x1000u);
}

TEST_P(FlashTest, WriteErasesSharedPagesOnceAndReportsProgressToTheEnd) {
    const auto a = Pattern(100, 5);
    const auto b = Pattern(200, 6);
    const auto c = Pattern(40, 7);
    Target().pokeBytes(0x0, std::vector<uint8_t>(3 * kPageSize, 0x00));
    const std::vector<Piece> pieces{{0x10, a}, {0x300, b}, {0x7F0, c}};
    std::vector<std::pair<uint64_t, uint64_t>> reports;
    const Status status =
        cm3tools::flash::Write(pieces, true, [&](uint64_t done, uint64_t total) { reports.emplace_back(done, total); });
    ASSERT_TRUE(status.ok()) << status.message;
    // Pages 0x0 (a and b), 0x400 and 0x800 (c straddles them).
    EXPECT_EQ(Counters().pageErases, 3u);
    EXPECT_EQ(Flash(0x10, 100), a);
    EXPECT_EQ(Flash(0x300, 200), b);
    EXPECT_EQ(Flash(0x7F0, 40), c);
    EXPECT_EQ(Flash(0x0, 0x10), std::vector<uint8_t>(0x10, kErased));
    const uint64_t total = 3 * kPageSize + 2 * (100 + 200 + 40);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back(), std::make_pair(total, total));
    for (size_t i = 1; i < reports.size(); ++i) {
        EXPECT_GE(reports[i].first, reports[i - 1].first);
        EXPECT_EQ(reports[i].second, total);
    }
}

TEST_P(FlashTest, VerificationCatchesAnAddressOutsideFlash) {
    // The controller ignores commands outside its array; only the read-back tells.
    const Status status = cm3tools::flash::Write(0x00100000, Pattern(8, 8), true);
    EXPECT_FALSE(status.ok());
    EXPECT_EQ(Counters().programs, 0u);
}

TEST_P(FlashTest, RefusesRangesPastTheAddressSpace) {
    const auto bytes = Pattern(32, 9);
    EXPECT_EQ(cm3tools::flash::Program(0xFFFFFFF0, bytes).result, DBG_BAD_PARAMETER);
    EXPECT_EQ(cm3tools::flash::Erase(0xFFFFFC00, 0x401).result, DBG_BAD_PARAMETER);
    EXPECT_EQ(cm3tools::flash::Verify(0xFFFFFFF0, bytes).result, DBG_BAD_PARAMETER);
}

TEST_P(FlashTest, ABusErrorStopsProgrammingWhereItHappened) {
    cm3sim::SimConfig config = QuickFlash();
    config.ahbErrorRegions.push_back({cm3tools::flash::fma::kAddress, 3 * cm3tools::flash::kWordSize});
    Boot(config);
    Status status = cm3tools::flash::Program(0x804, Pattern(8, 10));
    EXPECT_EQ(status.result, DBG_STICKY_ERROR);
    EXPECT_EQ(status.address, 0x804u);
    status = cm3tools::flash::Erase(0xC00, 1);
    EXPECT_EQ(status.result, DBG_STICKY_ERROR);
    EXPECT_EQ(status.address, 0xC00u);
}

// --- the loader in SRAM -------------------------------------------------------

namespace loader = cm3tools::flash::loader;
namespace work_area = loader::work_area;
namespace regsel = cm3tools::regsel;

constexpr uint32_t kWord = cm3tools::flash::kWordSize;
constexpr uint32_t kWordSizeCode = 2;  // DebugWriteMem's size code for a word
constexpr uint32_t kSramBytesSaved = 4 * cm3tools::kBlockSize;  // the routine's window and both slots
constexpr uint8_t kSramSeed = 0x5A;

// Every register a debugger can name, and what each is set to before a run.
struct RegisterValue {
    uint32_t regsel;
    uint32_t value;
};
const std::vector<RegisterValue> kStartRegisters{
    {0, 0x10101010},  {1, 0x11111111},  {2, 0x12121212},  {3, 0x13131313},  {4, 0x14141414},
    {5, 0x15151515},  {6, 0x16161616},  {7, 0x17171717},  {8, 0x18181818},  {9, 0x19191919},
    {10, 0x1A1A1A1A}, {11, 0x1B1B1B1B}, {12, 0x1C1C1C1C}, {regsel::kLr, 0x00000123},
    {regsel::kPc, 0x00000200},
    // Thread mode with the flags N, Z, C and V set: the loader's compares change them.
    {regsel::kXpsr, 0xF1000000},
    {regsel::kMsp, 0x2000F000},
    {regsel::kPsp, 0x2000E000},
    // PRIMASK set.
    {regsel::kSpecial, 0x00000001},
};

// Flash as the test expects it: erased, with `bytes` at `address`.
std::vector<uint8_t> Expected(uint32_t regionStart, uint32_t regionLength, uint32_t address,
                              const std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> expected(regionLength, kErased);
    std::copy(bytes.begin(), bytes.end(), expected.begin() + (address - regionStart));
    return expected;
}

uint64_t WordsToProgram(uint32_t address, const std::vector<uint8_t>& bytes) {
    std::set<uint32_t> words;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != kErased) words.insert((address + static_cast<uint32_t>(i)) & ~(kWord - 1));
    }
    return words.size();
}

class FlashLoaderTest : public FlashTest {
protected:
    // Distinctive registers and SRAM, so a run that leaves a trace shows.
    void Prepare() {
        // Without the reset vector catch DebugStartCore arms, so its return shows.
        ASSERT_EQ(DebugWriteMem(cm3tools::demcr::kAddress, cm3tools::demcr::kTrcEna, kWordSizeCode), DBG_OK);
        for (const RegisterValue& r : kStartRegisters) {
            ASSERT_TRUE(Target().setCoreRegister(static_cast<uint8_t>(r.regsel), r.value)) << r.regsel;
        }
        Target().pokeBytes(work_area::kBase, Pattern(kSramBytesSaved, kSramSeed));
        before_.clear();
        for (const RegisterValue& r : kStartRegisters) {
            before_.push_back(*Target().coreRegister(static_cast<uint8_t>(r.regsel)));
        }
        beforeControl_ = Target().dhcsr() & loader::debug_control::kControlBits;
        beforeDfsr_ = Target().dfsr();
        beforeDemcr_ = Target().demcr();
        retiredBefore_ = Target().retiredInstructions();
    }

    void ExpectCoreAndSramAsBefore() {
        for (size_t i = 0; i < kStartRegisters.size(); ++i) {
            EXPECT_EQ(*Target().coreRegister(static_cast<uint8_t>(kStartRegisters[i].regsel)), before_[i])
                << "regsel " << kStartRegisters[i].regsel;
        }
        EXPECT_EQ(Target().peekBytes(work_area::kBase, kSramBytesSaved), Pattern(kSramBytesSaved, kSramSeed));
        EXPECT_EQ(Target().dhcsr() & loader::debug_control::kControlBits, beforeControl_);
        EXPECT_EQ(Target().dfsr(), beforeDfsr_);
        EXPECT_EQ(Target().demcr(), beforeDemcr_);
        EXPECT_TRUE(Target().halted());
    }

    // The core executes nothing else while the test has it halted.
    bool LoaderRan() { return Target().retiredInstructions() != retiredBefore_; }

private:
    std::vector<uint32_t> before_;
    uint32_t beforeControl_ = 0;
    uint32_t beforeDfsr_ = 0;
    uint32_t beforeDemcr_ = 0;
    uint64_t retiredBefore_ = 0;
};

struct LoaderCase {
    const char* name;
    uint32_t address;
    uint32_t length;
    std::vector<uint32_t> erasedOffsets;  // words of the image left all-ones
    bool maskedBefore;                    // C_MASKINTS already set by the debugger
};

// Every DHCSR write by the debugger that lets the core run.
std::vector<uint32_t> ResumingDhcsrWrites(const std::vector<cm3sim::AhbAccess>& log) {
    std::vector<uint32_t> values;
    for (const cm3sim::AhbAccess& access : log) {
        const bool resumes = (access.value & cm3tools::dhcsr::kCHalt) == 0;
        if (access.write && access.address == cm3tools::dhcsr::kAddress && resumes) {
            values.push_back(access.value);
        }
    }
    return values;
}

TEST_P(FlashLoaderTest, ProgramsPiecesAndLeavesCoreAndSramAsTheyWere) {
    const std::vector<LoaderCase> cases{
        {"unaligned at both ends", 0x1003, 1030, {}, false},
        {"two runs, erased words inside and at the ends", 0x4000, 5000, {0, 4, 0x800, 0xFFC, 0x1000, 5000 - kWord},
         true},
        {"an all-erased 4 KB window between runs", 0x8000, 3 * cm3tools::kBlockSize, {}, false},
    };
    for (const LoaderCase& c : cases) {
        SCOPED_TRACE(c.name);
        cm3sim::SimConfig config = QuickFlash();
        config.logAhbAccesses = true;
        Boot(config);
        if (c.maskedBefore) {
            ASSERT_EQ(DebugWriteMem(cm3tools::dhcsr::kAddress,
                                    loader::debug_control::kKey | cm3tools::dhcsr::kCDebugEn | cm3tools::dhcsr::kCHalt |
                                        loader::debug_control::kCMaskInts,
                                    kWordSizeCode),
                      DBG_OK);
        }
        Prepare();
        Target().clearAhbLog();
        std::vector<uint8_t> bytes = Pattern(c.length, 12);
        for (uint32_t offset : c.erasedOffsets) std::fill_n(bytes.begin() + offset, kWord, kErased);
        if (c.length == 3 * cm3tools::kBlockSize) {
            std::fill_n(bytes.begin() + cm3tools::kBlockSize, cm3tools::kBlockSize, kErased);
        }
        std::vector<std::pair<uint64_t, uint64_t>> reports;
        const Status status = cm3tools::flash::Program(
            c.address, bytes, [&](uint64_t done, uint64_t total) { reports.emplace_back(done, total); });
        ASSERT_TRUE(status.ok()) << status.message;
        EXPECT_TRUE(LoaderRan());
        const uint32_t regionStart = c.address - kPageSize;
        const uint32_t regionLength = c.length + 2 * kPageSize;
        EXPECT_EQ(Flash(regionStart, regionLength), Expected(regionStart, regionLength, c.address, bytes));
        EXPECT_EQ(Counters().programs, WordsToProgram(c.address, bytes));
        EXPECT_EQ(Counters().rejectedCommands, 0u);
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ(reports.back(), std::make_pair(uint64_t{c.length}, uint64_t{c.length}));
        for (size_t i = 1; i < reports.size(); ++i) EXPECT_GT(reports[i].first, reports[i - 1].first);
        ExpectCoreAndSramAsBefore();
        // Firmware interrupts stay masked whenever the loader runs.
        const std::vector<uint32_t> resumes = ResumingDhcsrWrites(Target().ahbLog());
        EXPECT_FALSE(resumes.empty());
        for (uint32_t value : resumes) EXPECT_NE(value & loader::debug_control::kCMaskInts, 0u) << std::hex << value;
    }
}

struct SramCase {
    const char* name;
    cm3sim::AddressRange sram;
};

TEST_P(FlashLoaderTest, WithoutRoomInSramTheHostProgramsEveryWord) {
    const std::vector<SramCase> cases{
        {"no SRAM at the work area", {0x30000000, 64 * 1024}},
        {"room for the routine, none for the words", {work_area::kBase, loader::slots::kFirst - work_area::kBase}},
        {"less than the routine", {work_area::kBase, loader::kImageBytes / 2}},
    };
    for (const SramCase& c : cases) {
        SCOPED_TRACE(c.name);
        cm3sim::SimConfig config = QuickFlash();
        config.sram = c.sram;
        Boot(config);
        const uint64_t retired = Target().retiredInstructions();
        const auto bytes = Pattern(2050, 13);
        const Status status = cm3tools::flash::Program(0x1002, bytes);
        ASSERT_TRUE(status.ok()) << status.message;
        EXPECT_EQ(Target().retiredInstructions(), retired) << "the loader ran";
        EXPECT_EQ(Flash(0xC00, 4096), Expected(0xC00, 4096, 0x1002, bytes));
        EXPECT_EQ(Counters().programs, WordsToProgram(0x1002, bytes));
    }
}

TEST_P(FlashLoaderTest, AFaultInTheLoaderHandsTheRestToTheHost) {
    // Only the CPU's store to FMD fails; the host's block write hits the same error.
    cm3sim::SimConfig config = QuickFlash();
    config.ahbErrorRegions.push_back({cm3tools::flash::fmd::kAddress, kWord});
    Boot(config);
    Prepare();
    const Status status = cm3tools::flash::Program(0x804, Pattern(1024, 14));
    EXPECT_EQ(status.result, DBG_STICKY_ERROR);
    EXPECT_EQ(status.address, 0x804u);
    EXPECT_NE(status.message.find("SRAM loader"), std::string::npos) << status.message;
    EXPECT_TRUE(LoaderRan());
    EXPECT_EQ(Counters().programs, 0u);
    ExpectCoreAndSramAsBefore();
}

// One bus error at points spread over a two-run program and in the copy of
// the second run's words while the first programs: flash is what the call
// reports. Success leaves exactly the image; a failure only erased or image
// bytes and nothing outside. The core and SRAM come back unless the restore
// met the error. One connection: each point is a whole session.
using FlashLoaderFaultTest = FlashLoaderTest;

TEST_P(FlashLoaderFaultTest, ABusErrorAnywhereLeavesFlashAsReported) {
    // A run of 40 words at the start of each 4 KB window.
    constexpr uint32_t kAddress = 0x4000;
    constexpr uint32_t kRunBytes = 160;
    constexpr uint64_t kSpread = 8;
    std::vector<uint8_t> bytes = Pattern(cm3tools::kBlockSize + kRunBytes, 15);
    std::fill(bytes.begin() + kRunBytes, bytes.begin() + cm3tools::kBlockSize, kErased);
    const uint32_t regionStart = kAddress - kPageSize;
    const auto regionLength = static_cast<uint32_t>(bytes.size() + 2 * kPageSize);
    const std::vector<uint8_t> expected = Expected(regionStart, regionLength, kAddress, bytes);

    cm3sim::SimConfig logged = QuickFlash();
    logged.logAhbAccesses = true;
    Boot(logged);
    Prepare();
    Target().clearAhbLog();
    ASSERT_TRUE(cm3tools::flash::Program(kAddress, bytes).ok());
    const std::vector<cm3sim::AhbAccess> log = Target().ahbLog();
    std::vector<uint64_t> points;
    for (uint64_t i = 0; i < log.size(); i += log.size() / kSpread) points.push_back(i);
    const uint32_t slot = loader::slots::Address(1);
    const auto copy = std::find_if(log.begin(), log.end(), [slot](const cm3sim::AhbAccess& a) {
        return a.write && a.address >= slot && a.address < slot + loader::slots::kBytes;
    });
    ASSERT_NE(copy, log.end());
    const auto first = static_cast<uint64_t>(copy - log.begin());
    const uint64_t words = (loader::header::kBytes + kRunBytes) / sizeof(uint32_t);
    for (uint64_t at : {first, first + words / 2, first + words - 1}) points.push_back(at);

    for (uint64_t at : points) {
        SCOPED_TRACE("bus error at access " + std::to_string(at) + " of " + std::to_string(log.size()));
        Boot(QuickFlash());
        Prepare();
        Target().armBusError(at);
        const Status status = cm3tools::flash::Program(kAddress, bytes);
        const std::vector<uint8_t> flash = Flash(regionStart, regionLength);
        for (size_t i = 0; i < flash.size(); ++i) {
            const bool allowed = flash[i] == expected[i] || (!status.ok() && flash[i] == kErased);
            ASSERT_TRUE(allowed) << status.message << "; flash byte at offset " << i;
        }
        if (status.message.find("restoring") == std::string::npos) ExpectCoreAndSramAsBefore();
    }
}

// Polls its way through the whole limit: one connection is enough.
using FlashTimeoutTest = FlashLoaderTest;

struct TimeoutCase {
    uint32_t length;
    bool loader;  // enough words for the loader, which gives up first
};

TEST_P(FlashTimeoutTest, AControllerThatNeverFinishesTimesOut) {
    for (const TimeoutCase& c : {TimeoutCase{8, false}, TimeoutCase{1024, true}}) {
        SCOPED_TRACE(c.length);
        cm3sim::SimConfig config = QuickFlash();
        config.flashProgramNs = uint64_t{1} << 60;
        Boot(config);
        Prepare();
        const Status status = cm3tools::flash::Program(0x40, Pattern(c.length, 11));
        EXPECT_EQ(status.result, DBG_TIMEOUT);
        EXPECT_EQ(status.address, 0x40u);
        EXPECT_NE(status.message.find("within"), std::string::npos) << status.message;
        EXPECT_EQ(status.message.find("SRAM loader") != std::string::npos, c.loader) << status.message;
        EXPECT_EQ(LoaderRan(), c.loader);
        ExpectCoreAndSramAsBefore();
    }
}

std::string ConnectionName(const ::testing::TestParamInfo<Connection>& info) {
    return std::string(info.param.swd ? "Swd" : "Jtag") + (info.param.batched ? "Batched" : "Direct");
}

INSTANTIATE_TEST_SUITE_P(Connections, FlashTest, ::testing::Values(Connection{true, false}, Connection{false, true}),
                         ConnectionName);

INSTANTIATE_TEST_SUITE_P(Connections, FlashLoaderTest,
                         ::testing::Values(Connection{true, false}, Connection{false, true}), ConnectionName);

INSTANTIATE_TEST_SUITE_P(Connections, FlashLoaderFaultTest, ::testing::Values(Connection{true, true}), ConnectionName);
INSTANTIATE_TEST_SUITE_P(Connections, FlashTimeoutTest, ::testing::Values(Connection{true, false}), ConnectionName);

}  // namespace
}  // namespace cm3test
