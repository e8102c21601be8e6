// What each DebugResult means to a person at the command line: its name and
// what to do about it. Also the exit codes every tool shares.
#pragma once

#include <string>
#include <string_view>

#include "cm3probe.h"

namespace cm3tools {

namespace exit_code {
inline constexpr int kSuccess = 0;
inline constexpr int kTargetFailure = 1;  // the adapter or the target refused or failed
inline constexpr int kUsage = 2;          // bad arguments: nothing was sent
}  // namespace exit_code

// "DBG_TIMEOUT"; "unknown result" outside the table.
std::string_view ResultName(DebugResult result);
// One sentence on what to check or do next.
std::string_view ResultAdvice(DebugResult result);
// "DebugInit failed: DBG_BAD_IDCODE (5): <advice>"
std::string DescribeFailure(std::string_view what, DebugResult result);

// DebugOpen's one success that is not DBG_OK.
inline bool OpenSucceeded(DebugResult result) { return result == DBG_OK || result == DBG_OPENED_AFTER_RETRY; }

// A failed call, carried to the command loop, which reports it and picks the
// exit code.
struct TargetError {
    DebugResult result = DBG_ERROR;
    std::string message;
};

// Throws TargetError when result is not DBG_OK.
void Check(DebugResult result, std::string_view what);

}  // namespace cm3tools
