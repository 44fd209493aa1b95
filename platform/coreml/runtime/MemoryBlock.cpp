#include "platform/coreml/runtime/MemoryBlock.h"

#include <sys/mman.h>

#include <cstdlib>
#include <new>

namespace platform::coreml::runtime {

std::byte* allocateBlock(size_t size) {
    if (size >= kLargeBlock) {
        // Populated at once: the encoder's worker threads faulting the pages
        // in one by one, all at the same time, cost it more than this.
        void* mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        if (mapped == MAP_FAILED) throw std::bad_alloc();
        return static_cast<std::byte*>(mapped);
    }
    void* memory = std::aligned_alloc(64, size);
    if (!memory) throw std::bad_alloc();
    return static_cast<std::byte*>(memory);
}

void releaseBlock(std::byte* block, size_t size) {
    if (!block) return;
    if (size >= kLargeBlock) {
        munmap(block, size);
    } else {
        std::free(block);
    }
}

}  // namespace platform::coreml::runtime
