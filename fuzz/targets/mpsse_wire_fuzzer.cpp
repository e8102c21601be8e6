// libFuzzer entry point; the body lives in fuzz/harness so that the reliability
// tests replay the committed corpus through the same code.
#include <cstddef>
#include <cstdint>

#include "harnesses.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return cm3fuzz::RunMpsseWire(data, size); }
