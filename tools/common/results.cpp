#include "results.h"

#include <array>

namespace cm3tools {
namespace {

struct ResultInfo {
    std::string_view name;
    std::string_view advice;
};

// Indexed by result code.
constexpr std::array<ResultInfo, DBG_OPENED_AFTER_RETRY + 1> kResults{{
    {"DBG_OK", "success"},
    {"DBG_ERROR",
     "no supported adapter answered, or a USB transfer failed: check the cable, the adapter description and "
     "access to the USB device, or run on the simulator with --sim"},
    {"DBG_BAD_PARAMETER",
     "a value was out of range: the clock must be 91 Hz to 6 MHz and the adapter description under 64 characters"},
    {"DBG_NOT_INITIALISED", "the debug port is not initialised: reconnect (in the shell: 'init')"},
    {"DBG_TIMEOUT",
     "the target did not answer in time: check its power and reset line, or try a lower --clock"},
    {"DBG_BAD_IDCODE",
     "the debug port is not an ARM SW-DP/JTAG-DP with an AHB-AP: check the wiring and the --swd/--jtag choice"},
    {"DBG_BAD_ROM_TABLE", "the ROM table is not where a Cortex-M3 has it: is this a Cortex-M3 target?"},
    {"DBG_STICKY_ERROR",
     "the target answered with a bus error (no memory at that address, or a register that refuses the access); "
     "the error has been cleared"},
    {"DBG_NOT_HALTED", "the core must be halted for this: halt it first ('halt', or --halt where offered)"},
    {"DBG_NO_BREAKPOINT_SLOT", "all six breakpoints are in use, or none is set at that address"},
    {"DBG_OPENED_AFTER_RETRY", "opened after retrying the JTAG engine: the link may be marginal"},
}};

}  // namespace

std::string_view ResultName(DebugResult result) {
    if (result < 0 || static_cast<size_t>(result) >= kResults.size()) return "unknown result";
    return kResults[static_cast<size_t>(result)].name;
}

std::string_view ResultAdvice(DebugResult result) {
    if (result < 0 || static_cast<size_t>(result) >= kResults.size()) return "the library returned an unknown code";
    return kResults[static_cast<size_t>(result)].advice;
}

std::string DescribeFailure(std::string_view what, DebugResult result) {
    std::string text(what);
    text += " failed: ";
    text += ResultName(result);
    text += " (" + std::to_string(result) + "): ";
    text += ResultAdvice(result);
    return text;
}

void Check(DebugResult result, std::string_view what) {
    if (result != DBG_OK) throw TargetError{result, DescribeFailure(what, result)};
}

}  // namespace cm3tools
