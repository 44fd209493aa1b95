#include "platform/coreml/CVPixelBuffer.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace platform {
namespace {

constexpr std::size_t kAlignment = 64;

std::size_t bytesPerPixel(uint32_t pixelFormatType) {
    return pixelFormatType == kCVPixelFormatType_OneComponent16Half ? 2 : 0;
}

}  // namespace

void CVPixelBuffer::Free::operator()(void* memory) const noexcept { std::free(memory); }

std::shared_ptr<CVPixelBuffer> CVPixelBuffer::create(std::size_t width, std::size_t height,
                                                     uint32_t pixelFormatType) {
    const std::size_t pixelSize = bytesPerPixel(pixelFormatType);
    if (pixelSize == 0 || width == 0 || height == 0) {
        return nullptr;
    }
    constexpr std::size_t limit = std::numeric_limits<std::size_t>::max() - kAlignment;
    if (width > limit / pixelSize || height > limit / (width * pixelSize)) {
        return nullptr;
    }
    const std::size_t bytesPerRow = width * pixelSize;
    const std::size_t size = (bytesPerRow * height + kAlignment - 1) / kAlignment * kAlignment;
    Memory memory(std::aligned_alloc(kAlignment, size));
    if (!memory) {
        return nullptr;
    }
    std::memset(memory.get(), 0, size);
    return std::shared_ptr<CVPixelBuffer>(
        new CVPixelBuffer(width, height, bytesPerRow, pixelFormatType, std::move(memory)));
}

CVPixelBuffer::CVPixelBuffer(std::size_t width, std::size_t height, std::size_t bytesPerRow,
                             uint32_t pixelFormatType, Memory memory)
    : width_(width),
      height_(height),
      bytesPerRow_(bytesPerRow),
      pixelFormatType_(pixelFormatType),
      memory_(std::move(memory)) {}

}  // namespace platform
