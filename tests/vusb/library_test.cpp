// Our libftdi1 backend end to end on the virtual FT2232: libcm3probe.so with
// CM3PROBE_DRIVER=ftdi, through real libftdi1 and the preloaded virtual USB
// device, over the four transport paths. The simulator checked here is the
// preloaded library's copy, reached through its inspection hooks.
#include <random>

#include "cm3probe.h"
#include "vusb_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Path {
    bool swd;
    bool batched;
};
inline constexpr Path kPaths[] = {{true, false}, {true, true}, {false, false}, {false, true}};
std::string PathName(const ::testing::TestParamInfo<Path>& info) {
    return std::string(info.param.swd ? "Swd" : "Jtag") + (info.param.batched ? "Batched" : "Direct");
}

inline constexpr uint32_t kClockHz = 1000000;
inline constexpr const char* kAdapter = "USB Debug Bridge A";
inline constexpr uint32_t kSwdIdcode = 0x2BA01477;
inline constexpr uint32_t kJtagIdcode = 0x4BA00477;
inline constexpr uint32_t kBlockBytes = 4096;
inline constexpr uint32_t kDhcsrSHalt = 1u << 17;
inline constexpr uint32_t kRegR0 = 0;
inline constexpr uint32_t kRegSp = 13;
inline constexpr uint32_t kRegPc = 15;
inline constexpr uint32_t kByteBits = 8;
inline constexpr uint32_t kR0Value = 0x12345678;

namespace size_code {
inline constexpr uint32_t kByte = 0;
inline constexpr uint32_t kHalfword = 1;
inline constexpr uint32_t kWord = 2;
}  // namespace size_code

Bytes Random(size_t count, uint32_t seed) {
    std::mt19937 random(seed);
    Bytes bytes(count);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
    return bytes;
}

class LibraryTest : public vusbtest::BenchTest, public ::testing::WithParamInterface<Path> {
protected:
    void SetUp() override {
        vusbtest::BenchTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(DebugOpen(kClockHz, kAdapter, GetParam().swd ? 1 : 0), DBG_OK);
        ASSERT_EQ(DebugInit(GetParam().batched ? 1 : 0), DBG_OK);
    }
    void TearDown() override {
        if (hooks_ == nullptr) return;
        EXPECT_EQ(DebugClose(), DBG_OK);
        // Our traffic never drives SWDIO against the target.
        EXPECT_EQ(Report()["contention"].get<uint64_t>(), 0u);
    }
};

TEST_P(LibraryTest, ReadsTheIdcode) {
    uint32_t idcode = 0;
    ASSERT_EQ(DebugGetIDCode(&idcode), DBG_OK);
    EXPECT_EQ(idcode, GetParam().swd ? kSwdIdcode : kJtagIdcode);
}

struct Single {
    uint32_t offset;
    uint32_t size;
    uint32_t value;
};

TEST_P(LibraryTest, SingleAccessesReachTheTarget) {
    const Single cases[] = {
        {0x100, size_code::kWord, 0xDEADBEEF},
        {0x106, size_code::kHalfword, 0xBEEF},
        {0x10B, size_code::kByte, 0x5A},
    };
    for (const Single& c : cases) {
        const uint32_t address = vusbtest::kSram + c.offset;
        const uint32_t bytes = 1u << c.size;
        ASSERT_EQ(DebugWriteMem(address, c.value, c.size), DBG_OK) << std::hex << address;
        Bytes expected(bytes);
        for (uint32_t i = 0; i < bytes; ++i) expected[i] = static_cast<uint8_t>(c.value >> (kByteBits * i));
        EXPECT_EQ(Peek(address, bytes), expected) << std::hex << address;

        Bytes fresh = Random(bytes, c.offset);
        Poke(address, fresh);
        uint32_t value = 0;
        const nlohmann::json before = Report()["channels"][0]["usb"];
        ASSERT_EQ(DebugReadMem(address, &value, c.size), DBG_OK) << std::hex << address;
        // The backend pushes replies up with a send-immediate instead of leaving
        // them to the latency timer. (Status-only packets of an idle chip still
        // come when the timer runs out, depending on when the host asks.)
        const nlohmann::json after = Report()["channels"][0]["usb"];
        EXPECT_GT(after["immediate_packets"].get<uint64_t>(), before["immediate_packets"].get<uint64_t>());
        uint32_t want = 0;
        for (uint32_t i = 0; i < bytes; ++i) want |= uint32_t{fresh[i]} << (kByteBits * i);
        EXPECT_EQ(value, want) << std::hex << address;
    }
}

TEST_P(LibraryTest, FourKilobyteBlocksBothWays) {
    const struct {
        uint32_t offset;
        uint32_t count;
    } blocks[] = {{0x1000, kBlockBytes}, {0x3001, kBlockBytes - 1}, {0x5002, kBlockBytes}};
    uint32_t seed = 1;
    for (const auto& block : blocks) {
        const uint32_t address = vusbtest::kSram + block.offset;
        const Bytes written = Random(block.count, seed++);
        ASSERT_EQ(DebugWriteBlock(address, written.data(), block.count), DBG_OK) << std::hex << address;
        EXPECT_EQ(Peek(address, block.count), written) << std::hex << address;

        const Bytes planted = Random(block.count, seed++);
        Poke(address, planted);
        Bytes read(block.count);
        ASSERT_EQ(DebugReadBlock(address, read.data(), block.count), DBG_OK) << std::hex << address;
        EXPECT_EQ(read, planted) << std::hex << address;
    }
}

TEST_P(LibraryTest, RegistersAfterAHalt) {
    ASSERT_EQ(DebugHaltCore(), DBG_OK);
    uint32_t dhcsr = 0;
    ASSERT_EQ(DebugGetCoreState(&dhcsr), DBG_OK);
    EXPECT_NE(dhcsr & kDhcsrSHalt, 0u);
    ASSERT_EQ(DebugWriteCoreRegister(kRegR0, kR0Value), DBG_OK);

    const nlohmann::json target = Report()["target"];
    EXPECT_TRUE(target["halted"].get<bool>());
    EXPECT_EQ(target["registers"][kRegR0].get<uint32_t>(), kR0Value);
    for (uint32_t regsel : {kRegR0, kRegSp, kRegPc}) {
        uint32_t value = 0;
        ASSERT_EQ(DebugReadCoreRegister(regsel, &value), DBG_OK) << regsel;
        EXPECT_EQ(value, target["registers"][regsel].get<uint32_t>()) << regsel;
    }
}

INSTANTIATE_TEST_SUITE_P(Library, LibraryTest, ::testing::ValuesIn(kPaths), PathName);

class LibraryListingTest : public vusbtest::BenchTest {};

TEST_F(LibraryListingTest, OpensByTheListedDescription) {
    // Another of the boards the library supports.
    Boot(R"({"descriptions":["Amber Probe A","Amber Probe B"]})");
    EXPECT_NE(DebugOpen(kClockHz, kAdapter, 1), DBG_OK) << "no adapter lists that description now";
    ASSERT_EQ(DebugOpen(kClockHz, "Amber Probe A", 1), DBG_OK);
    uint32_t idcode = 0;
    EXPECT_EQ(DebugInit(0), DBG_OK);
    EXPECT_EQ(DebugGetIDCode(&idcode), DBG_OK);
    EXPECT_EQ(idcode, kSwdIdcode);
    EXPECT_EQ(DebugClose(), DBG_OK);
}

}  // namespace
