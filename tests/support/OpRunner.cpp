#include "tests/support/OpRunner.h"

#include <map>

#include "platform/coreml/runtime/RuntimeModel.h"

namespace testsupport {

OpRunner::OpRunner(ModelBundleWriter::Dialect dialect, std::string opset) : writer_(dialect, std::move(opset)) {}

std::string OpRunner::input(const std::string& name, const Tensor& value) {
    writer_.input(name, value.dataType(), value.shape());
    inputs_.emplace_back(name, value);
    return name;
}

std::vector<Tensor> OpRunner::run(const std::string& op, const std::vector<std::pair<std::string, std::string>>& arguments,
                                  const std::vector<ModelBundleWriter::Output>& outputs, const std::string& attributes) {
    writer_.op(op, arguments, outputs, attributes);
    for (const auto& output : outputs) writer_.output(output.name);
    const auto bundle = writer_.write(dir_.path() / "Op.mlmodelc");
    auto model = platform::coreml::runtime::RuntimeModel::load(bundle);
    std::map<std::string, Tensor> feed(inputs_.begin(), inputs_.end());
    auto results = model->predict(feed);
    std::vector<Tensor> ordered;
    for (const auto& output : outputs) ordered.push_back(results.at(output.name));
    return ordered;
}

}  // namespace testsupport
