// The fuzz targets' bodies, shared by the libFuzzer entry points (fuzz/targets)
// and the corpus replay in the reliability tests. Each returns 0; a broken
// invariant aborts with a message, which both count as a failure.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cm3fuzz {

// A virtual FT2232 wired to the SWJ-DP and the target, fed a random stream of
// MPSSE commands, reads, purges and mode changes.
int RunMpsseWire(const uint8_t* data, size_t size);

// A random sequence of the twenty exports, with random arguments, over a USB
// driver that passes calls to the simulator or answers them itself with
// random statuses, short transfers and random or corrupted bytes.
int RunExports(const uint8_t* data, size_t size);

// Random bytes into the GDB server's packet reader, and the packets it finds
// into a session whose target answers from the input.
int RunGdbPackets(const uint8_t* data, size_t size);
// False when this build has no GDB server to fuzz.
bool GdbPacketsAvailable();

// Prints what broke and aborts.
[[noreturn]] void Violation(const char* what);

}  // namespace cm3fuzz
