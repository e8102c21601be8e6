// Bad input at the C boundary: null pointers, oversized counts, size codes and
// selectors out of range, addresses that wrap, descriptions with no end, and
// calls in every wrong order. Each gets its documented result, never a crash,
// and never a byte read or written past what the caller handed over (buffers
// end at an inaccessible page).
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "adapter/backend.h"
#include "cm3probe.h"
#include "frame/adapter_lock.h"
#include "frame/connection.h"
#include "in_process.h"
#include "support.h"
#include "usb/sim_socket_driver.h"
#include "virtual_probe.h"

namespace cm3rel {
namespace {

inline constexpr uint32_t kMaxBlock = 4096;
inline constexpr uint32_t kAddress = kSramBase + 0x200;
inline constexpr uint32_t kSizeByte = 0;
inline constexpr uint32_t kSizeWord = 2;
inline constexpr uint32_t kPattern = 0xA1B2C3D4;
inline constexpr uint8_t kUntouched = 0x5A;
inline constexpr uint32_t kRegisterCount = 16;  // R0-R12, SP, LR, DebugReturnAddress
// SRAM moved to the top of the address space, so that a block wraps from it
// into flash at 0.
inline constexpr uint32_t kTopSramBase = 0xFFFFF000;
inline constexpr uint32_t kTopSramSize = 0x1000;
inline constexpr uint32_t kErasedFlashByte = 0xFF;
inline constexpr uint32_t kWrapStart = 0xFFFFFFF8;  // eight bytes below the wrap
inline constexpr uint32_t kTopByte = 0xFFFFFFFF;
inline constexpr uint32_t kBreakpointAddress = 0x100;
inline constexpr uint32_t kRegisterValues = 0x1000;  // R0 gets this, R1 one more, ...
inline constexpr uint8_t kWrittenByte = 0xEE;
inline constexpr uint32_t kBitsPerByte = 8;
inline constexpr uint32_t kByteMask = 0xFF;

// `bytes` of memory that end exactly where an inaccessible page begins.
class GuardedBuffer {
public:
    explicit GuardedBuffer(size_t bytes) : bytes_(bytes) {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        const size_t pages = (bytes + page_ - 1) / page_ + 1;
        length_ = pages * page_;
        void* mapping = mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base_ = mapping == MAP_FAILED ? nullptr : static_cast<uint8_t*>(mapping);
        if (base_ != nullptr) mprotect(base_ + length_ - page_, page_, PROT_NONE);
    }
    ~GuardedBuffer() {
        if (base_ != nullptr) munmap(base_, length_);
    }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;
    uint8_t* data() const { return base_ + length_ - page_ - bytes_; }
    bool ok() const { return base_ != nullptr; }

private:
    size_t bytes_;
    size_t page_ = 0;
    size_t length_ = 0;
    uint8_t* base_ = nullptr;
};

struct Call {
    const char* name;
    std::function<DebugResult()> call;
    DebugResult expected;
};

uint32_t g_value = 0;
uint8_t g_block[8];

// Every export but DebugOpen, as called on a connection that is not initialised.
std::vector<Call> UninitialisedCalls(DebugResult init) {
    return {
        {"DebugInit", [] { return DebugInit(0); }, init},
        {"DebugGetIDCode", [] { return DebugGetIDCode(&g_value); }, DBG_NOT_INITIALISED},
        // The one export that answers DBG_ERROR here.
        {"DebugGetDeviceInformation", [] { return DebugGetDeviceInformation(&g_value, &g_value, &g_value); },
         DBG_ERROR},
        {"DebugReadMem", [] { return DebugReadMem(kAddress, &g_value, kSizeWord); }, DBG_NOT_INITIALISED},
        {"DebugWriteMem", [] { return DebugWriteMem(kAddress, 1, kSizeWord); }, DBG_NOT_INITIALISED},
        {"DebugReadBlock", [] { return DebugReadBlock(kAddress, g_block, sizeof g_block); }, DBG_NOT_INITIALISED},
        {"DebugWriteBlock", [] { return DebugWriteBlock(kAddress, g_block, sizeof g_block); }, DBG_NOT_INITIALISED},
        {"DebugHaltCore", [] { return DebugHaltCore(); }, DBG_NOT_INITIALISED},
        {"DebugStartCore", [] { return DebugStartCore(); }, DBG_NOT_INITIALISED},
        {"DebugStepCore", [] { return DebugStepCore(); }, DBG_NOT_INITIALISED},
        {"DebugGetCoreState", [] { return DebugGetCoreState(&g_value); }, DBG_NOT_INITIALISED},
        {"DebugCoreReset", [] { return DebugCoreReset(); }, DBG_NOT_INITIALISED},
        {"DebugSystemReset", [] { return DebugSystemReset(); }, DBG_NOT_INITIALISED},
        {"DebugHardwareReset", [] { return DebugHardwareReset(); }, DBG_NOT_INITIALISED},
        {"DebugReadCoreRegister", [] { return DebugReadCoreRegister(0, &g_value); }, DBG_NOT_INITIALISED},
        {"DebugWriteCoreRegister", [] { return DebugWriteCoreRegister(0, 0); }, DBG_NOT_INITIALISED},
        {"DebugSetBreakpoint", [] { return DebugSetBreakpoint(kBreakpointAddress); }, DBG_NOT_INITIALISED},
        {"DebugClearBreakpoint", [] { return DebugClearBreakpoint(kBreakpointAddress); }, DBG_NOT_INITIALISED},
        {"DebugClose", [] { return DebugClose(); }, DBG_OK},
    };
}

void ExpectAll(const std::vector<Call>& calls, const std::string& when) {
    for (const Call& c : calls) EXPECT_EQ(c.call(), c.expected) << c.name << " " << when;
}

class BadInputTest : public ::testing::Test {
protected:
    void SetUp() override {
        lock_ = UniqueName("lock");
        UsePrivateLock(lock_);
        setenv(cm3probe::adapter::kDriverEnvironmentVariable, cm3probe::adapter::kDriverSim, 1);
        unsetenv(cm3sim::kSimSocketEnvironmentVariable);
    }
    void TearDown() override {
        (void)CloseInProcess();
        cm3probe::connection::CloseLockForTesting(cm3probe::connection::OpenLock(lock_.c_str()), true);
    }

