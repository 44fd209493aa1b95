#include "platform/coreml/runtime/RuntimeError.h"

namespace platform::coreml::runtime {
namespace {

std::string compose(const std::string& detail, int line, const std::string& op, const std::string& bundle) {
    std::string text;
    if (!bundle.empty()) text += bundle + ": ";
    if (line > 0) text += "line " + std::to_string(line) + ": ";
    if (!op.empty()) text += op + ": ";
    return text + detail;
}

}  // namespace

ModelLoadError::ModelLoadError(Kind kind, std::string detail, int line, std::string op, std::string bundle)
    : std::runtime_error(compose(detail, line, op, bundle)),
      kind_(kind),
      detail_(std::move(detail)),
      line_(line),
      op_(std::move(op)),
      bundle_(std::move(bundle)) {}

ModelLoadError ModelLoadError::inBundle(const std::string& bundle) const {
    return ModelLoadError(kind_, detail_, line_, op_, bundle);
}

ModelLoadError ModelLoadError::atLine(int line, const std::string& op) const {
    return ModelLoadError(kind_, detail_, line_ > 0 ? line_ : line, op_.empty() ? op : op_, bundle_);
}

PredictionError::PredictionError(Kind kind, std::string feature, std::string message)
    : std::runtime_error(std::move(message)), kind_(kind), feature_(std::move(feature)) {}

}  // namespace platform::coreml::runtime
