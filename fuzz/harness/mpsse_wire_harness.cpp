#include <algorithm>
#include <memory>
#include <vector>

#include "fuzz_input.h"
#include "harnesses.h"
#include "target/cortex_m3_target.h"
#include "virtual_probe.h"

namespace cm3fuzz {
namespace {

using cm3sim::AdapterChannel;
using cm3sim::MpsseEngine;
using cm3sim::SimConfig;
using cm3sim::VirtualProbe;

// Past this many clock cycles an input stops feeding commands: throughput
// matters more than depth here. Writes go in slices so that the budget is
// checked between commands; one command may still clock half a million.
inline constexpr uint64_t kCycleBudget = 1u << 14;
inline constexpr size_t kWriteSlice = 4;
// A host reads its replies; the bench drops them past this.
inline constexpr size_t kMaxQueuedReplies = 1u << 16;
inline constexpr size_t kReadChunk = 256;
// Small memories: building the bench for every input is most of its cost.
inline constexpr uint32_t kFlashBytes = 4096;
inline constexpr uint32_t kSramBytes = 4096;

enum Action : uint8_t { kWrite, kRead, kPurgeReplies, kPurgeCommands, kBitModeReset, kActions };

namespace setup {
inline constexpr uint8_t kChipH = 0x01;
inline constexpr uint8_t kNoTarget = 0x02;
inline constexpr uint8_t kPowerUpRefused = 0x04;
inline constexpr unsigned kWaitShift = 3;
inline constexpr uint8_t kWaitMask = 0x03;
}  // namespace setup

std::unique_ptr<cm3sim::TargetSystem> RegisterLevelTarget(SimConfig& config) {
    // The register-level core: the CPU adds nothing to the wire and costs time.
    return std::make_unique<cm3sim::CortexM3Target>(config);
}

}  // namespace

int RunMpsseWire(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    SimConfig config;
    config.flash.size = kFlashBytes;
    config.sram.size = kSramBytes;
    const uint8_t flags = in.byte();
    config.chip = (flags & setup::kChipH) ? cm3sim::ChipType::Ft2232H : cm3sim::ChipType::Ft2232D;
    config.noTarget = (flags & setup::kNoTarget) != 0;
    config.powerUpNeverAcknowledged = (flags & setup::kPowerUpRefused) != 0;
    config.waitNextApTransactions = (flags >> setup::kWaitShift) & setup::kWaitMask;
    VirtualProbe probe(config, RegisterLevelTarget);
    AdapterChannel& channel = probe.channel(VirtualProbe::kTargetChannel);
    MpsseEngine& engine = channel.engine();
    channel.setBitMode(cm3sim::bit_mode::kMpsse);
    std::vector<uint8_t> replies(kReadChunk);
    while (!in.empty() && engine.clockCycles() < kCycleBudget) {
        switch (in.byte() % kActions) {
            case kWrite: {
                const auto bytes = in.take(1 + static_cast<size_t>(in.byte()));
                for (size_t at = 0; at < bytes.size() && engine.clockCycles() < kCycleBudget; at += kWriteSlice) {
                    channel.write(bytes.subspan(at, std::min(kWriteSlice, bytes.size() - at)));
                }
                break;
            }
            case kRead: {
                const size_t queued = engine.replyBytesQueued();
                const size_t asked = in.byte();
                const size_t got = engine.read(std::span<uint8_t>(replies.data(), asked));
                if (got > asked || got != std::min(asked, queued)) Violation("a read moved more or less than it could");
                if (engine.replyBytesQueued() != queued - got) Violation("a read lost or made up reply bytes");
                break;
            }
            case kPurgeReplies:
                engine.purgeReplies();
                if (engine.replyBytesQueued() != 0) Violation("replies survived a purge");
                break;
            case kPurgeCommands: {
                // Bytes queued behind a stall go; a command the parser has
                // begun stays until bit mode 0.
                const size_t before = engine.commandBytesPending();
                const bool stalled = engine.stalled();
                engine.purgeCommands();
                const size_t after = engine.commandBytesPending();
                if (after > before || (stalled && after != 0)) Violation("a purge kept queued commands");
                break;
            }
            case kBitModeReset:
                channel.setBitMode(cm3sim::bit_mode::kReset);
                if (engine.stalled() || engine.commandBytesPending() != 0) Violation("bit mode 0 left the engine busy");
                channel.setBitMode(cm3sim::bit_mode::kMpsse);
                break;
            default:
                break;
        }
        if (engine.replyBytesQueued() > kMaxQueuedReplies) engine.purgeReplies();
    }
    return 0;
}

}  // namespace cm3fuzz
