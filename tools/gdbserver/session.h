// One client's session: packets in, replies out, without sockets. The server
// loop feeds it packets and, while the core runs, polls it and forwards the
// interrupt byte.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/semihosting.h"
#include "common/target_registers.h"
#include "common/watchpoints.h"
#include "target.h"

namespace cm3tools::gdb {

// Largest packet we accept and largest reply we build: one 4 KB block as hex.
inline constexpr size_t kPacketSize = 0x2000;
// The library's block limit; memory packets are cut into pieces this long.
inline constexpr uint32_t kBlockSize = 4096;

namespace signal_number {
inline constexpr uint8_t kInterrupt = 2;  // SIGINT: stopped by the interrupt byte
inline constexpr uint8_t kTrap = 5;       // SIGTRAP: breakpoint, step, or halted for the debugger
inline constexpr uint8_t kSegv = 11;      // SIGSEGV: the core locked up (a fault it could not take)
}  // namespace signal_number

// Error replies.
namespace error_reply {
inline constexpr std::string_view kMalformed = "E01";
inline constexpr std::string_view kTargetFailed = "E02";
inline constexpr std::string_view kNotHalted = "E03";
inline constexpr std::string_view kUnknownAnnex = "E04";
}  // namespace error_reply

// Semihosting: served from the start when `semihosting`; console reads come
// from stdin when `console`, else they read end of file.
struct SemihostingOptions {
    bool semihosting = false;
    bool console = false;
};

class Session {
public:
    enum class After {
        Nothing,       // wait for the next packet
        WaitForStop,   // the core runs: poll it, forward interrupts
        Close,         // detached or killed: end the connection
    };
    struct Response {
        std::vector<std::string> packets;  // payloads, in order
        After after = After::Nothing;
    };

    using Options = SemihostingOptions;
    Session(Target& target, std::ostream* log, Options options = {});

    // A client arrived: the core is halted for it.
    void attach();
    // The client left without detaching: breakpoints come out, the core stays as it is.
    void release();

    Response handle(std::string_view packet);

    bool running() const { return running_; }
    bool noAckMode() const { return noAck_; }
    // While running: reads the core state; the stop reply once it halted.
    std::optional<std::string> pollStop();
    // The interrupt byte: halts a running core and returns the stop reply.
    std::optional<std::string> interrupt();
    // Console output of semihosting calls served since the last take, as O packets.
    std::vector<std::string> takeOutput() { return std::exchange(output_, {}); }

private:
    struct Breakpoint {
        bool hardware = false;
        uint16_t original = 0;  // the halfword under a software breakpoint
    };
    using Reply = std::string;

    Reply stopReply(uint8_t signal);
    // The registers GDB reads after every stop, as "nn:value;" pairs.
    std::string expedited();
    // The core halted by itself (a breakpoint, a step, a watchpoint): SIGTRAP,
    // naming the watchpoint and its data address when one fired.
    Reply haltedReply();
    Reply insertWatchpoint(WatchKind kind, uint32_t address, uint32_t length);
    // The stop reply for a core found running after a resume or step failed,
    // or nothing when it is halted (the failure is then the reply).
    Response settleAfterFailedRun(DebugResult failure);
    // Halts a core found locked up; the SIGSEGV stop reply, or nothing when it
    // would not halt.
    std::optional<std::string> haltLockedUp();
    Reply readRegisters();
    Reply writeRegisters(std::string_view hex);
    Reply readRegister(std::string_view args);
    Reply writeRegister(std::string_view args);
    Reply readMemory(std::string_view args);
    Reply writeMemoryHex(std::string_view args);
    Reply writeMemoryBinary(std::string_view args);
    Response resume(bool step, std::optional<uint32_t> address);
    Response resumeAction(std::string_view args, bool step);
    Response vCont(std::string_view actions);
    Reply insertBreakpoint(std::string_view args);
    Reply removeBreakpoint(std::string_view args);
    Reply xfer(std::string_view args);
    Reply flashErase(std::string_view args);
    Reply flashWrite(std::string_view args);
    Reply flashDone();
    Response monitor(std::string_view hexCommand);
    Response detach();
    Response kill();
    Response query(std::string_view packet);
    Response vPacket(std::string_view packet);

    std::optional<uint32_t> readCoreRegister(uint32_t number, std::optional<uint32_t>& specialWord);
    bool coreHalted();
    // Core registers by selector while the core is halted: read once per stop.
    std::optional<uint32_t> cachedRegister(uint32_t selector);
    DebugResult writeCachedRegister(uint32_t selector, uint32_t value);
    // Code-region bytes (flash) while halted: GDB reads the same few words
    // around the PC many times after each stop.
    bool readCodeCached(uint32_t address, uint8_t* buffer, uint32_t length);
    void forgetCode() { codeLines_.fill(std::nullopt); }
    void forgetRegisters() { registerCache_.fill(std::nullopt); }
    void forgetCaches() {
        forgetRegisters();
        forgetCode();
    }
    DebugResult writeBlocks(uint32_t address, std::span<const uint8_t> bytes);
    DebugResult removeAllBreakpoints();
    DebugResult remove(uint32_t address, const Breakpoint& breakpoint);
    void note(std::string_view text) const;
    // A halt on BKPT 0xAB while semihosting is on: served. Nothing when the
    // core should go on; else the reply (an exit, or a stop after a failure).
    enum class Served { kNotACall, kContinue, kStopped };
    Served serveSemihosting(Reply& reply, bool stepping);
    // Lets the core run; with semihosting on, with the fault vector catches armed.
    DebugResult resumeCore();

    Target& target_;
    std::ostream* log_;
    bool running_ = false;
    bool noAck_ = false;
    uint8_t lastSignal_ = signal_number::kTrap;
    std::array<std::optional<uint32_t>, regsel::kSpecial + 1> registerCache_{};
    static constexpr uint32_t kCodeLineBytes = 64;
    struct CodeLine {
        uint32_t base = 0;
        std::array<uint8_t, kCodeLineBytes> bytes{};
    };
    std::array<std::optional<CodeLine>, 4> codeLines_{};
    size_t nextCodeLine_ = 0;
    std::map<uint32_t, Breakpoint> breakpoints_;
    Watchpoints watchpoints_;
    // vFlashWrite pieces since the last vFlashDone, the ones that follow each
    // other joined; programmed and verified there.
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> flashWritten_;
    Options options_;
    semihosting::State semihostingState_;
    semihosting::Hooks semihostingHooks_;
    std::vector<std::string> output_;
};

}  // namespace cm3tools::gdb
