#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include "platform/coreml/MLFeatureType.h"
#include "platform/coreml/MLMultiArray.h"

namespace platform {

// One named input or output of a model. A multi-array value shares its array
// with whoever made it.
class MLFeatureValue {
public:
    // Throws std::invalid_argument for a null array.
    explicit MLFeatureValue(std::shared_ptr<MLMultiArray> multiArray);
    explicit MLFeatureValue(int64_t value) : value_(value) {}
    explicit MLFeatureValue(double value) : value_(value) {}
    explicit MLFeatureValue(std::string value) : value_(std::move(value)) {}

    MLFeatureType type() const noexcept;

    // Each accessor answers empty (null, 0 or "") for a value of another type.
    std::shared_ptr<MLMultiArray> multiArrayValue() const noexcept;
    int64_t int64Value() const noexcept;
    double doubleValue() const noexcept;
    std::string stringValue() const;

private:
    std::variant<std::shared_ptr<MLMultiArray>, int64_t, double, std::string> value_;
};

}  // namespace platform
