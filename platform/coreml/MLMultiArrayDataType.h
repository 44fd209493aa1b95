#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/foundation/Float16.h"

namespace platform {

// Raw values are the platform's own: the high bits give the kind of number,
// the low bits its width in bits. Model descriptions store them as they are.
enum class MLMultiArrayDataType : int32_t {
    float16 = 0x10010,
    float32 = 0x10020,
    float64 = 0x10040,
    int32 = 0x20020,
};

constexpr std::size_t elementSize(MLMultiArrayDataType dataType) noexcept {
    return static_cast<std::size_t>(static_cast<int32_t>(dataType) & 0xFFFF) / 8;
}

// The names model descriptions use ("Float16", "Float32", "Double", "Int32").
std::string_view description(MLMultiArrayDataType dataType) noexcept;

// Element types that arrays and shaped arrays can hold, with the data type
// that stores them. Other types have no specialisation.
template <class Scalar>
struct MLShapedArrayScalar;

template <>
struct MLShapedArrayScalar<Float16> {
    static constexpr MLMultiArrayDataType multiArrayDataType = MLMultiArrayDataType::float16;
};
template <>
struct MLShapedArrayScalar<float> {
    static constexpr MLMultiArrayDataType multiArrayDataType = MLMultiArrayDataType::float32;
};
template <>
struct MLShapedArrayScalar<double> {
    static constexpr MLMultiArrayDataType multiArrayDataType = MLMultiArrayDataType::float64;
};
template <>
struct MLShapedArrayScalar<int32_t> {
    static constexpr MLMultiArrayDataType multiArrayDataType = MLMultiArrayDataType::int32;
};

template <class Scalar>
concept MultiArrayScalar = requires { MLShapedArrayScalar<Scalar>::multiArrayDataType; };

}  // namespace platform
