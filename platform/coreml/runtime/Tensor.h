#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/coreml/runtime/DataType.h"
#include "platform/coreml/runtime/Half.h"
#include "platform/coreml/runtime/Shape.h"

namespace platform::coreml::runtime {

// A dense row-major array of one data type. Copies share the storage; the
// storage is either owned memory or a read-only view into a mapped weight
// file, kept alive by whoever owns the mapping. Kernels write only tensors
// they allocated themselves.
class Tensor {
public:
    Tensor() = default;
    // Owned, zero-filled storage. The shape must be concrete.
    Tensor(DataType type, Shape shape);
    // Owned storage left as the allocator gives it, for buffers that are
    // written in full before they are read.
    static Tensor uninitialized(DataType type, Shape shape);
    // Storage handed in by an allocator (the executor's buffer pool); it must
    // hold at least the tensor's bytes.
    Tensor(DataType type, Shape shape, std::shared_ptr<std::byte> storage);
    // A read-only view; `owner` keeps the bytes valid.
    static Tensor view(DataType type, Shape shape, const std::byte* data, std::shared_ptr<const void> owner);

    template <typename T>
    static Tensor of(DataType type, Shape shape, const std::vector<T>& values);
    static Tensor scalar(float value);
    static Tensor scalarInt(int32_t value);

    bool isValid() const { return storage_ != nullptr; }
    DataType dataType() const { return type_; }
    const Shape& shape() const { return shape_; }
    size_t rank() const { return shape_.size(); }
    int64_t count() const { return count_; }
    size_t byteSize() const { return static_cast<size_t>(count_) * elementSize(type_); }
    bool isWritable() const { return writable_; }

    const std::byte* bytes() const { return storage_.get(); }
    std::byte* mutableBytes();
    template <typename T>
    const T* data() const {
        return reinterpret_cast<const T*>(storage_.get());
    }
    template <typename T>
    T* mutableData() {
        return reinterpret_cast<T*>(mutableBytes());
    }

    // Same storage, no longer writable through this copy.
    Tensor readOnly() const {
        Tensor tensor = *this;
        tensor.writable_ = false;
        return tensor;
    }
    // Same storage, another shape of the same element count.
    Tensor reshaped(Shape shape) const;
    // Same storage, read-only: `shape`'s elements from element `offset` on,
    // which must lie within this tensor.
    Tensor subrange(int64_t offset, Shape shape) const;
    // Converted to another element type (fp32 <-> fp16, integers, bools);
    // floats become integers by truncation toward zero.
    Tensor castTo(DataType type) const;

    // Element `index` (row-major) read as a number, whatever the type.
    double number(int64_t index) const;
    std::vector<float> toFloats() const;
    std::vector<int64_t> toInts() const;
    // The elements as fp32: the same storage when they already are, else a copy.
    Tensor asFloat32() const;

private:
    DataType type_ = DataType::Float32;
    Shape shape_;
    int64_t count_ = 0;
    bool writable_ = false;
    std::shared_ptr<std::byte> storage_;
};

// Writes `value` at element `index` of a numeric tensor, converting it to the
// tensor's type.
void setNumber(Tensor& tensor, int64_t index, double value);

template <typename T>
Tensor Tensor::of(DataType type, Shape shape, const std::vector<T>& values) {
    Tensor tensor(type, std::move(shape));
    for (size_t i = 0; i < values.size() && static_cast<int64_t>(i) < tensor.count(); ++i) {
        setNumber(tensor, static_cast<int64_t>(i), static_cast<double>(values[i]));
    }
    return tensor;
}

}  // namespace platform::coreml::runtime