    // Opened and initialised over SWD on the counting in-process driver.
    void Connected(const cm3sim::SimConfig& config = cm3sim::SimConfig{}) {
        FreshInProcess(config, lock_);
        ASSERT_EQ(Connect(LinkChoice{true, false}), DBG_OK);
    }

    // Calls `body` and expects it to reach no driver operation at all.
    void ExpectNoTraffic(const std::string& what, const std::function<void()>& body) {
        StartCounting();
        body();
        const DriverCallCounts counts = StopCounting();
        for (size_t op = 0; op < kDriverOps; ++op) EXPECT_EQ(counts.calls[op], 0u) << what << ": driver op " << op;
    }

    std::string lock_;
};

TEST_F(BadInputTest, EveryExportBeforeDebugOpen) {
    cm3sim::ResetGlobalProbe(cm3sim::SimConfig{});
    // DebugInit has no link to bring up; the rest have no initialised target.
    ExpectAll(UninitialisedCalls(DBG_ERROR), "before DebugOpen");
}

TEST_F(BadInputTest, EveryExportAfterDebugClose) {
    Connected();
    ASSERT_EQ(DebugClose(), DBG_OK);
    ExpectAll(UninitialisedCalls(DBG_ERROR), "after DebugClose");
    EXPECT_EQ(DebugOpen(kClockHz, kAdapter, 1), DBG_OK) << "the probe opens again after a close";
    EXPECT_EQ(DebugInit(0), DBG_OK);
}

TEST_F(BadInputTest, EveryExportAfterDebugHardwareReset) {
    Connected();
    ASSERT_EQ(DebugHardwareReset(), DBG_OK);
    // DebugInit would initialise again and DebugClose would close: both last.
    std::vector<Call> calls = UninitialisedCalls(DBG_OK);
    std::erase_if(calls, [](const Call& c) { return std::strcmp(c.name, "DebugInit") == 0 || std::strcmp(c.name, "DebugClose") == 0; });
    ExpectAll(calls, "after DebugHardwareReset");
    EXPECT_EQ(DebugInit(0), DBG_OK);
    uint32_t value = 0;
    EXPECT_EQ(DebugReadMem(kAddress, &value, kSizeWord), DBG_OK) << "a new DebugInit brings the target back";
}

TEST_F(BadInputTest, InitBeforeAnyOpenThatFailed) {
    cm3sim::ResetGlobalProbe(cm3sim::SimConfig{});
    const uint32_t badClocks[] = {0, 90, 6000001, 0xFFFFFFFF};
    for (const uint32_t clock : badClocks) {
        EXPECT_EQ(DebugOpen(clock, kAdapter, 1), DBG_BAD_PARAMETER) << clock << " Hz";
        EXPECT_EQ(DebugInit(0), DBG_ERROR) << "after a refused open at " << clock << " Hz";
    }
    setenv(cm3probe::adapter::kDriverEnvironmentVariable, "no-such-driver", 1);
    EXPECT_EQ(DebugOpen(kClockHz, kAdapter, 1), DBG_ERROR);
    EXPECT_EQ(DebugInit(0), DBG_ERROR) << "after an open with an unknown driver";
}

TEST_F(BadInputTest, RepeatedCallsInTheRightOrderAreHarmless) {
    Connected();
    EXPECT_EQ(DebugOpen(kClockHz, kAdapter, 1), DBG_OK);
    EXPECT_EQ(DebugInit(0), DBG_OK);
    EXPECT_EQ(DebugInit(0), DBG_OK);
    EXPECT_EQ(DebugClose(), DBG_OK);
    EXPECT_EQ(DebugClose(), DBG_OK);
}

TEST_F(BadInputTest, NullPointersAreRefusedWithoutTraffic) {
    Connected();
    ASSERT_EQ(DebugHaltCore(), DBG_OK);
    uint32_t value = 0;
    const std::vector<Call> calls = {
        {"DebugGetIDCode", [] { return DebugGetIDCode(nullptr); }, DBG_BAD_PARAMETER},
        {"DebugGetDeviceInformation class", [&] { return DebugGetDeviceInformation(nullptr, &value, &value); },
         DBG_BAD_PARAMETER},
        {"DebugGetDeviceInformation part", [&] { return DebugGetDeviceInformation(&value, nullptr, &value); },
         DBG_BAD_PARAMETER},
        {"DebugGetDeviceInformation revision", [&] { return DebugGetDeviceInformation(&value, &value, nullptr); },
         DBG_BAD_PARAMETER},
        {"DebugReadMem", [] { return DebugReadMem(kAddress, nullptr, kSizeWord); }, DBG_BAD_PARAMETER},
        {"DebugReadBlock", [] { return DebugReadBlock(kAddress, nullptr, 4); }, DBG_BAD_PARAMETER},
        {"DebugWriteBlock", [] { return DebugWriteBlock(kAddress, nullptr, 4); }, DBG_BAD_PARAMETER},
        {"DebugGetCoreState", [] { return DebugGetCoreState(nullptr); }, DBG_BAD_PARAMETER},
        {"DebugReadCoreRegister", [] { return DebugReadCoreRegister(0, nullptr); }, DBG_BAD_PARAMETER},
    };
    for (const Call& c : calls) {
        ExpectNoTraffic(c.name, [&] { EXPECT_EQ(c.call(), c.expected) << c.name; });
    }
    // Nothing to move: a null buffer with no bytes is no error.
    EXPECT_EQ(DebugReadBlock(kAddress, nullptr, 0), DBG_OK);
    EXPECT_EQ(DebugWriteBlock(kAddress, nullptr, 0), DBG_OK);
}

TEST_F(BadInputTest, OpenWithoutADescription) {
    cm3sim::ResetGlobalProbe(cm3sim::SimConfig{});
    EXPECT_EQ(DebugOpen(kClockHz, nullptr, 1), DBG_BAD_PARAMETER);
    EXPECT_EQ(DebugOpen(kClockHz, nullptr, 0), DBG_BAD_PARAMETER);
    // An initialised connection answers every DebugOpen at once, arguments unread.
    Connected();
    EXPECT_EQ(DebugOpen(kClockHz, nullptr, 1), DBG_OK);
}

TEST_F(BadInputTest, CountsAbove4096AreRefusedWithoutTouchingTheBuffer) {
    Connected();
    const uint32_t counts[] = {kMaxBlock + 1, 2 * kMaxBlock, 0x80000000, 0xFFFFFFFF};
    std::vector<uint8_t> buffer(kMaxBlock + 1, kUntouched);
    for (const uint32_t count : counts) {
        ExpectNoTraffic("count " + std::to_string(count), [&] {
            EXPECT_EQ(DebugReadBlock(kAddress, buffer.data(), count), DBG_BAD_PARAMETER) << count;
            EXPECT_EQ(DebugWriteBlock(kAddress, buffer.data(), count), DBG_BAD_PARAMETER) << count;
        });
    }
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), kUntouched), static_cast<long>(buffer.size()));
}

