#include "platform/coreml/MLFeatureValue.h"

#include <stdexcept>

namespace platform {

MLFeatureValue::MLFeatureValue(std::shared_ptr<MLMultiArray> multiArray)
    : value_(std::move(multiArray)) {
    if (!std::get<std::shared_ptr<MLMultiArray>>(value_)) {
        throw std::invalid_argument("A multi-array feature value needs an array");
    }
}

MLFeatureType MLFeatureValue::type() const noexcept {
    switch (value_.index()) {
        case 0: return MLFeatureType::multiArray;
        case 1: return MLFeatureType::int64;
        case 2: return MLFeatureType::double_;
        default: return MLFeatureType::string;
    }
}

std::shared_ptr<MLMultiArray> MLFeatureValue::multiArrayValue() const noexcept {
    const auto* array = std::get_if<std::shared_ptr<MLMultiArray>>(&value_);
    return array ? *array : nullptr;
}

int64_t MLFeatureValue::int64Value() const noexcept {
    const auto* value = std::get_if<int64_t>(&value_);
    return value ? *value : 0;
}

double MLFeatureValue::doubleValue() const noexcept {
    const auto* value = std::get_if<double>(&value_);
    return value ? *value : 0.0;
}

std::string MLFeatureValue::stringValue() const {
    const auto* value = std::get_if<std::string>(&value_);
    return value ? *value : std::string();
}

}  // namespace platform
