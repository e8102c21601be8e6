#include <cstdio>
#include <cstdlib>

#include "harnesses.h"

namespace cm3fuzz {

void Violation(const char* what) {
    std::fprintf(stderr, "fuzz harness: invariant broken: %s\n", what);
    std::abort();
}

}  // namespace cm3fuzz
