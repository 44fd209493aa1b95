#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace platform::coreml::runtime {

// Element types a program can name. Sub-byte types are unpacked to one byte
// per element in memory, so every kernel can index them like uint8/int8.
enum class DataType : uint8_t {
    Bool,
    Int4,
    Int8,
    Int16,
    Int32,
    Int64,
    UInt1,
    UInt2,
    UInt3,
    UInt4,
    UInt6,
    UInt8,
    UInt16,
    UInt32,
    UInt64,
    Float16,
    Float32,
    Float64,
    String,
};

// The name used in program text: "fp16", "int32", "uint4", ...
std::string_view name(DataType type);
std::optional<DataType> dataTypeNamed(std::string_view name);

// Bytes one element takes in memory (sub-byte types: 1, strings: 0).
size_t elementSize(DataType type);
// Bits one element takes when packed in a weight file.
unsigned packedBits(DataType type);

bool isFloat(DataType type);
bool isInteger(DataType type);
bool isSigned(DataType type);
bool isNumeric(DataType type);

}  // namespace platform::coreml::runtime
