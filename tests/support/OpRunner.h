#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tests/support/ModelBundleWriter.h"
#include "tests/support/TempDirectory.h"

namespace testsupport {

// Runs one op through the whole path (program text, weight file, load,
// validation, prediction), so op tests exercise what a real bundle does.
class OpRunner {
public:
    explicit OpRunner(ModelBundleWriter::Dialect dialect = ModelBundleWriter::Dialect::program13,
                      std::string opset = "ios17");

    ModelBundleWriter& writer() { return writer_; }
    // A function input fed with `value` at prediction time.
    std::string input(const std::string& name, const Tensor& value);
    std::string constant(const std::string& name, const Tensor& value) { return writer_.constant(name, value); }

    // Adds the statement, marks its outputs as the function's outputs, loads
    // the bundle and predicts. Load errors propagate as ModelLoadError.
    std::vector<Tensor> run(const std::string& op, const std::vector<std::pair<std::string, std::string>>& arguments,
                            const std::vector<ModelBundleWriter::Output>& outputs, const std::string& attributes = {});

private:
    ModelBundleWriter writer_;
    TempDirectory dir_;
    std::vector<std::pair<std::string, Tensor>> inputs_;
};

}  // namespace testsupport
