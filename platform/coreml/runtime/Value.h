#pragma once

#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "platform/coreml/runtime/DataType.h"
#include "platform/coreml/runtime/Shape.h"
#include "platform/coreml/runtime/Tensor.h"

namespace platform::coreml::runtime {

// The static type a program gives a variable: `tensor<fp16, [1, 512, 1, ?]>`,
// a bare scalar `int32`, or a model state `state<tensor<...>>`.
struct ValueType {
    DataType dataType = DataType::Float32;
    Shape shape;
    bool isState = false;

    bool operator==(const ValueType&) const = default;
};

// "tensor<fp16, [1, 80]>", for messages.
std::string describe(const ValueType& type);

// What a variable holds when it is known at load: a tensor (scalars are rank-0
// tensors) or a string (pad types, modes, data type names).
class Value {
public:
    Value() = default;
    Value(Tensor tensor) : content_(std::move(tensor)) {}
    Value(std::string text) : content_(std::move(text)) {}

    bool isTensor() const { return std::holds_alternative<Tensor>(content_); }
    bool isString() const { return std::holds_alternative<std::string>(content_); }
    const Tensor& tensor() const { return std::get<Tensor>(content_); }
    const std::string& string() const { return std::get<std::string>(content_); }

private:
    std::variant<Tensor, std::string> content_;
};

}  // namespace platform::coreml::runtime
