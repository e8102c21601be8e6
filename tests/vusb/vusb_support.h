// What the tests of the preloaded virtual device share: its inspection hooks
// and a fixture that gives each test a freshly powered bench.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "vusb/vusb_inspect.h"

namespace vusbtest {

struct Hooks {
    cm3probe_vusb_reset_fn reset = nullptr;
    cm3probe_vusb_report_fn report = nullptr;
    cm3probe_vusb_peek_fn peek = nullptr;
    cm3probe_vusb_poke_fn poke = nullptr;
};

// The hooks of the preloaded libcm3probe_vusb.so; null when it is not loaded.
const Hooks* FindHooks();

inline constexpr uint16_t kVendor = 0x0403;
inline constexpr uint16_t kProduct = 0x6010;
inline constexpr uint32_t kSram = 0x20000000;

// A chip the bench can present, with what it should look like on USB.
struct Chip {
    const char* name;    // the "chip" configuration value
    uint16_t release;    // bcdDevice
    uint16_t packet;     // bulk endpoint size
    size_t toHost;       // the MPSSE's buffer towards the host
    size_t fromHost;     // the buffer from the host
};
inline constexpr Chip kChipD{"FT2232D", 0x0500, 64, 384, 128};
inline constexpr Chip kChipH{"FT2232H", 0x0700, 512, 4096, 4096};
inline constexpr Chip kChips[] = {kChipD, kChipH};
inline std::string ChipName(const ::testing::TestParamInfo<Chip>& info) {
    return std::string(info.param.name).substr(std::string("FT2232").size());
}

class BenchTest : public ::testing::Test {
protected:
    // A new bench configured by `json` (empty for the defaults).
    void Boot(const std::string& json);
    void SetUp() override { Boot(""); }

    nlohmann::json Report() const;
    std::vector<uint8_t> Peek(uint32_t address, uint32_t count) const;
    void Poke(uint32_t address, const std::vector<uint8_t>& bytes) const;

    const Hooks* hooks_ = nullptr;
};

}  // namespace vusbtest
