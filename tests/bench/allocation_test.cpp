// No heap allocation per transaction: the global operator new is replaced by
// one that counts, and after a warm-up the library's block transfers and
// single accesses on every path must allocate nothing. The simulator stands
// behind the library as its USB driver; what it allocates is counted apart.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "adapter/ftdi_receive_queue.h"
#include "support/sim_session.h"

namespace {

struct AllocationCounts {
    bool counting = false;
    int simulatorDepth = 0;  // inside a call to the simulator
    uint64_t library = 0;
    uint64_t simulator = 0;
};

AllocationCounts gCounts;

void Note() {
    if (!gCounts.counting) return;
    if (gCounts.simulatorDepth > 0) {
        ++gCounts.simulator;
    } else {
        ++gCounts.library;
    }
}

void* Allocate(std::size_t size) {
    Note();
    return std::malloc(size == 0 ? 1 : size);
}

void* AllocateAligned(std::size_t size, std::align_val_t alignment) {
    Note();
    const std::size_t align = static_cast<std::size_t>(alignment);
    const std::size_t rounded = (size + align - 1) / align * align;
    return std::aligned_alloc(align, rounded == 0 ? align : rounded);
}

// Out of line, so the compiler does not pair an inlined free with the new
// that made the pointer and warn about a mismatch that is not one.
__attribute__((noinline)) void Release(void* p) { std::free(p); }

void* OrThrow(void* p) {
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

}  // namespace

void* operator new(std::size_t size) { return OrThrow(Allocate(size)); }
void* operator new[](std::size_t size) { return OrThrow(Allocate(size)); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new(std::size_t size, std::align_val_t a) { return OrThrow(AllocateAligned(size, a)); }
void* operator new[](std::size_t size, std::align_val_t a) { return OrThrow(AllocateAligned(size, a)); }
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return AllocateAligned(size, a);
}
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return AllocateAligned(size, a);
}
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t) noexcept { Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete(void* p, std::align_val_t) noexcept { Release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { Release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { Release(p); }

namespace cm3bench {
namespace {

class Counting {
public:
    Counting() {
        gCounts.library = 0;
        gCounts.simulator = 0;
        gCounts.counting = true;
    }
    ~Counting() { gCounts.counting = false; }
    Counting(const Counting&) = delete;
    Counting& operator=(const Counting&) = delete;
};

void AroundSimulator(bool entering) { gCounts.simulatorDepth += entering ? 1 : -1; }

TEST(CountingAllocator, SeesEveryFormOfNew) {
    uint64_t library = 0;
    {
        Counting counting;
        std::unique_ptr<int> one(new int(1));
        std::unique_ptr<int[]> many(new int[4]);
        std::unique_ptr<int> quiet(new (std::nothrow) int(2));
        std::vector<uint32_t> grown(16);
        struct alignas(64) Wide {
            char bytes[64];
        };
        std::unique_ptr<Wide> wide(new Wide);
        library = gCounts.library;
    }
    EXPECT_EQ(library, 5u);
}

TEST(CountingAllocator, CountsTheSimulatorApart) {
    Counting counting;
    AroundSimulator(true);
    std::unique_ptr<int> inside(new int(1));
    AroundSimulator(false);
    std::unique_ptr<int> outside(new int(2));
    EXPECT_EQ(gCounts.simulator, 1u);
    EXPECT_EQ(gCounts.library, 1u);
}

class PathAllocations : public ::testing::TestWithParam<Path> {
protected:
    void SetUp() override {
        ASSERT_EQ(Connect(GetParam(), cm3sim::ChipType::Ft2232D, kFastClockHz), DBG_OK);
        // Halted, the simulated core does not run the firmware during the transfers.
        ASSERT_EQ(DebugHaltCore(), DBG_OK);
        Switch().aroundSimulator = AroundSimulator;
    }
    void TearDown() override {
        Switch().aroundSimulator = nullptr;
        Disconnect();
    }

    // Block transfers of every shape the paths distinguish, single accesses
    // and the core operations; each step must succeed.
    void Traffic() {
        static uint8_t buffer[kBlockBytes] = {};
        uint32_t value = 0;
        ASSERT_EQ(DebugWriteBlock(kSram, buffer, kBlockBytes), DBG_OK);
        ASSERT_EQ(DebugReadBlock(kSram, buffer, kBlockBytes), DBG_OK);
        // Head and tail bytes around a word pass.
        ASSERT_EQ(DebugWriteBlock(kSram + 3, buffer, 61), DBG_OK);
        ASSERT_EQ(DebugReadBlock(kSram + 3, buffer, 61), DBG_OK);
        // A pass that crosses a 4 KB page.
        ASSERT_EQ(DebugWriteBlock(kSram + kBlockBytes - 512, buffer, 1024), DBG_OK);
        ASSERT_EQ(DebugReadBlock(kSram + kBlockBytes - 512, buffer, 1024), DBG_OK);
        ASSERT_EQ(DebugWriteMem(kSram, 0x12345678, 2), DBG_OK);
        ASSERT_EQ(DebugReadMem(kSram, &value, 2), DBG_OK);
        ASSERT_EQ(DebugReadMem(kSram + 1, &value, 0), DBG_OK);
        ASSERT_EQ(DebugStepCore(), DBG_OK);
        ASSERT_EQ(DebugReadCoreRegister(0, &value), DBG_OK);
        ASSERT_EQ(DebugGetCoreState(&value), DBG_OK);
    }
};

INSTANTIATE_TEST_SUITE_P(AllPaths, PathAllocations, ::testing::ValuesIn(kPaths),
                         [](const auto& info) { return PathId(info.param); });

TEST_P(PathAllocations, NothingPerTransactionAfterWarmUp) {
    Traffic();
    if (HasFatalFailure()) return;
    constexpr int kRounds = 3;
    uint64_t library = 0;
    uint64_t simulator = 0;
    {
        Counting counting;
        for (int i = 0; i < kRounds && !HasFatalFailure(); ++i) Traffic();
        library = gCounts.library;
        simulator = gCounts.simulator;
    }
    std::printf("allocation-count: %s: library %llu, simulator %llu, in %d rounds of 6 blocks, 3 single accesses, "
                "a step and a core register\n",
                GetParam().name, static_cast<unsigned long long>(library), static_cast<unsigned long long>(simulator),
                kRounds);
    EXPECT_EQ(library, 0u);
}

// The libftdi1 backend keeps the chip's replies in a receive queue until a
// read takes them. Measured here, on a block's worth of SWD replies at a time.
TEST(FtdiBackend, ReceiveQueueKeepsRepliesWithoutAllocating) {
    constexpr size_t kResponse = 6;
    constexpr size_t kPerBlock = kBlockBytes / 4;
    constexpr int kBlocks = 4;
    cm3probe::adapter::ftdi::ReceiveQueue queue;
    uint8_t reply[kResponse] = {};
    auto block = [&] {
        for (size_t i = 0; i < kPerBlock; ++i) queue.Push(reply, kResponse);
        for (size_t i = 0; i < kPerBlock; ++i) queue.Pop(reply, kResponse);
    };
    block();
    uint64_t library = 0;
    {
        Counting counting;
        for (int i = 0; i < kBlocks; ++i) block();
        library = gCounts.library;
    }
    std::printf("allocation-count: libftdi1 backend receive queue: %llu in %d blocks of %zu replies\n",
                static_cast<unsigned long long>(library), kBlocks, kPerBlock);
    EXPECT_EQ(library, 0u);
}

}  // namespace
}  // namespace cm3bench
