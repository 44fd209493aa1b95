#include "platform/coreml/runtime/Value.h"

namespace platform::coreml::runtime {

std::string describe(const ValueType& type) {
    std::string text = "tensor<" + std::string(name(type.dataType)) + ", " + describe(type.shape) + ">";
    return type.isState ? "state<" + text + ">" : text;
}

}  // namespace platform::coreml::runtime