TEST_F(BadInputTest, FullBlocksStayInsideTheCallersBuffer) {
    Connected();
    GuardedBuffer guarded(kMaxBlock);
    ASSERT_TRUE(guarded.ok());
    for (uint32_t i = 0; i < kMaxBlock; ++i) guarded.data()[i] = static_cast<uint8_t>(i * 7);
    const std::vector<uint8_t> written(guarded.data(), guarded.data() + kMaxBlock);
    // Odd addresses give a byte head and tail around the word stream.
    for (const uint32_t offset : {0u, 1u, 3u}) {
        EXPECT_EQ(DebugWriteBlock(kSramBase + offset, guarded.data(), kMaxBlock), DBG_OK) << offset;
        std::memset(guarded.data(), 0, kMaxBlock);
        EXPECT_EQ(DebugReadBlock(kSramBase + offset, guarded.data(), kMaxBlock), DBG_OK) << offset;
        EXPECT_TRUE(std::equal(written.begin(), written.end(), guarded.data())) << offset;
        std::copy(written.begin(), written.end(), guarded.data());
    }
}

TEST_F(BadInputTest, SizeCodesAboveWordAreWordAccesses) {
    Connected();
    for (const uint32_t size : {3u, 4u, 0x80000000u, 0xFFFFFFFFu}) {
        Target().poke32(kAddress, 0);
        EXPECT_EQ(DebugWriteMem(kAddress, kPattern, size), DBG_OK) << size;
        EXPECT_EQ(Target().peek32(kAddress), kPattern) << "size code " << size << " wrote a whole word";
        uint32_t value = 0;
        EXPECT_EQ(DebugReadMem(kAddress, &value, size), DBG_OK) << size;
        EXPECT_EQ(value, kPattern) << size;
        // CSW was left valid: a byte access right after still is one.
        EXPECT_EQ(DebugReadMem(kAddress + 1, &value, kSizeByte), DBG_OK);
        EXPECT_EQ(value, (kPattern >> kBitsPerByte) & kByteMask);
    }
}

