#include "platform/coreml/runtime/Tensor.h"

#include <cassert>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>

namespace platform::coreml::runtime {
namespace {

std::shared_ptr<std::byte> allocate(size_t bytes, bool zeroed) {
    // Rounded up so that vector loads past a short tail stay inside the block.
    const size_t size = (bytes + 63) / 64 * 64 + 64;
    void* memory = std::aligned_alloc(64, size);
    if (!memory) throw std::bad_alloc();
    if (zeroed) std::memset(memory, 0, size);
    return std::shared_ptr<std::byte>(static_cast<std::byte*>(memory), [](std::byte* p) { std::free(p); });
}

// Calls `f(T{})` with T the C++ type that holds one element of `type` in
// memory (sub-byte types and bools are unpacked to a byte each). Strings hold
// no numbers: `f` is not called for them.
template <typename F>
void visitStorage(DataType type, F&& f) {
    switch (type) {
        case DataType::Bool:
        case DataType::UInt1:
        case DataType::UInt2:
        case DataType::UInt3:
        case DataType::UInt4:
        case DataType::UInt6:
        case DataType::UInt8:
            return f(uint8_t{});
        case DataType::Int4:
        case DataType::Int8:
            return f(int8_t{});
        case DataType::Int16:
            return f(int16_t{});
        case DataType::Int32:
            return f(int32_t{});
        case DataType::Int64:
            return f(int64_t{});
        case DataType::UInt16:
            return f(uint16_t{});
        case DataType::UInt32:
            return f(uint32_t{});
        case DataType::UInt64:
            return f(uint64_t{});
        case DataType::Float16:
            return f(Float16{});
        case DataType::Float32:
            return f(float{});
        case DataType::Float64:
            return f(double{});
        case DataType::String:
            return;
    }
}

template <typename T>
T read(const std::byte* base, int64_t index) {
    T value;
    std::memcpy(&value, base + index * static_cast<int64_t>(sizeof(T)), sizeof(T));
    return value;
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

// A number as element type T: floats round, integers truncate toward zero
// and saturate.
template <typename T>
T stored(double value) {
    if constexpr (std::is_same_v<T, Float16>) {
        return static_cast<Float16>(static_cast<float>(value));
    } else if constexpr (std::is_floating_point_v<T>) {
        return static_cast<T>(value);
    } else {
        return clampedInteger<T>(value);
    }
}

}  // namespace

Tensor::Tensor(DataType type, Shape shape)
    : type_(type), shape_(std::move(shape)), count_(countOf(shape_)), writable_(true) {
    assert(isConcrete(shape_));
    storage_ = allocate(byteSize(), true);
}

Tensor Tensor::uninitialized(DataType type, Shape shape) {
    Tensor tensor;
    tensor.type_ = type;
    tensor.shape_ = std::move(shape);
    tensor.count_ = countOf(tensor.shape_);
    tensor.writable_ = true;
    assert(isConcrete(tensor.shape_));
    tensor.storage_ = allocate(tensor.byteSize(), false);
    return tensor;
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

Tensor Tensor::subrange(int64_t offset, Shape shape) const {
    Tensor tensor = *this;
    tensor.shape_ = std::move(shape);
    tensor.count_ = countOf(tensor.shape_);
    assert(offset >= 0 && offset + tensor.count_ <= count_);
    tensor.writable_ = false;
    tensor.storage_ = std::shared_ptr<std::byte>(storage_, storage_.get() + offset * static_cast<int64_t>(elementSize(type_)));
    return tensor;
}

double Tensor::number(int64_t index) const {
    double value = 0;
    visitStorage(type_, [&](auto tag) { value = static_cast<double>(read<decltype(tag)>(bytes(), index)); });
    return value;
}

void setNumber(Tensor& tensor, int64_t index, double value) {
    if (tensor.dataType() == DataType::Bool) value = value != 0 ? 1 : 0;
    std::byte* base = tensor.mutableBytes();
    visitStorage(tensor.dataType(), [&](auto tag) { write(base, index, stored<decltype(tag)>(value)); });
}

std::vector<float> Tensor::toFloats() const {
    std::vector<float> values(static_cast<size_t>(count_));
    if (count_ == 0) return values;
    if (type_ == DataType::Float32) {
        std::memcpy(values.data(), bytes(), byteSize());
    } else if (type_ == DataType::Float16) {
        widen(data<Float16>(), values.data(), values.size());
    } else {
        visitStorage(type_, [&](auto tag) {
            for (int64_t i = 0; i < count_; ++i) values[static_cast<size_t>(i)] = static_cast<float>(read<decltype(tag)>(bytes(), i));
        });
    }
    return values;
}

std::vector<int64_t> Tensor::toInts() const {
    std::vector<int64_t> values(static_cast<size_t>(count_));
    visitStorage(type_, [&](auto tag) {
        for (int64_t i = 0; i < count_; ++i) {
            values[static_cast<size_t>(i)] = clampedInteger<int64_t>(static_cast<double>(read<decltype(tag)>(bytes(), i)));
        }
    });
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
        const bool toBool = type == DataType::Bool;
        std::byte* target = result.mutableBytes();
        visitStorage(type_, [&](auto from) {
            visitStorage(type, [&](auto to) {
                for (int64_t i = 0; i < count_; ++i) {
                    const auto value = static_cast<double>(read<decltype(from)>(bytes(), i));
                    write(target, i, stored<decltype(to)>(toBool ? value != 0 : value));
                }
            });
        });
    }
    return result;
}

Tensor Tensor::asFloat32() const {
    return castTo(DataType::Float32);
}

}  // namespace platform::coreml::runtime
