#include <cstring>

#include "platform/concurrency/CancellationToken.h"
#include "platform/coreml/MLDictionaryFeatureProvider.h"
#include "platform/coreml/MLModel.h"
#include "platform/coreml/MLModelError.h"
#include "platform/coreml/runtime/RuntimeError.h"
#include "platform/coreml/runtime/RuntimeModel.h"

namespace platform {
namespace {

using coreml::runtime::DataType;
using coreml::runtime::RuntimeModel;
using coreml::runtime::Tensor;

MLMultiArrayDataType arrayType(DataType type) {
    switch (type) {
        case DataType::Float16: return MLMultiArrayDataType::float16;
        case DataType::Float64: return MLMultiArrayDataType::float64;
        case DataType::Int32: return MLMultiArrayDataType::int32;
        default: return MLMultiArrayDataType::float32;
    }
}

DataType tensorType(MLMultiArrayDataType type) {
    switch (type) {
        case MLMultiArrayDataType::float16: return DataType::Float16;
        case MLMultiArrayDataType::float64: return DataType::Float64;
        case MLMultiArrayDataType::int32: return DataType::Int32;
        case MLMultiArrayDataType::float32: break;
    }
    return DataType::Float32;
}

MLFeatureDescription describe(const coreml::runtime::FeatureSpec& declared) {
    return MLFeatureDescription{declared.name, MLFeatureType::multiArray, false,
                                MLMultiArrayConstraint{declared.shape, arrayType(declared.dataType)}};
}

// Arrays may be strided (half-precision arrays live in padded pixel-buffer
// rows); the runtime reads dense row-major tensors. A decoder step hands over
// its whole key-value cache and encoder output, so rows whose elements lie
// next to each other are copied as runs, and a dense array in one go.
Tensor denseCopy(const MLMultiArray& array) {
    Tensor tensor(tensorType(array.dataType()), array.shape());
    if (tensor.count() == 0) return tensor;
    const auto size = static_cast<int64_t>(elementSize(array.dataType()));
    const auto& shape = array.shape();
    const auto& strides = array.strides();
    const auto* source = static_cast<const std::byte*>(array.dataPointer());
    std::byte* target = tensor.mutableBytes();
    // The trailing dimensions laid out densely form one run.
    int64_t run = 1;
    size_t outer = shape.size();
    while (outer > 0 && strides[outer - 1] == run) run *= shape[--outer];
    std::vector<int64_t> index(outer, 0);
    for (int64_t at = 0; at < tensor.count(); at += run) {
        int64_t offset = 0;
        for (size_t d = 0; d < outer; ++d) offset += index[d] * strides[d];
        std::memcpy(target + at * size, source + offset * size, static_cast<size_t>(run * size));
        for (size_t d = outer; d-- > 0;) {
            if (++index[d] < shape[d]) break;
            index[d] = 0;
        }
    }
    return tensor;
}

std::shared_ptr<MLMultiArray> toArray(const Tensor& tensor) {
    auto array = std::make_shared<MLMultiArray>(tensor.shape(), arrayType(tensor.dataType()));
    std::memcpy(array->dataPointer(), tensor.bytes(), tensor.byteSize());
    return array;
}

}  // namespace

std::shared_ptr<MLModel> MLModel::load(const URL& bundleURL, const MLModelConfiguration& configuration) {
    std::shared_ptr<RuntimeModel> runtime;
    try {
        runtime = RuntimeModel::load(bundleURL.path());
    } catch (const coreml::runtime::ModelLoadError& error) {
        const bool io = error.kind() == coreml::runtime::ModelLoadError::Kind::unreadableBundle;
        throw MLModelError(io ? MLModelError::Kind::io : MLModelError::Kind::generic, error.what());
    }
    MLModelDescription description;
    for (const auto& declared : runtime->inputs()) description.inputDescriptionsByName.emplace(declared.name, describe(declared));
    for (const auto& declared : runtime->outputs()) description.outputDescriptionsByName.emplace(declared.name, describe(declared));

    auto predict = [runtime](const MLFeatureProvider& input, const MLPredictionOptions&) {
        std::map<std::string, Tensor> inputs;
        for (const auto& declared : runtime->inputs()) {
            const auto value = input.featureValue(declared.name);
            if (!value || !value->multiArrayValue()) continue;
            inputs.emplace(declared.name, denseCopy(*value->multiArrayValue()));
        }
        std::map<std::string, Tensor> outputs;
        try {
            outputs = runtime->predict(inputs, [] { checkCancellation(); });
        } catch (const coreml::runtime::PredictionError& error) {
            using Kind = coreml::runtime::PredictionError::Kind;
            const bool feature = error.kind() == Kind::missingInput || error.kind() == Kind::wrongInputType ||
                                 error.kind() == Kind::wrongInputShape;
            throw MLModelError(feature ? MLModelError::Kind::featureType : MLModelError::Kind::generic, error.what());
        }
        std::map<std::string, MLFeatureValue> values;
        for (const auto& [name, tensor] : outputs) values.emplace(name, MLFeatureValue(toArray(tensor)));
        return std::make_shared<MLDictionaryFeatureProvider>(std::move(values));
    };
    return std::make_shared<MLModel>(std::move(description), std::move(predict), configuration);
}

}  // namespace platform