TEST_F(BadInputTest, SelectorsOutsideRegselNeverChangeACoreRegister) {
    Connected();
    ASSERT_EQ(DebugHaltCore(), DBG_OK);
    for (uint32_t r = 0; r < kRegisterCount; ++r) ASSERT_EQ(DebugWriteCoreRegister(r, kRegisterValues + r), DBG_OK);
    const auto snapshot = [] {
        std::vector<uint32_t> values;
        for (uint32_t r = 0; r < kRegisterCount; ++r) values.push_back(Target().coreRegister(r).value_or(0));
        return values;
    };
    const std::vector<uint32_t> before = snapshot();
    // Above REGSEL but below REGWnR, REGWnR itself, and the bits above it.
    // With REGWnR set a read stays a read.
    for (const uint32_t selector :
         {0x7Fu, 0x80u, 0xFFu, 0x1234u, 0xFFFE0000u, 0x7FFE0080u, 0x00010000u, 0x0001000Fu, 0xFFFFFFFFu}) {
        uint32_t value = 0;
        const DebugResult result = DebugReadCoreRegister(selector, &value);
        EXPECT_TRUE(result == DBG_OK || result == DBG_TIMEOUT) << std::hex << selector << " answered " << result;
        EXPECT_EQ(snapshot(), before) << "reading selector " << std::hex << selector << " changed a register";
    }
}

