#include "platform/coreml/runtime/Tensor.h"

#include <cassert>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

namespace platform::coreml::runtime {
namespace {

std::shared_ptr<std::byte> allocateZeroed(size_t bytes) {
    // Rounded up so that vector loads past a short tail stay inside the block.
    const size_t size = (bytes + 63) / 64 * 64 + 64;
    void* memory = std::aligned_alloc(64, size);
    if (!memory) throw std::bad_alloc();
    std::memset(memory, 0, size);
    return std::shared_ptr<std::byte>(static_cast<std::byte*>(memory), [](std::byte* p) { std::free(p); });
}

template <typename T>
double read(const std::byte* base, int64_t index) {
    T value;
    std::memcpy(&value, base + index * static_cast<int64_t>(sizeof(T)), sizeof(T));
    return static_cast<double>(value);
}

template <typename T>
void write(std::byte* base, int64_t index, T value) {
    std::memcpy(base + index * static_cast<int64_t>(sizeof(T)), &value, sizeof(T));
}

template <typename T>
T clampedInteger(double value) {
    // Out-of-range float-to-integer casts are undefined; clamp before casting.
    constexpr double lo = static_cast<double>(std::numeric_limits<T>::lowest());
    constexpr double hi = static_cast<double>(std::numeric_limits<T>::max());
    if (!(value == value)) return 0;
    if (value <= lo) return std::numeric_limits<T>::lowest();
    if (value >= hi) return std::numeric_limits<T>::max();
    return static_cast<T>(value);
}

}  // namespace

Tensor::Tensor(DataType type, Shape shape)
    : type_(type), shape_(std::move(shape)), count_(countOf(shape_)), writable_(true) {
    assert(isConcrete(shape_));
    storage_ = allocateZeroed(byteSize());
}

Tensor::Tensor(DataType type, Shape shape, std::shared_ptr<std::byte> storage)
    : type_(type), shape_(std::move(shape)), count_(countOf(shape_)), writable_(true), storage_(std::move(storage)) {}

Tensor Tensor::view(DataType type, Shape shape, const std::byte* data, std::shared_ptr<const void> owner) {
    Tensor tensor;
    tensor.type_ = type;
    tensor.shape_ = std::move(shape);
    tensor.count_ = countOf(tensor.shape_);
    tensor.writable_ = false;
    // Aliasing constructor: the tensor points at `data` and shares ownership of `owner`.
    tensor.storage_ = std::shared_ptr<std::byte>(std::const_pointer_cast<void>(owner), const_cast<std::byte*>(data));
    return tensor;
}

Tensor Tensor::scalar(float value) {
    return of(DataType::Float32, {}, std::vector<float>{value});
}

Tensor Tensor::scalarInt(int32_t value) {
    return of(DataType::Int32, {}, std::vector<int32_t>{value});
}

std::byte* Tensor::mutableBytes() {
    assert(writable_ && "kernels must not write into a tensor they did not allocate");
    return storage_.get();
}

Tensor Tensor::reshaped(Shape shape) const {
    Tensor tensor = *this;
    tensor.shape_ = std::move(shape);
    assert(countOf(tensor.shape_) == count_);
    return tensor;
}

double Tensor::number(int64_t index) const {
    const std::byte* base = storage_.get();
    switch (type_) {
        case DataType::Bool:
        case DataType::UInt1:
        case DataType::UInt2:
        case DataType::UInt3:
        case DataType::UInt4:
        case DataType::UInt6:
        case DataType::UInt8:
            return read<uint8_t>(base, index);
        case DataType::Int4:
        case DataType::Int8:
            return read<int8_t>(base, index);
        case DataType::Int16:
            return read<int16_t>(base, index);
        case DataType::Int32:
            return read<int32_t>(base, index);
        case DataType::Int64:
            return read<int64_t>(base, index);
        case DataType::UInt16:
            return read<uint16_t>(base, index);
        case DataType::UInt32:
            return read<uint32_t>(base, index);
        case DataType::UInt64:
            return read<uint64_t>(base, index);
        case DataType::Float16:
            return read<Float16>(base, index);
        case DataType::Float32:
            return read<float>(base, index);
        case DataType::Float64:
            return read<double>(base, index);
        case DataType::String:
            break;
    }
    return 0;
}

void setNumber(Tensor& tensor, int64_t index, double value) {
    std::byte* base = tensor.mutableBytes();
    switch (tensor.dataType()) {
        case DataType::Bool:
            return write<uint8_t>(base, index, value != 0 ? 1 : 0);
        case DataType::UInt1:
        case DataType::UInt2:
        case DataType::UInt3:
        case DataType::UInt4:
        case DataType::UInt6:
        case DataType::UInt8:
            return write(base, index, clampedInteger<uint8_t>(value));
        case DataType::Int4:
        case DataType::Int8:
            return write(base, index, clampedInteger<int8_t>(value));
        case DataType::Int16:
            return write(base, index, clampedInteger<int16_t>(value));
        case DataType::Int32:
            return write(base, index, clampedInteger<int32_t>(value));
        case DataType::Int64:
            return write(base, index, clampedInteger<int64_t>(value));
        case DataType::UInt16:
            return write(base, index, clampedInteger<uint16_t>(value));
        case DataType::UInt32:
            return write(base, index, clampedInteger<uint32_t>(value));
        case DataType::UInt64:
            return write(base, index, clampedInteger<uint64_t>(value));
        case DataType::Float16:
            return write(base, index, static_cast<Float16>(static_cast<float>(value)));
        case DataType::Float32:
            return write(base, index, static_cast<float>(value));
        case DataType::Float64:
            return write(base, index, value);
        case DataType::String:
            return;
    }
}

std::vector<float> Tensor::toFloats() const {
    std::vector<float> values(static_cast<size_t>(count_));
    if (count_ == 0) return values;
    if (type_ == DataType::Float32) {
        std::memcpy(values.data(), bytes(), byteSize());
    } else if (type_ == DataType::Float16) {
        widen(data<Float16>(), values.data(), values.size());
    } else {
        for (int64_t i = 0; i < count_; ++i) values[static_cast<size_t>(i)] = static_cast<float>(number(i));
    }
    return values;
}

std::vector<int64_t> Tensor::toInts() const {
    std::vector<int64_t> values(static_cast<size_t>(count_));
    for (int64_t i = 0; i < count_; ++i) values[static_cast<size_t>(i)] = clampedInteger<int64_t>(number(i));
    return values;
}

Tensor Tensor::castTo(DataType type) const {
    if (type == type_) return *this;
    Tensor result(type, shape_);
    if (type_ == DataType::Float16 && type == DataType::Float32) {
        widen(data<Float16>(), result.mutableData<float>(), static_cast<size_t>(count_));
    } else if (type_ == DataType::Float32 && type == DataType::Float16) {
        narrow(data<float>(), result.mutableData<Float16>(), static_cast<size_t>(count_));
    } else {
        for (int64_t i = 0; i < count_; ++i) setNumber(result, i, number(i));
    }
    return result;
}

Tensor Tensor::asFloat32() const {
    return castTo(DataType::Float32);
}

}  // namespace platform::coreml::runtime
