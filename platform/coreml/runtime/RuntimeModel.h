#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/coreml/runtime/BlobFile.h"
#include "platform/coreml/runtime/Executor.h"
#include "platform/coreml/runtime/Program.h"

namespace platform::coreml::runtime {

// One input or output of a loaded program.
struct FeatureSpec {
    std::string name;
    DataType dataType;
    Shape shape;  // kUnknownDim where the program leaves a dimension open
};

// A compiled model bundle (`<Name>.mlmodelc`) loaded for the CPU: its
// program parsed and validated, its constants resolved from the weight file.
class RuntimeModel {
public:
    // Throws ModelLoadError whose message starts with the bundle's name.
    static std::shared_ptr<RuntimeModel> load(const std::filesystem::path& bundle);

    const std::vector<FeatureSpec>& inputs() const { return inputs_; }
    const std::vector<FeatureSpec>& outputs() const { return outputs_; }

    // Runs the program on named inputs of the declared types and shapes and
    // returns every output by name. Throws PredictionError naming the feature
    // for a missing or mistyped input; `checkpoint` runs between ops and may
    // throw to cancel. Safe to call from several threads.
    std::map<std::string, Tensor> predict(const std::map<std::string, Tensor>& inputs,
                                          const std::function<void()>& checkpoint = {}) const;

private:
    RuntimeModel() = default;
    std::shared_ptr<const Executor> executorFor(const std::vector<Shape>& shapes) const;

    std::string bundleName_;
    Program program_;
    const Function* function_ = nullptr;
    std::function<Value(const Literal&)> resolve_;
    std::vector<FeatureSpec> inputs_;
    std::vector<FeatureSpec> outputs_;
    std::shared_ptr<const Executor> executor_;  // for the declared input shapes
    bool declaredConcrete_ = true;
    mutable std::mutex specializedMutex_;
    mutable std::map<std::vector<Shape>, std::shared_ptr<const Executor>> specialized_;
};

}  // namespace platform::coreml::runtime
