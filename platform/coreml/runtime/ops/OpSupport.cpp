#include "platform/coreml/runtime/ops/OpSupport.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/coreml/runtime/ops/FloatBlocks.h"

namespace platform::coreml::runtime {
namespace {

// Elements one worker converts at a time between fp16 and fp32.
constexpr int64_t kConversionGrain = 65536;

}  // namespace

Tensor floatInput(const KernelContext& context, InputRef input) {
    const Tensor& tensor = context.input(input);
    if (tensor.dataType() == DataType::Float32) return tensor;
    Tensor converted = Tensor::uninitialized(DataType::Float32, tensor.shape());
    float* target = converted.mutableData<float>();
    context.parallelFor(tensor.count(), kConversionGrain, [&](int64_t begin, int64_t end) {
        const float* values = readFloats(tensor, begin, end - begin, target + begin);
        if (values != target + begin) std::copy(values, values + (end - begin), target + begin);
    });
    return converted;
}

FloatOutput::FloatOutput(KernelContext& context, size_t index) : context_(context), index_(index) {
    if (context.outputType(index) == DataType::Float32) {
        values_ = context.allocateOutput(index).mutableData<float>();
    } else {
        scratch_ = Tensor::uninitialized(DataType::Float32, context.outputShape(index));
        values_ = scratch_.mutableData<float>();
    }
    count_ = countOf(context.outputShape(index));
}

void FloatOutput::commit() {
    if (!scratch_.isValid()) return;
    Tensor& output = context_.allocateOutput(index_);
    context_.parallelFor(count_, kConversionGrain,
                         [&](int64_t begin, int64_t end) { writeFloats(output, begin, end - begin, values_ + begin); });
}

std::vector<int64_t> broadcastStrides(const Shape& shape, const Shape& result) {
    std::vector<int64_t> strides(result.size(), 0);
    const Shape own = stridesOf(shape);
    const size_t offset = result.size() - shape.size();
    for (size_t i = 0; i < shape.size(); ++i) strides[offset + i] = shape[i] == 1 ? 0 : own[i];
    return strides;
}

Shape broadcastOrFail(const OpBuilder& builder, const Shape& a, const Shape& b) {
    const auto shape = broadcastShapes(a, b);
    if (!shape) builder.fail("shapes " + describe(a) + " and " + describe(b) + " cannot be broadcast");
    return *shape;
}

std::vector<int64_t> normalizedAxes(const OpBuilder& builder, const std::vector<int64_t>& axes, int64_t rank) {
    std::vector<int64_t> result;
    for (int64_t axis : axes) {
        const auto normalized = normalizeAxis(axis, rank);
        if (!normalized) builder.fail("axis " + std::to_string(axis) + " is out of range for rank " + std::to_string(rank));
        if (std::find(result.begin(), result.end(), *normalized) != result.end()) {
            builder.fail("axis " + std::to_string(axis) + " is named twice");
        }
        result.push_back(*normalized);
    }
    return result;
}

namespace {

template <size_t Size>
void gatherElements(std::byte* row, const std::byte* source, int64_t offset, int64_t stride, int64_t count) {
    constexpr auto size = static_cast<int64_t>(Size);
    for (int64_t i = 0; i < count; ++i) std::memcpy(row + i * size, source + (offset + i * stride) * size, Size);
}

// One strided row, element by element. A copy of a size known when compiling
// is one move; a copy of a size known only when running is a call.
void gatherRow(std::byte* row, const std::byte* source, int64_t offset, int64_t stride, int64_t count, size_t size) {
    switch (size) {
        case 1: return gatherElements<1>(row, source, offset, stride, count);
        case 2: return gatherElements<2>(row, source, offset, stride, count);
        case 4: return gatherElements<4>(row, source, offset, stride, count);
        default:
            for (int64_t i = 0; i < count; ++i) {
                std::memcpy(row + i * static_cast<int64_t>(size), source + (offset + i * stride) * static_cast<int64_t>(size), size);
            }
    }
}

}  // namespace

void permute(const Tensor& source, Tensor& target, const std::vector<int64_t>& perm, const KernelContext& context) {
    const Shape& in = source.shape();
    const Shape inStrides = stridesOf(in);
    const Shape& out = target.shape();
    const size_t rank = out.size();
    const size_t size = elementSize(source.dataType());
    std::vector<int64_t> strides(rank);
    for (size_t i = 0; i < rank; ++i) strides[i] = inStrides[static_cast<size_t>(perm[i])];
    const std::byte* src = source.bytes();
    std::byte* dst = target.mutableBytes();
    const int64_t inner = rank ? out[rank - 1] : 1;
    const int64_t innerStride = rank ? strides[rank - 1] : 1;
    const int64_t rows = inner == 0 ? 0 : target.count() / inner;
    context.parallelFor(rows, 64, [&](int64_t begin, int64_t end) {
        for (int64_t r = begin; r < end; ++r) {
            int64_t offset = 0, rest = r;
            for (size_t d = rank - 1; rank > 1 && d-- > 0;) {
                offset += (rest % out[d]) * strides[d];
                rest /= out[d];
            }
            std::byte* row = dst + r * inner * static_cast<int64_t>(size);
            if (innerStride == 1) {
                std::memcpy(row, src + offset * static_cast<int64_t>(size), static_cast<size_t>(inner) * size);
            } else {
                gatherRow(row, src, offset, innerStride, inner, size);
            }
        }
    });
}

}  // namespace platform::coreml::runtime