TEST_F(BadInputTest, BlocksThatWrapAtTheTopOfTheAddressSpace) {
    cm3sim::SimConfig config;
    config.sram = {kTopSramBase, kTopSramSize};
    Connected(config);
    const uint32_t top = kWrapStart;
    const uint8_t pattern[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    Target().pokeBytes(top, pattern);
    GuardedBuffer guarded(16);
    ASSERT_TRUE(guarded.ok());
    // Eight bytes from the top of SRAM, then eight from flash at 0.
    EXPECT_EQ(DebugReadBlock(top, guarded.data(), 16), DBG_OK);
    for (uint32_t i = 0; i < 8; ++i) EXPECT_EQ(guarded.data()[i], pattern[i]) << i;
    for (uint32_t i = 8; i < 16; ++i) EXPECT_EQ(guarded.data()[i], kErasedFlashByte) << i;
    // The bytes that wrap land in flash, which the bus refuses: a sticky error.
    std::memset(guarded.data(), kWrittenByte, 16);
    EXPECT_EQ(DebugWriteBlock(top, guarded.data(), 16), DBG_STICKY_ERROR);
    for (uint32_t i = 0; i < 8; ++i) EXPECT_EQ(Target().peek8(top + i), kWrittenByte) << i;
    for (uint32_t i = 0; i < 8; ++i) EXPECT_EQ(Target().peek8(i), kErasedFlashByte) << i;
    uint32_t value = 0;
    EXPECT_EQ(DebugReadMem(kTopByte, &value, kSizeByte), DBG_OK);
    EXPECT_EQ(value, kWrittenByte);
}

TEST_F(BadInputTest, DescriptionsAreReadNoFurtherThanTheirEnd) {
    cm3sim::ResetGlobalProbe(cm3sim::SimConfig{});
    const size_t kDescriptionBytes = cm3probe::adapter::kDescriptionSize;
    // 64 characters and no terminator, ending at an inaccessible page.
    GuardedBuffer unterminated(kDescriptionBytes);
    ASSERT_TRUE(unterminated.ok());
    std::memset(unterminated.data(), 'A', kDescriptionBytes);
    EXPECT_EQ(DebugOpen(kClockHz, reinterpret_cast<const char*>(unterminated.data()), 1), DBG_BAD_PARAMETER);
    // The longest that fits: 63 characters and the terminator. No such adapter.
    unterminated.data()[kDescriptionBytes - 1] = '\0';
    EXPECT_EQ(DebugOpen(kClockHz, reinterpret_cast<const char*>(unterminated.data()), 1), DBG_ERROR);
    // A real description ending right at the page end opens the adapter.
    const std::string name = kAdapter;
    GuardedBuffer exact(name.size() + 1);
    ASSERT_TRUE(exact.ok());
    std::memcpy(exact.data(), name.c_str(), name.size() + 1);
    EXPECT_EQ(DebugOpen(kClockHz, reinterpret_cast<const char*>(exact.data()), 1), DBG_OK);
    EXPECT_EQ(DebugClose(), DBG_OK);
}

}  // namespace
}  // namespace cm3rel
