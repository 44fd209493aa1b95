#include "platform/coreml/MLMultiArray.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/coreml/CVPixelBuffer.h"
#include "platform/coreml/MLModelError.h"
#include "platform/coreml/MLShapedArray.h"

namespace platform {
namespace {

using Shape = std::vector<int64_t>;

TEST(MLMultiArrayDataType, RawValuesAndElementSizesAreThePlatformsOwn) {
    struct Case {
        MLMultiArrayDataType type;
        int32_t raw;
        std::size_t size;
        const char* name;
    };
    for (const Case& c : {Case{MLMultiArrayDataType::float16, 65552, 2, "Float16"},
                          Case{MLMultiArrayDataType::float32, 65568, 4, "Float32"},
                          Case{MLMultiArrayDataType::float64, 65600, 8, "Double"},
                          Case{MLMultiArrayDataType::int32, 131104, 4, "Int32"}}) {
        EXPECT_EQ(static_cast<int32_t>(c.type), c.raw);
        EXPECT_EQ(elementSize(c.type), c.size);
        EXPECT_EQ(description(c.type), c.name);
    }
}

TEST(MLMultiArray, NewArraysAreRowMajorAndZeroed) {
    struct Case {
        Shape shape;
        Shape strides;
        int64_t count;
    };
    for (const Case& c : {Case{{}, {}, 1}, Case{{7}, {1}, 7}, Case{{2, 3, 5}, {15, 5, 1}, 30},
                          Case{{1, 1, 448}, {448, 448, 1}, 448}, Case{{4, 0, 2}, {0, 2, 1}, 0}}) {
        for (MLMultiArrayDataType type : {MLMultiArrayDataType::float16, MLMultiArrayDataType::float32,
                                          MLMultiArrayDataType::float64, MLMultiArrayDataType::int32}) {
            const MLMultiArray array(c.shape, type);
            EXPECT_EQ(array.shape(), c.shape);
            EXPECT_EQ(array.strides(), c.strides);
            EXPECT_EQ(array.count(), c.count);
            EXPECT_EQ(array.dataType(), type);
            const auto* bytes = static_cast<const unsigned char*>(array.dataPointer());
            for (std::size_t i = 0; i < static_cast<std::size_t>(c.count) * elementSize(type); ++i) {
                ASSERT_EQ(bytes[i], 0) << "byte " << i;
            }
        }
    }
}

TEST(MLMultiArray, RejectsShapesThatCannotBeAllocated) {
    for (const Shape& shape : {Shape{-1}, Shape{3, -2}, Shape{INT64_MAX, 2}, Shape{1 << 30, 1 << 30, 1 << 30}}) {
        try {
            MLMultiArray array(shape, MLMultiArrayDataType::float32);
            ADD_FAILURE() << "accepted shape of rank " << shape.size();
        } catch (const MLModelError& error) {
            EXPECT_EQ(error.kind(), MLModelError::Kind::generic);
        }
    }
}

TEST(MLMultiArray, TypedBufferRefusesAnotherElementType) {
    MLMultiArray array(Shape{2, 2}, MLMultiArrayDataType::int32);
    EXPECT_EQ(array.buffer<int32_t>().size(), 4u);
    EXPECT_THROW(array.buffer<float>(), std::invalid_argument);
    EXPECT_THROW(static_cast<const MLMultiArray&>(array).buffer<Float16>(), std::invalid_argument);
}

TEST(CVPixelBuffer, CreatesOnlyHalfFloatBuffersWithBothSides) {
    struct Case {
        std::size_t width;
        std::size_t height;
        uint32_t format;
        bool created;
    };
    for (const Case& c : {Case{5, 6, kCVPixelFormatType_OneComponent16Half, true},
                          Case{1, 1, kCVPixelFormatType_OneComponent16Half, true},
                          Case{0, 6, kCVPixelFormatType_OneComponent16Half, false},
                          Case{5, 0, kCVPixelFormatType_OneComponent16Half, false},
                          Case{5, 6, 0x4C303066 /* one-component float */, false},
                          Case{SIZE_MAX / 2, 3, kCVPixelFormatType_OneComponent16Half, false}}) {
        const auto buffer = CVPixelBuffer::create(c.width, c.height, c.format);
        ASSERT_EQ(buffer != nullptr, c.created) << c.width << " x " << c.height;
        if (buffer) {
            EXPECT_EQ(buffer->width(), c.width);
            EXPECT_EQ(buffer->height(), c.height);
            EXPECT_EQ(buffer->bytesPerRow(), c.width * 2);
            const auto* bytes = static_cast<const unsigned char*>(buffer->baseAddress());
            for (std::size_t i = 0; i < c.width * c.height * 2; ++i) {
                ASSERT_EQ(bytes[i], 0);
            }
        }
    }
}

TEST(MLMultiArray, OverAPixelBufferSharesItsMemoryAndKeepsItAlive) {
    auto buffer = CVPixelBuffer::create(5, 6, kCVPixelFormatType_OneComponent16Half);
    void* base = buffer->baseAddress();
    MLMultiArray array(buffer, Shape{2, 3, 5});
    buffer.reset();
    EXPECT_EQ(array.dataType(), MLMultiArrayDataType::float16);
    EXPECT_EQ(array.strides(), (Shape{15, 5, 1}));
    EXPECT_EQ(array.count(), 30);
    EXPECT_EQ(array.dataPointer(), base);
    ASSERT_NE(array.pixelBuffer(), nullptr);
    array.buffer<Float16>()[29] = Float16(2.5f);
    EXPECT_EQ(static_cast<float>(static_cast<const Float16*>(array.pixelBuffer()->baseAddress())[29]), 2.5f);
}

TEST(MLMultiArray, OverAPixelBufferRejectsAShapeOfAnotherSize) {
    const auto buffer = CVPixelBuffer::create(5, 6, kCVPixelFormatType_OneComponent16Half);
    for (const Shape& shape : {Shape{}, Shape{30}, Shape{6, 6}, Shape{3, 3, 5}, Shape{6, 0, 5}}) {
        EXPECT_THROW(MLMultiArray(buffer, shape), MLModelError) << "rank " << shape.size();
    }
    EXPECT_THROW(MLMultiArray(nullptr, Shape{1}), MLModelError);
    EXPECT_NO_THROW(MLMultiArray(buffer, Shape{6, 1, 5}));
}

TEST(MLShapedArray, RoundTripsThroughAMultiArrayInRowMajorOrder) {
    const MLShapedArray<int32_t> shaped({1, 2, 3, 4, 5, 6}, Shape{2, 1, 3});
    const auto array = std::make_shared<MLMultiArray>(shaped);
    EXPECT_EQ(array->dataType(), MLMultiArrayDataType::int32);
    EXPECT_EQ(array->shape(), (Shape{2, 1, 3}));
    EXPECT_EQ(array->buffer<int32_t>()[4], 5);
    const MLShapedArray<int32_t> back(*array);
    EXPECT_EQ(back.scalars(), shaped.scalars());
    EXPECT_EQ(back.shape(), shaped.shape());
    EXPECT_THROW(MLShapedArray<float>{*array}, std::invalid_argument);
}

TEST(MLShapedArray, RejectsScalarsThatDoNotFillTheShape) {
    EXPECT_THROW(MLShapedArray<float>({1, 2, 3}, Shape{2, 2}), std::invalid_argument);
    EXPECT_THROW(MLShapedArray<float>({}, Shape{-1}), std::invalid_argument);
    EXPECT_THROW(MLShapedArray<float>({1}, Shape{INT64_MAX, INT64_MAX, 0}), std::invalid_argument);
    EXPECT_EQ(MLShapedArray<float>({4}, Shape{}).count(), 1);
    EXPECT_EQ(MLShapedArray<float>({}, Shape{3, 0}).count(), 0);
}

TEST(ForEachElementOffset, WalksStridedStorageInRowMajorOrder) {
    struct Case {
        Shape shape;
        Shape strides;
        std::vector<int64_t> offsets;
    };
    for (const Case& c : {Case{{}, {}, {0}}, Case{{3}, {2}, {0, 2, 4}}, Case{{2, 0}, {0, 1}, {}},
                          Case{{2, 2}, {8, 1}, {0, 1, 8, 9}},
                          Case{{2, 3}, {1, 2}, {0, 2, 4, 1, 3, 5}}}) {
        std::vector<int64_t> offsets;
        detail::forEachElementOffset(c.shape, c.strides, [&](int64_t offset) { offsets.push_back(offset); });
        EXPECT_EQ(offsets, c.offsets) << "rank " << c.shape.size();
    }
}

}  // namespace
}  // namespace platform
