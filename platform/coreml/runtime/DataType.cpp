#include "platform/coreml/runtime/DataType.h"

#include <array>

namespace platform::coreml::runtime {
namespace {

struct TypeInfo {
    DataType type;
    std::string_view name;
    size_t size;
    unsigned bits;
};

constexpr std::array<TypeInfo, 19> kTypes{{
    {DataType::Bool, "bool", 1, 8},
    {DataType::Int4, "int4", 1, 4},
    {DataType::Int8, "int8", 1, 8},
    {DataType::Int16, "int16", 2, 16},
    {DataType::Int32, "int32", 4, 32},
    {DataType::Int64, "int64", 8, 64},
    {DataType::UInt1, "uint1", 1, 1},
    {DataType::UInt2, "uint2", 1, 2},
    {DataType::UInt3, "uint3", 1, 3},
    {DataType::UInt4, "uint4", 1, 4},
    {DataType::UInt6, "uint6", 1, 6},
    {DataType::UInt8, "uint8", 1, 8},
    {DataType::UInt16, "uint16", 2, 16},
    {DataType::UInt32, "uint32", 4, 32},
    {DataType::UInt64, "uint64", 8, 64},
    {DataType::Float16, "fp16", 2, 16},
    {DataType::Float32, "fp32", 4, 32},
    {DataType::Float64, "fp64", 8, 64},
    {DataType::String, "string", 0, 0},
}};

const TypeInfo& info(DataType type) {
    return kTypes[static_cast<size_t>(type)];
}

}  // namespace

std::string_view name(DataType type) {
    return info(type).name;
}

std::optional<DataType> dataTypeNamed(std::string_view name) {
    for (const auto& entry : kTypes) {
        if (entry.name == name) return entry.type;
    }
    return std::nullopt;
}

size_t elementSize(DataType type) {
    return info(type).size;
}

unsigned packedBits(DataType type) {
    return info(type).bits;
}

bool isFloat(DataType type) {
    return type == DataType::Float16 || type == DataType::Float32 || type == DataType::Float64;
}

bool isInteger(DataType type) {
    return !isFloat(type) && type != DataType::Bool && type != DataType::String;
}

bool isSigned(DataType type) {
    switch (type) {
        case DataType::Int4:
        case DataType::Int8:
        case DataType::Int16:
        case DataType::Int32:
        case DataType::Int64:
            return true;
        default:
            return isFloat(type);
    }
}

bool isNumeric(DataType type) {
    return type != DataType::String;
}

}  // namespace platform::coreml::runtime
