#include "platform/coreml/runtime/MemoryBlock.h"

#include <sys/mman.h>

#include <cstdlib>
#include <new>

namespace platform::coreml::runtime {

namespace {

// Under AddressSanitizer every block comes from malloc, so that a kernel
// writing past a large intermediate is caught there as well.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMapLargeBlocks = false;
#else
constexpr bool kMapLargeBlocks = true;
#endif

bool mapped(size_t size) { return kMapLargeBlocks && size >= kLargeBlock; }

}  // namespace

std::byte* allocateBlock(size_t size) {
    if (mapped(size)) {
        // Populated at once: the encoder's worker threads faulting the pages
        // in one by one, all at the same time, cost it more than this.
        void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        if (memory == MAP_FAILED) throw std::bad_alloc();
        return static_cast<std::byte*>(memory);
    }
    void* memory = std::aligned_alloc(64, size);
    if (!memory) throw std::bad_alloc();
    return static_cast<std::byte*>(memory);
}

void releaseBlock(std::byte* block, size_t size) {
    if (!block) return;
    if (mapped(size)) {
        munmap(block, size);
    } else {
        std::free(block);
    }
}

}  // namespace platform::coreml::runtime
