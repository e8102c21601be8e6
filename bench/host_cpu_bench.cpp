// Host CPU cost of the library: building, queueing and decoding SWD
// transactions and JTAG DAP scans, and 4 KB blocks end to end, both on the
// in-process simulator (library and simulator) and replayed from a recording
// of the simulator's replies (the library alone).
//
// Block benchmarks are named block_4k/<path>/<read|write>/<replay|simulator>.
#include <benchmark/benchmark.h>

#include <array>
#include <string>

#include "dap/ap_registers.h"
#include "memory/block.h"
#include "support/sim_session.h"
#include "transport/jtag_scan.h"
#include "transport/swd_batch.h"
#include "transport/swd_protocol.h"

namespace cm3bench {
namespace {

namespace swd = cm3probe::swd;
namespace ap = cm3probe::ap;

// One batched block's worth of word reads.
inline constexpr uint32_t kTransactions = kBlockBytes / cm3probe::block::kWordBytes;
inline constexpr uint32_t kDataPattern = 0xA5C3E10F;
inline constexpr uint8_t kAckOkByte = swd::ack::kOk << swd::kAckShift;

void BuildSwdReadStream(benchmark::State& state) {
    std::array<uint8_t, swd::kReadStreamSize> stream{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(swd::BuildReadStream(stream.data(), ap::kDrw, swd::kAccessPort));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BuildSwdReadStream);

void BuildSwdWriteStream(benchmark::State& state) {
    std::array<uint8_t, swd::kWriteStreamSize> stream{};
    uint32_t value = kDataPattern;
    for (auto _ : state) {
        benchmark::DoNotOptimize(swd::BuildWriteStream(stream.data(), ap::kDrw, swd::kAccessPort, value++));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BuildSwdWriteStream);

// A block's reads queued into the batch, per transaction.
void QueueSwdBatch(benchmark::State& state) {
    if (!cm3probe::BatchAllocate()) {
        state.SkipWithError("no batch buffers");
        return;
    }
    for (auto _ : state) {
        cm3probe::BatchReset();
        for (uint32_t i = 0; i < kTransactions; ++i) benchmark::DoNotOptimize(cm3probe::BatchQueueRead(ap::kDrw, swd::kAccessPort));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kTransactions);
    cm3probe::BatchRelease();
}
BENCHMARK(QueueSwdBatch);

// A block's responses taken out of the read-back buffer, per transaction.
void DecodeSwdBatch(benchmark::State& state) {
    if (!cm3probe::BatchAllocate()) {
        state.SkipWithError("no batch buffers");
        return;
    }
    cm3probe::SwdBatch& batch = cm3probe::g_batch;
    for (uint32_t i = 0; i < kTransactions; ++i) {
        uint8_t* response = batch.readBackBuffer + i * swd::kResponseSize;
        response[0] = kAckOkByte;
        for (uint32_t b = 0; b < swd::kDataBytes; ++b) {
            response[1 + b] = static_cast<uint8_t>(kDataPattern >> (cm3probe::mpsse::kBitsPerByte * b));
        }
    }
    for (auto _ : state) {
        batch.readCursor = batch.readBackBuffer;
        batch.readEnd = batch.readBackBuffer + kTransactions * swd::kResponseSize;
        for (uint32_t i = 0; i < kTransactions; ++i) {
            uint32_t value = 0;
            benchmark::DoNotOptimize(cm3probe::BatchNextRead(&value));
            benchmark::DoNotOptimize(value);
        }
    }
    state.SetItemsProcessed(state.iterations() * kTransactions);
    cm3probe::BatchRelease();
}
BENCHMARK(DecodeSwdBatch);

void BuildDapScan(benchmark::State& state) {
    cm3probe::DapScan scan{};
    uint32_t value = kDataPattern;
    for (auto _ : state) {
        cm3probe::BuildDapScan(value++, ap::kDrw, cm3probe::dap_scan::kWrite, scan);
        benchmark::DoNotOptimize(scan);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BuildDapScan);

void DecodeDapScan(benchmark::State& state) {
    cm3probe::DapScan capture{};
    cm3probe::BuildDapScan(kDataPattern, ap::kDrw, cm3probe::dap_scan::kRead, capture);
    for (auto _ : state) {
        uint32_t value = 0;
        benchmark::DoNotOptimize(cm3probe::DecodeDapScan(capture, &value));
        benchmark::DoNotOptimize(value);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(DecodeDapScan);

// A 4 KB block on the FT2232D model at 6 MHz; `replay` leaves the simulator out.
void Block4K(benchmark::State& state, Path path, bool read, bool replay) {
    // Halted, the simulated core does not run the firmware meanwhile.
    if (Connect(path, cm3sim::ChipType::Ft2232D, kFastClockHz) != DBG_OK || DebugHaltCore() != DBG_OK) {
        state.SkipWithError("could not connect to the simulator");
        return;
    }
    if (replay && !ReplayFromHere([read] { return Block(read); })) {
        state.SkipWithError("the replay did not follow the recording");
        Disconnect();
        return;
    }
    bool ok = true;
    for (auto _ : state) ok = Block(read) == DBG_OK && ok;
    if (!ok || Switch().divergences != 0) state.SkipWithError("a block failed or left the recording");
    state.SetBytesProcessed(state.iterations() * kBlockBytes);
    Disconnect();
}

void RegisterBlocks() {
    for (const Path& path : kPaths) {
        for (bool read : {true, false}) {
            for (bool replay : {true, false}) {
                const std::string name = "block_4k/" + PathId(path) + (read ? "/read" : "/write") +
                                         (replay ? "/replay" : "/simulator");
                benchmark::RegisterBenchmark(name.c_str(), Block4K, path, read, replay)->Unit(benchmark::kMicrosecond);
            }
        }
    }
}

}  // namespace
}  // namespace cm3bench

int main(int argc, char** argv) {
    cm3bench::RegisterBlocks();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
