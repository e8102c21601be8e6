// The memory map as the AHB-AP sees it, the inspection API and image loading.
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "target_test_support.h"

namespace cm3sim::testing {
namespace {

constexpr uint32_t kBitBandAlias = 0x22000000;
constexpr uint32_t kDid0 = 0x400FE000;
constexpr uint32_t kDid1 = 0x400FE004;

class MemoryTest : public TargetFixture {
protected:
    void SetUp() override { build(false); }
};

TEST_F(MemoryTest, FlashStartsErasedAndSramZeroed) {
    EXPECT_EQ(ap->peek(0), 0xFFFFFFFFu);
    EXPECT_EQ(ap->peek(config.flash.size - 4), 0xFFFFFFFFu);
    EXPECT_EQ(ap->peek(kSramBase), 0u);
    EXPECT_EQ(ap->peek(kSramBase + config.sram.size - 4), 0u);
}

TEST_F(MemoryTest, AddressesOutsideTheMapAnswerWithAnError) {
    const uint32_t unmapped[] = {
        0x00040000,  // past flash
        0x20010000,  // past SRAM
        0x30000000, 0x40000000, 0x400FD018, 0x400FE00C, 0x60000000, 0xA0000000,
        0xE0003000, 0xE0041000,  // ETM: listed as absent
        0xE00FE000, 0xFFFFFFFC,
    };
    for (uint32_t address : unmapped) {
        EXPECT_TRUE(ap->readWord(address).error) << std::hex << address;
        EXPECT_TRUE(ap->writeWord(address, 0).error) << std::hex << address;
    }
}

TEST_F(MemoryTest, MapFollowsTheConfiguredSizes) {
    config.flash.size = 64 * 1024;
    config.sram = {0x20000000, 16 * 1024};
    build(false);
    EXPECT_TRUE(ap->readWord(64 * 1024).error);
    EXPECT_FALSE(ap->readWord(64 * 1024 - 4).error);
    EXPECT_TRUE(ap->readWord(kSramBase + 16 * 1024).error);
}

TEST_F(MemoryTest, BitBandAliasReachesSingleSramBits) {
    constexpr uint32_t kByte = kSramBase + 0x103;
    const uint32_t bit5 = kBitBandAlias + (kByte - kSramBase) * 32 + 5 * 4;
    ap->poke(bit5, 1);
    EXPECT_EQ(target->peek8(kByte), 0x20u);
    EXPECT_EQ(ap->peek(bit5), 1u);
    EXPECT_EQ(ap->peek(bit5 - 4), 0u);
    ap->poke(bit5 + 4, 0xFFFFFFFE);  // only bit 0 of the data counts
    EXPECT_EQ(target->peek8(kByte), 0x20u);
    ap->poke(bit5, 0);
    EXPECT_EQ(target->peek8(kByte), 0u);

    const uint32_t pastSram = kBitBandAlias + config.sram.size * 32;
    EXPECT_TRUE(ap->readWord(pastSram).error) << "bit-band of SRAM that does not exist";
}

TEST_F(MemoryTest, DeviceIdentificationWords) {
    EXPECT_EQ(ap->peek(kDid0), config.deviceId0);
    EXPECT_EQ(ap->peek(kDid1), config.deviceId1);
    config.deviceId1 = 0x12345678;
    EXPECT_EQ(ap->peek(kDid1), 0x12345678u);
    ap->poke(kDid1, 0);
    EXPECT_EQ(ap->peek(kDid1), 0x12345678u);
}

TEST_F(MemoryTest, ErrorRegionsApplyLiveAndPeekGoesAround) {
    target->poke32(kSramBase + 0x40, 0x11223344);
    config.ahbErrorRegions.push_back({kSramBase + 0x40, 8});
    EXPECT_TRUE(ap->readWord(kSramBase + 0x40).error);
    EXPECT_TRUE(ap->writeWord(kSramBase + 0x44, 0).error);
    ap->setCsw(csw::kSize8);
    ap->setTar(kSramBase + 0x3F);
    EXPECT_FALSE(ap->read(ap_reg::kDrw).error) << "the byte before the region";
    EXPECT_EQ(target->peek32(kSramBase + 0x40), 0x11223344u);
    config.ahbErrorRegions.clear();
    EXPECT_EQ(ap->peek(kSramBase + 0x40), 0x11223344u);
}

TEST_F(MemoryTest, ReadSensitiveRegisterCountsReads) {
    config.readSensitiveRegister = kSramBase + 0x80;
    for (uint32_t expected = 0; expected < 3; ++expected) EXPECT_EQ(ap->peek(kSramBase + 0x80), expected);
    ap->poke(kSramBase + 0x80, 99);
    EXPECT_EQ(ap->peek(kSramBase + 0x80), 3u) << "writes leave the count alone";
    EXPECT_EQ(target->readSensitiveCount(), 4u);
}

TEST_F(MemoryTest, PeekAndPokeCoverFlashAndSramOnly) {
    target->poke32(0x100, 0xDEADBEEF);
    target->poke8(kSramBase + 1, 0xAB);
    EXPECT_EQ(target->peek32(0x100), 0xDEADBEEFu);
    EXPECT_EQ(target->peek8(0x100), 0xEFu);
    EXPECT_EQ(target->peekBytes(kSramBase, 2), (std::vector<uint8_t>{0x00, 0xAB}));
    EXPECT_THROW(target->peek32(0x30000000), std::out_of_range);
    EXPECT_THROW(target->poke32(config.flash.size - 2, 0), std::out_of_range);
    EXPECT_THROW(target->peek8(0x400FE000), std::out_of_range);
}

class ImageTest : public ::testing::Test {
protected:
    void SetUp() override {
        directory_ = std::filesystem::temp_directory_path() /
                     ("cm3sim-image-" + std::to_string(::getpid()) + "-" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(directory_);
    }
    void TearDown() override { std::filesystem::remove_all(directory_); }

    std::string writeRaw(const std::vector<uint8_t>& bytes) {
        const std::string path = (directory_ / ("image" + std::to_string(files_++) + ".bin")).string();
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return path;
    }

    struct Segment {
        uint32_t paddr;
        std::vector<uint8_t> bytes;
        uint32_t memsz;
        std::optional<uint32_t> vaddr = std::nullopt;  // where it runs, when not where it loads
    };

    // An ARM executable written through libelf, one section per segment.
    std::string writeElf(std::vector<Segment> segments) {
        const std::string path = (directory_ / ("image" + std::to_string(files_++) + ".elf")).string();
        EXPECT_NE(elf_version(EV_CURRENT), EV_NONE);
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        EXPECT_GE(fd, 0);
        Elf* elf = elf_begin(fd, ELF_C_WRITE, nullptr);
        Elf32_Ehdr* header = elf32_newehdr(elf);
        header->e_ident[EI_DATA] = ELFDATA2LSB;
        header->e_machine = EM_ARM;
        header->e_type = ET_EXEC;
        header->e_version = EV_CURRENT;
        Elf32_Phdr* phdrs = elf32_newphdr(elf, segments.size());
        std::vector<Elf_Scn*> sections;
        for (Segment& segment : segments) {
            Elf_Scn* section = elf_newscn(elf);
            Elf_Data* data = elf_newdata(section);
            data->d_buf = segment.bytes.data();
            data->d_size = segment.bytes.size();
            data->d_type = ELF_T_BYTE;
            data->d_align = 4;
            Elf32_Shdr* shdr = elf32_getshdr(section);
            shdr->sh_type = SHT_PROGBITS;
            shdr->sh_flags = SHF_ALLOC;
            sections.push_back(section);
        }
        EXPECT_GE(elf_update(elf, ELF_C_NULL), 0) << elf_errmsg(-1);
        for (size_t i = 0; i < segments.size(); ++i) {
            phdrs[i].p_type = PT_LOAD;
            phdrs[i].p_offset = elf32_getshdr(sections[i])->sh_offset;
            phdrs[i].p_paddr = segments[i].paddr;
            phdrs[i].p_vaddr = segments[i].vaddr.value_or(segments[i].paddr);
            phdrs[i].p_filesz = uint32_t(segments[i].bytes.size());
            phdrs[i].p_memsz = segments[i].memsz;
            phdrs[i].p_flags = PF_R;
            phdrs[i].p_align = 4;
        }
        elf_flagphdr(elf, ELF_C_SET, ELF_F_DIRTY);
        EXPECT_GE(elf_update(elf, ELF_C_WRITE), 0) << elf_errmsg(-1);
        elf_end(elf);
        ::close(fd);
        return path;
    }

    SimConfig config;
    std::filesystem::path directory_;
    int files_ = 0;
};

TEST_F(ImageTest, RawBinaryLandsAtItsAddress) {
    config.images.push_back({writeRaw({0x00, 0x00, 0x01, 0x20, 0x01, 0x01, 0x00, 0x00}), 0x0});
    config.images.push_back({writeRaw({1, 2, 3}), kSramBase + 0x10});
    CortexM3Target target(config);
    EXPECT_EQ(target.peek32(0), 0x20010000u);
    EXPECT_EQ(target.peekBytes(kSramBase + 0x10, 3), (std::vector<uint8_t>{1, 2, 3}));
    target.advance(config.resetDurationNs);
    EXPECT_FALSE(target.lockedUp()) << "the loaded vector table was used at power-on";
    EXPECT_EQ(target.coreRegister(regsel::kDebugReturnAddress), 0x100u);
}

TEST_F(ImageTest, ElfSegmentsLandAtTheirPhysicalAddresses) {
    const std::string path = writeElf({{0x0, {0x00, 0x80, 0x00, 0x20, 0x41, 0x00, 0x00, 0x00}, 8},
                                       {kSramBase + 0x100, {0xAA, 0xBB}, 6}});
    config.sram = {kSramBase, 0x1000};
    config.images.push_back({path, std::nullopt});
    CortexM3Target target(config);
    EXPECT_EQ(target.peek32(0), 0x20008000u);
    EXPECT_EQ(target.peek32(4), 0x41u);
    EXPECT_EQ(target.peekBytes(kSramBase + 0x100, 6), (std::vector<uint8_t>{0xAA, 0xBB, 0, 0, 0, 0}));
}

// Initialised data stored in flash and copied to SRAM at startup, with its
// .bss in the same segment: the zeros belong in SRAM, not over the flash
// that follows the stored data.
TEST_F(ImageTest, ZerosPastTheFileBytesGoWhereTheSegmentRuns) {
    const std::string path = writeElf({{0x10, {1, 2, 3, 4}, 4},
                                       {0x8, {5, 6, 7, 8, 9, 10, 11, 12}, 24, kSramBase + 0x200}});
    config.sram = {kSramBase, 0x1000};
    CortexM3Target target(config);
    target.pokeBytes(kSramBase + 0x1F8, std::vector<uint8_t>(48, 0xEE));
    target.loadImage({path, std::nullopt});
    EXPECT_EQ(target.peekBytes(0x8, 16), (std::vector<uint8_t>{5, 6, 7, 8, 9, 10, 11, 12, 1, 2, 3, 4, 0xFF, 0xFF,
                                                               0xFF, 0xFF}));
    EXPECT_EQ(target.peekBytes(kSramBase + 0x1FC, 32),
              (std::vector<uint8_t>{0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE,
                                    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                    0xEE, 0xEE, 0xEE, 0xEE}))
        << "the file bytes are not copied to SRAM; the zeros follow them there";
}

TEST_F(ImageTest, ImagesThatDoNotFitAreRejected) {
    const std::string elf = writeElf({{0x30000000, {1, 2, 3, 4}, 4}});
    const std::string raw = writeRaw({1, 2, 3, 4});
    const struct {
        MemoryImage image;
        const char* message;
    } cases[] = {
        {{elf, std::nullopt}, "no flash or SRAM covers"},
        {{elf, 0x0}, "an ELF image takes no address"},
        {{raw, std::nullopt}, "a raw binary needs an address"},
        {{raw, config.flash.size - 2}, "no flash or SRAM covers"},
        {{(directory_ / "missing.bin").string(), 0x0}, "cannot open"},
    };
    for (const auto& c : cases) {
        SimConfig bad = config;
        bad.images = {c.image};
        try {
            CortexM3Target target(bad);
            ADD_FAILURE() << "accepted " << c.image.path;
        } catch (const std::runtime_error& error) {
            EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
        }
    }
}

TEST_F(ImageTest, NonArmElfIsRejected) {
    const std::string path = writeElf({{0x0, {1, 2, 3, 4}, 4}});
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(18);  // e_machine
    file.put(char(EM_386));
    file.close();
    config.images.push_back({path, std::nullopt});
    EXPECT_THROW(CortexM3Target target(config), std::runtime_error);
}

}  // namespace
}  // namespace cm3sim::testing
