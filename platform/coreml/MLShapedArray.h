#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/coreml/MLMultiArray.h"

namespace platform {

namespace detail {

// Calls visit(offset) with the storage offset of every element of a strided
// array, in row-major order of its indices.
template <class Visit>
void forEachElementOffset(const std::vector<int64_t>& shape, const std::vector<int64_t>& strides,
                          Visit&& visit) {
    for (int64_t dimension : shape) {
        if (dimension == 0) {
            return;
        }
    }
    std::vector<int64_t> index(shape.size(), 0);
    int64_t offset = 0;
    while (true) {
        visit(offset);
        std::size_t k = shape.size();
        while (true) {
            if (k == 0) {
                return;
            }
            --k;
            if (++index[k] < shape[k]) {
                offset += strides[k];
                break;
            }
            offset -= (shape[k] - 1) * strides[k];
            index[k] = 0;
        }
    }
}

}  // namespace detail

// A multi-dimensional array of one scalar type held by value, its scalars in
// row-major order.
template <MultiArrayScalar Scalar>
class MLShapedArray {
public:
    // Throws std::invalid_argument when the number of scalars does not match
    // the shape or a dimension is negative.
    MLShapedArray(std::vector<Scalar> scalars, std::vector<int64_t> shape)
        : shape_(std::move(shape)), scalars_(std::move(scalars)) {
        int64_t count = 1;
        bool overflow = false;
        for (int64_t dimension : shape_) {
            if (dimension < 0) {
                throw std::invalid_argument("A shaped array's dimensions must not be negative");
            }
            overflow = overflow || __builtin_mul_overflow(count, dimension, &count);
        }
        if (overflow || static_cast<std::size_t>(count) != scalars_.size()) {
            throw std::invalid_argument("A shaped array of " + std::to_string(count) +
                                        " elements cannot hold " +
                                        std::to_string(scalars_.size()) + " scalars");
        }
    }

    // A copy of a multi-array's elements, read through its strides. Throws
    // std::invalid_argument when the array holds another element type.
    explicit MLShapedArray(const MLMultiArray& array) : shape_(array.shape()) {
        const std::span<const Scalar> storage = array.template buffer<Scalar>();
        scalars_.reserve(static_cast<std::size_t>(array.count()));
        detail::forEachElementOffset(shape_, array.strides(), [&](int64_t offset) {
            scalars_.push_back(storage[static_cast<std::size_t>(offset)]);
        });
    }

    const std::vector<int64_t>& shape() const noexcept { return shape_; }
    const std::vector<Scalar>& scalars() const noexcept { return scalars_; }
    int64_t count() const noexcept { return static_cast<int64_t>(scalars_.size()); }

private:
    std::vector<int64_t> shape_;
    std::vector<Scalar> scalars_;
};

}  // namespace platform
