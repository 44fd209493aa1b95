#pragma once

#include <cstddef>

namespace platform::coreml::runtime {

// The size from which blocks are mapped: malloc's own starting threshold.
inline constexpr size_t kLargeBlock = size_t{128} << 10;

// Storage for pooled buffers: 64-byte aligned, `size` a multiple of 64. Large
// blocks are mapped from the system directly, so that releasing one gives it
// back at once. Left to malloc, every large block freed raises the size below
// which malloc keeps freed memory for itself, and a process that ran the
// encoder would go on holding its activations.
std::byte* allocateBlock(size_t size);
void releaseBlock(std::byte* block, size_t size);

}  // namespace platform::coreml::runtime
