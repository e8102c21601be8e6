#include "harnesses.h"

#ifdef CM3FUZZ_HAVE_GDBSERVER

#include <algorithm>
#include <span>
#include <string>
#include <string_view>

#include "fuzz_input.h"
#include "gdbserver/packet.h"
#include "gdbserver/session.h"
#include "gdbserver/target.h"

namespace cm3fuzz {
namespace {

namespace gdb = cm3tools::gdb;

// Results drawn from one byte: mostly success, sometimes any result at all.
inline constexpr uint8_t kFailFrom = 224;
inline constexpr DebugResult kResults = DBG_OPENED_AFTER_RETRY + 1;

// A target whose every answer comes from the input.
class InputTarget : public gdb::Target {
public:
    explicit InputTarget(FuzzInput& in) : in_(in) {}

    DebugResult readMemory(uint32_t, uint8_t* buffer, uint32_t count) override {
        const auto bytes = in_.take(count);
        std::copy(bytes.begin(), bytes.end(), buffer);
        std::fill(buffer + bytes.size(), buffer + count, 0);
        return result();
    }
    DebugResult writeMemory(uint32_t, const uint8_t*, uint32_t) override { return result(); }
    DebugResult readWord(uint32_t, uint32_t* value) override {
        *value = in_.u32();
        return result();
    }
    DebugResult writeWord(uint32_t, uint32_t) override { return result(); }
    DebugResult coreState(uint32_t* dhcsr) override {
        *dhcsr = in_.u32();
        return result();
    }
    DebugResult halt() override { return result(); }
    DebugResult resume() override { return result(); }
    DebugResult step(uint32_t) override { return result(); }
    DebugResult systemReset() override { return result(); }
    DebugResult hardwareReset() override { return result(); }
    DebugResult readRegister(uint32_t, uint32_t* value) override {
        *value = in_.u32();
        return result();
    }
    DebugResult writeRegister(uint32_t, uint32_t) override { return result(); }
    DebugResult setBreakpoint(uint32_t) override { return result(); }
    DebugResult clearBreakpoint(uint32_t) override { return result(); }
    cm3tools::flash::Status eraseFlash(uint32_t address, uint32_t) override { return flash(address); }
    cm3tools::flash::Status programFlash(uint32_t address, std::span<const uint8_t>) override {
        return flash(address);
    }
    cm3tools::flash::Status verifyFlash(uint32_t address, std::span<const uint8_t>) override {
        return flash(address);
    }

private:
    DebugResult result() {
        const uint8_t b = in_.byte();
        return b >= kFailFrom ? static_cast<DebugResult>(b % kResults) : DBG_OK;
    }
    cm3tools::flash::Status flash(uint32_t address) { return cm3tools::flash::Status{result(), address, {}}; }

    FuzzInput& in_;
};

// Every reply must come back unchanged through framing and the reader.
void CheckFraming(const std::string& payload) {
    gdb::PacketReader reader(payload.size() * 2 + 1);
    reader.feed(gdb::Frame(payload));
    const auto event = reader.next();
    if (!event || event->kind != gdb::Event::Kind::Packet || event->payload != payload) {
        Violation("a reply did not survive its own framing");
    }
}

}  // namespace

bool GdbPacketsAvailable() { return true; }

int RunGdbPackets(const uint8_t* data, size_t size) {
    // The client's bytes first, the target's answers after them.
    auto [in, answers] = FuzzInput::Split(data, size);
    InputTarget target(answers);
    gdb::Session session(target, nullptr);
    session.attach();
    gdb::PacketReader reader(gdb::kPacketSize);
    bool closed = false;
    while (!in.empty() && !closed) {
        const auto chunk = in.take(1 + static_cast<size_t>(in.byte()));
        reader.feed(std::string_view(reinterpret_cast<const char*>(chunk.data()), chunk.size()));
        while (auto event = reader.next()) {
            if (event->kind == gdb::Event::Kind::Interrupt) {
                if (const auto stop = session.interrupt()) CheckFraming(*stop);
                continue;
            }
            if (event->kind != gdb::Event::Kind::Packet) continue;
            const gdb::Session::Response response = session.handle(event->payload);
            for (const std::string& packet : response.packets) CheckFraming(packet);
            if (response.after == gdb::Session::After::Close) closed = true;
        }
        if (session.running()) {
            if (const auto stop = session.pollStop()) CheckFraming(*stop);
        }
    }
    session.release();
    return 0;
}

}  // namespace cm3fuzz

#else

namespace cm3fuzz {

bool GdbPacketsAvailable() { return false; }

int RunGdbPackets(const uint8_t*, size_t) { return 0; }

}  // namespace cm3fuzz

#endif
