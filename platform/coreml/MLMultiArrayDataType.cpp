#include "platform/coreml/MLMultiArrayDataType.h"

namespace platform {

std::string_view description(MLMultiArrayDataType dataType) noexcept {
    switch (dataType) {
        case MLMultiArrayDataType::float16: return "Float16";
        case MLMultiArrayDataType::float32: return "Float32";
        case MLMultiArrayDataType::float64: return "Double";
        case MLMultiArrayDataType::int32: return "Int32";
    }
    return "Unknown";
}

}  // namespace platform
