#include "vusb_support.h"

#include <dlfcn.h>

namespace vusbtest {

const Hooks* FindHooks() {
    static const Hooks hooks = [] {
        Hooks found;
        found.reset = reinterpret_cast<cm3probe_vusb_reset_fn>(dlsym(RTLD_DEFAULT, "cm3probe_vusb_reset"));
        found.report = reinterpret_cast<cm3probe_vusb_report_fn>(dlsym(RTLD_DEFAULT, "cm3probe_vusb_report"));
        found.peek = reinterpret_cast<cm3probe_vusb_peek_fn>(dlsym(RTLD_DEFAULT, "cm3probe_vusb_peek"));
        found.poke = reinterpret_cast<cm3probe_vusb_poke_fn>(dlsym(RTLD_DEFAULT, "cm3probe_vusb_poke"));
        return found;
    }();
    const bool complete = hooks.reset != nullptr && hooks.report != nullptr && hooks.peek != nullptr &&
                          hooks.poke != nullptr;
    return complete ? &hooks : nullptr;
}

void BenchTest::Boot(const std::string& json) {
    hooks_ = FindHooks();
    ASSERT_NE(hooks_, nullptr) << "run with LD_PRELOAD naming libcm3probe_vusb.so";
    ASSERT_EQ(hooks_->reset(json.c_str()), 0) << json;
}

nlohmann::json BenchTest::Report() const {
    const size_t length = hooks_->report(nullptr, 0);
    std::string text(length + 1, '\0');
    hooks_->report(text.data(), text.size());
    text.resize(length);
    return nlohmann::json::parse(text);
}

std::vector<uint8_t> BenchTest::Peek(uint32_t address, uint32_t count) const {
    std::vector<uint8_t> bytes(count);
    EXPECT_EQ(hooks_->peek(address, bytes.data(), count), 0) << std::hex << address;
    return bytes;
}

void BenchTest::Poke(uint32_t address, const std::vector<uint8_t>& bytes) const {
    EXPECT_EQ(hooks_->poke(address, bytes.data(), static_cast<uint32_t>(bytes.size())), 0) << std::hex << address;
}

}  // namespace vusbtest
