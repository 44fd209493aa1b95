#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace platform {

// One-component 16-bit half-float pixels ("L00h").
inline constexpr uint32_t kCVPixelFormatType_OneComponent16Half = 0x4C303068;

// An image-shaped block of memory, standing in for a pixel buffer. Rows are
// laid out without padding, so bytesPerRow() is the width times the pixel
// size; callers that honour bytesPerRow() keep working if that ever changes.
// The memory starts zeroed and lives as long as the buffer.
class CVPixelBuffer {
public:
    // Empty when the format is not supported, a side is zero, or the buffer
    // cannot be allocated.
    static std::shared_ptr<CVPixelBuffer> create(std::size_t width, std::size_t height,
                                                 uint32_t pixelFormatType);

    CVPixelBuffer(const CVPixelBuffer&) = delete;
    CVPixelBuffer& operator=(const CVPixelBuffer&) = delete;

    std::size_t width() const noexcept { return width_; }
    std::size_t height() const noexcept { return height_; }
    std::size_t bytesPerRow() const noexcept { return bytesPerRow_; }
    uint32_t pixelFormatType() const noexcept { return pixelFormatType_; }
    void* baseAddress() noexcept { return memory_.get(); }
    const void* baseAddress() const noexcept { return memory_.get(); }

private:
    struct Free {
        void operator()(void* memory) const noexcept;
    };
    using Memory = std::unique_ptr<void, Free>;

    CVPixelBuffer(std::size_t width, std::size_t height, std::size_t bytesPerRow,
                  uint32_t pixelFormatType, Memory memory);

    std::size_t width_;
    std::size_t height_;
    std::size_t bytesPerRow_;
    uint32_t pixelFormatType_;
    Memory memory_;
};

}  // namespace platform
