#include "platform/coreml/runtime/ops/FloatBlocks.h"

#include <algorithm>

namespace platform::coreml::runtime {

const float* readFloats(const Tensor& tensor, int64_t offset, int64_t count, float* buffer) {
    switch (tensor.dataType()) {
        case DataType::Float32:
            return tensor.data<float>() + offset;
        case DataType::Float16:
            widen(tensor.data<Float16>() + offset, buffer, static_cast<size_t>(count));
            return buffer;
        default:
            for (int64_t i = 0; i < count; ++i) buffer[i] = static_cast<float>(tensor.number(offset + i));
            return buffer;
    }
}

void writeFloats(Tensor& tensor, int64_t offset, int64_t count, const float* values) {
    switch (tensor.dataType()) {
        case DataType::Float32: {
            float* target = tensor.mutableData<float>() + offset;
            if (target != values) std::copy_n(values, count, target);
            return;
        }
        case DataType::Float16:
            narrow(values, tensor.mutableData<Float16>() + offset, static_cast<size_t>(count));
            return;
        default:
            for (int64_t i = 0; i < count; ++i) setNumber(tensor, offset + i, values[i]);
            return;
    }
}

namespace {

// Strided fp16 elements go through a buffer of this many, converted in one
// go: one element at a time, each conversion is a call of its own.
constexpr int64_t kStridedBlock = 256;

}  // namespace

void readStrided(const Tensor& tensor, int64_t offset, int64_t count, int64_t stride, float* target) {
    if (stride == 1 || count == 1) {
        const float* values = readFloats(tensor, offset, count, target);
        if (values != target) std::copy_n(values, count, target);
        return;
    }
    switch (tensor.dataType()) {
        case DataType::Float32: {
            const float* source = tensor.data<float>() + offset;
            for (int64_t i = 0; i < count; ++i) target[i] = source[i * stride];
            return;
        }
        case DataType::Float16: {
            const Float16* source = tensor.data<Float16>() + offset;
            Float16 gathered[kStridedBlock];
            for (int64_t at = 0; at < count; at += kStridedBlock) {
                const int64_t n = std::min(kStridedBlock, count - at);
                for (int64_t i = 0; i < n; ++i) gathered[i] = source[(at + i) * stride];
                widen(gathered, target + at, static_cast<size_t>(n));
            }
            return;
        }
        default:
            for (int64_t i = 0; i < count; ++i) target[i] = static_cast<float>(tensor.number(offset + i * stride));
            return;
    }
}

void writeStrided(Tensor& tensor, int64_t offset, int64_t count, int64_t stride, const float* values) {
    if (stride == 1 || count == 1) return writeFloats(tensor, offset, count, values);
    switch (tensor.dataType()) {
        case DataType::Float32: {
            float* target = tensor.mutableData<float>() + offset;
            for (int64_t i = 0; i < count; ++i) target[i * stride] = values[i];
            return;
        }
        case DataType::Float16: {
            Float16* target = tensor.mutableData<Float16>() + offset;
            Float16 rounded[kStridedBlock];
            for (int64_t at = 0; at < count; at += kStridedBlock) {
                const int64_t n = std::min(kStridedBlock, count - at);
                narrow(values + at, rounded, static_cast<size_t>(n));
                for (int64_t i = 0; i < n; ++i) target[(at + i) * stride] = rounded[i];
            }
            return;
        }
        default:
            for (int64_t i = 0; i < count; ++i) setNumber(tensor, offset + i * stride, values[i]);
            return;
    }
}

float* floatTarget(Tensor& tensor, int64_t offset, float* buffer) {
    return tensor.dataType() == DataType::Float32 ? tensor.mutableData<float>() + offset : buffer;
}

}  // namespace platform::coreml::runtime
