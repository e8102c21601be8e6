// Flash programming through the target's flash controller, on the connection
// the caller has opened and initialised (DebugOpen + DebugInit). Halt the core
// first: firmware running from flash would fight the controller.
//
// The controller programs one word at a time (new = old & data) and erases
// 1 KB pages. Program pads a partial first or last word with 0xFF, so pieces
// of one word written by separate calls (GDB's vFlashWrite may split them)
// combine; it skips all-ones words, which would change nothing.
//
// With enough words to program and the core halted, Program runs a small
// loader (flash_loader.h) on the core from the start of SRAM: 4 KB of words
// per run, one BKPT halt per run, the next run's words copied into a second
// slot while this one programs. It saves the SRAM it uses, r0-r7, LR, PC,
// xPSR, MSP, PSP, CONTROL/PRIMASK, DHCSR's C_MASKINTS (set while the loader
// runs), DEMCR and DFSR, and puts them back on success and failure alike.
// Where the loader cannot run (no SRAM there, a running core, a controller
// that does not answer) or stops early (a fault, a stuck controller), the
// host programs the remaining words itself, one command each; a failure there
// also names why the loader stopped.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "cm3probe.h"

namespace cm3tools::flash {

namespace fma {
inline constexpr uint32_t kAddress = 0x400FD000;  // flash address of the next command
}  // namespace fma

namespace fmd {
inline constexpr uint32_t kAddress = 0x400FD004;  // word to program
}  // namespace fmd

namespace fmc {
inline constexpr uint32_t kAddress = 0x400FD008;
inline constexpr uint32_t kWriteKey = 0xA442u << 16;  // commands without it are ignored
inline constexpr uint32_t kWrite = 1u << 0;
inline constexpr uint32_t kErase = 1u << 1;
inline constexpr uint32_t kMassErase = 1u << 2;
}  // namespace fmc

inline constexpr uint32_t kPageSize = 1024;
inline constexpr uint32_t kWordSize = 4;

// Command bits stay set while the operation runs; these bound the polling
// (each poll is one memory read on the wire).
inline constexpr uint32_t kProgramPollLimit = 2'000;
inline constexpr uint32_t kErasePollLimit = 200'000;
inline constexpr uint32_t kMassErasePollLimit = 2'000'000;

// Bytes handled so far and the total of the operation; called after every
// page (erase), word batch (program) or 4 KB block (verify).
using Progress = std::function<void(uint64_t done, uint64_t total)>;

struct Status {
    // DBG_OK, the result of the export that failed, DBG_TIMEOUT when a
    // command bit did not clear within its poll limit, DBG_ERROR when
    // verification found a difference.
    DebugResult result = DBG_OK;
    uint32_t address = 0;  // where it failed
    std::string message;   // what failed, for people
    bool ok() const { return result == DBG_OK; }
};

// Erases every page that [address, address + length) touches.
Status Erase(uint32_t address, uint32_t length, const Progress& progress = {});
// Erases all of flash.
Status MassErase(const Progress& progress = {});
// Programs bytes at address (any alignment) into erased flash; see above for
// the loader it runs in SRAM.
Status Program(uint32_t address, std::span<const uint8_t> bytes, const Progress& progress = {});
// Reads back in 4 KB blocks; fails with DBG_ERROR at the first byte that differs.
Status Verify(uint32_t address, std::span<const uint8_t> bytes, const Progress& progress = {});

// Bytes bound for one flash address, for Write.
struct Piece {
    uint32_t address = 0;
    std::span<const uint8_t> bytes;
};

// Erases every page the pieces touch (each once, so pieces may share pages),
// programs them and, when verify is set, verifies them. One progress over all
// three steps: done counts erased, programmed and verified bytes.
Status Write(std::span<const Piece> pieces, bool verify, const Progress& progress = {});
Status Write(uint32_t address, std::span<const uint8_t> bytes, bool verify, const Progress& progress = {});

}  // namespace cm3tools::flash
