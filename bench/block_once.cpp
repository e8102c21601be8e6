// One batched 4 KB block for callgrind: connects to the in-process simulator
// (FT2232D model, 6 MHz), warms up, and runs the block once inside
// bench_measured_block, the only function callgrind is told to collect:
//
//   valgrind --tool=callgrind --collect-atstart=no
//       --toggle-collect=bench_measured_block
//       bench_block_once swd|jtag read|write replay|simulator
//
// With `replay` the simulator's replies are recorded first and played back,
// so the count is the library's own; with `simulator` it includes the
// simulator's work.
#include <cstdio>
#include <cstring>

#include "support/sim_session.h"

namespace {
bool gRead = true;
}  // namespace

extern "C" __attribute__((noinline)) int bench_measured_block() { return cm3bench::Block(gRead); }

int main(int argc, char** argv) {
    using namespace cm3bench;
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_block_once swd|jtag read|write replay|simulator\n");
        return 2;
    }
    const bool swd = std::strcmp(argv[1], "swd") == 0;
    gRead = std::strcmp(argv[2], "read") == 0;
    const bool replay = std::strcmp(argv[3], "replay") == 0;
    const Path& path = swd ? kPaths[1] : kPaths[3];
    // Halted, the simulated core does not run the firmware meanwhile.
    if (Connect(path, cm3sim::ChipType::Ft2232D, kFastClockHz) != DBG_OK || DebugHaltCore() != DBG_OK) {
        std::fprintf(stderr, "could not connect to the simulator\n");
        return 1;
    }
    const bool ready = replay ? ReplayFromHere([] { return Block(gRead); }) : Block(gRead) == DBG_OK;
    const int result = ready ? bench_measured_block() : DBG_ERROR;
    const bool followed = Switch().divergences == 0;
    Disconnect();
    if (result != DBG_OK || !followed) {
        std::fprintf(stderr, "the block failed (%d)\n", result);
        return 1;
    }
    return 0;
}
