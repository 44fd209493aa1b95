#include "platform/coreml/runtime/ops/OpSupport.h"

#include <algorithm>

namespace platform::coreml::runtime {

Tensor floatInput(const KernelContext& context, InputRef input) {
    return context.input(input).asFloat32();
}

FloatOutput::FloatOutput(KernelContext& context, size_t index) : context_(context), index_(index) {
    if (context.outputType(index) == DataType::Float32) {
        values_ = context.allocateOutput(index).mutableData<float>();
    } else {
        scratch_ = Tensor(DataType::Float32, context.outputShape(index));
        values_ = scratch_.mutableData<float>();
    }
    count_ = countOf(context.outputShape(index));
}

void FloatOutput::commit() {
    if (!scratch_.isValid()) return;
    Tensor& output = context_.allocateOutput(index_);
    if (output.dataType() == DataType::Float16) {
        narrow(values_, output.mutableData<Float16>(), static_cast<size_t>(count_));
    } else {
        for (int64_t i = 0; i < count_; ++i) setNumber(output, i, values_[i]);
    }
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

}  // namespace platform::coreml::runtime
