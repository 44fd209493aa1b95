#pragma once

#include <cstddef>
#include <cstdint>

// Each fuzz target defines this entry point, the one libFuzzer calls, so the
// same target also builds with `clang++ -fsanitize=fuzzer` where that exists.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
