// A debugger's discovery walk: BASE, the ROM table entries, and the
// identification registers of every component found.
#include <gtest/gtest.h>

#include <vector>

#include "target_test_support.h"

namespace cm3sim::testing {
namespace {

constexpr uint32_t kBaseFormatPresent = 0x3;
constexpr uint32_t kComponentMask = 0xFFFFF000;
constexpr uint32_t kEntryPresent = 0x1;
constexpr uint32_t kMaxEntries = 0x3C0;  // entries end before the ID block

struct Entry {
    uint32_t raw;
    uint32_t address;
};

struct Identity {
    uint64_t pid;  // PIDR4..PIDR0 as one 40-bit number, as debuggers print it
    uint32_t cid;
};

class RomTableTest : public TargetFixture {
protected:
    void SetUp() override { build(); }

    Identity identify(uint32_t component) {
        Identity id{0, 0};
        for (uint32_t i = 0; i < 4; ++i) {
            id.cid |= (ap->peek(component + 0xFF0 + 4 * i) & 0xFF) << (8 * i);
            id.pid |= uint64_t(ap->peek(component + 0xFE0 + 4 * i) & 0xFF) << (8 * i);
        }
        id.pid |= uint64_t(ap->peek(component + 0xFD0) & 0xFF) << 32;
        return id;
    }

    std::vector<Entry> walk(uint32_t table) {
        std::vector<Entry> entries;
        for (uint32_t offset = 0; offset < kMaxEntries; offset += 4) {
            const uint32_t raw = ap->peek(table + offset);
            if (raw == 0) break;
            entries.push_back({raw, table + (raw & kComponentMask)});
        }
        return entries;
    }
};

TEST_F(RomTableTest, BasePointsAtAPresentRomTable) {
    const uint32_t base = ap->read(ap_reg::kBase).value;
    EXPECT_EQ(base & kBaseFormatPresent, kBaseFormatPresent);
    const uint32_t table = base & kComponentMask;
    EXPECT_EQ(table, 0xE00FF000u);
    const Identity id = identify(table);
    EXPECT_EQ(id.cid, 0xB105100Du) << "class 1: ROM table";
    EXPECT_EQ(id.pid, 0x04000BB4C3u);
    EXPECT_EQ(ap->peek(table + 0xFCC), 1u) << "MEMTYPE: system memory present";
}

TEST_F(RomTableTest, EntriesNameTheCortexM3Components) {
    const uint32_t table = ap->read(ap_reg::kBase).value & kComponentMask;
    const std::vector<Entry> entries = walk(table);
    const std::vector<uint32_t> expectedRaw{0xFFF0F003, 0xFFF02003, 0xFFF03003, 0xFFF01003, 0xFFF41003, 0xFFF42002};
    const std::vector<uint32_t> expectedAddress{0xE000E000, 0xE0001000, 0xE0002000,
                                                0xE0000000, 0xE0040000, 0xE0041000};
    ASSERT_EQ(entries.size(), expectedRaw.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i].raw, expectedRaw[i]) << "entry " << i;
        EXPECT_EQ(entries[i].address, expectedAddress[i]) << "entry " << i;
    }
}

TEST_F(RomTableTest, EveryPresentComponentIdentifiesItself) {
    const struct {
        uint32_t address;
        uint64_t pid;
        uint32_t cid;
    } expected[] = {
        {0xE000E000, 0x04000BB000, 0xB105E00D},  // SCS
        {0xE0001000, 0x04003BB002, 0xB105E00D},  // DWT
        {0xE0002000, 0x04002BB003, 0xB105E00D},  // FPB
        {0xE0000000, 0x04003BB001, 0xB105E00D},  // ITM
        {0xE0040000, 0x04001BB923, 0xB105900D},  // TPIU
    };
    const uint32_t table = ap->read(ap_reg::kBase).value & kComponentMask;
    size_t checked = 0;
    for (const Entry& entry : walk(table)) {
        if (!(entry.raw & kEntryPresent)) {
            EXPECT_TRUE(ap->readWord(entry.address + 0xFF0).error) << "absent component answered";
            continue;
        }
        for (const auto& e : expected) {
            if (e.address != entry.address) continue;
            const Identity id = identify(entry.address);
            EXPECT_EQ(id.pid, e.pid) << std::hex << entry.address;
            EXPECT_EQ(id.cid, e.cid) << std::hex << entry.address;
            ++checked;
        }
    }
    EXPECT_EQ(checked, std::size(expected));
}

TEST_F(RomTableTest, IdentificationRegistersIgnoreWrites) {
    ap->poke(0xE00FFFF0, 0);
    ap->poke(0xE00FF000, 0);
    EXPECT_EQ(ap->peek(0xE00FFFF0), 0x0Du);
    EXPECT_EQ(ap->peek(0xE00FF000), 0xFFF0F003u);
}

}  // namespace
}  // namespace cm3sim::testing
