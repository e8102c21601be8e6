// `cm3probe shell`: one connection kept open; the target commands plus
// breakpoints, line editing and history on a terminal, plain lines from a
// pipe so scripts can drive it.
#pragma once

#include <istream>
#include <ostream>

#include "common/session.h"

namespace cm3tools::cli {

// Runs commands until quit or end of input on an open session. Returns 0
// when every command succeeded, else the exit code of the first failure.
int RunShell(Session& session, std::istream& in, std::ostream& out, std::ostream& err, bool interactive);

}  // namespace cm3tools::cli
