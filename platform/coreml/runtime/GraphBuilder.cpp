#include "platform/coreml/runtime/GraphBuilder.h"

#include <algorithm>
#include <unordered_map>

#include "platform/coreml/runtime/AttentionFusion.h"
#include "platform/coreml/runtime/ProductFusion.h"
#include "platform/coreml/runtime/ElementwiseFusion.h"
#include "platform/coreml/runtime/Executor.h"
#include "platform/coreml/runtime/NodeBinding.h"
#include "platform/coreml/runtime/RuntimeError.h"

namespace platform::coreml::runtime {
namespace {

[[noreturn]] void invalid(const std::string& message, int line, const std::string& op = {}) {
    throw ModelLoadError(ModelLoadError::Kind::invalidProgram, message, line, op);
}

const Argument* attribute(const Statement& statement, std::string_view name) {
    for (const auto& argument : statement.attributes) {
        if (argument.name == name) return &argument;
    }
    for (const auto& argument : statement.arguments) {
        if (argument.name == name) return &argument;
    }
    return nullptr;
}

class Builder {
public:
    Builder(const Function& function, const OpRegistry& registry, const std::function<Value(const Literal&)>& resolve)
        : function_(function), registry_(registry), resolve_(resolve), graph_(std::make_shared<Graph>()) {}

    std::shared_ptr<Graph> build(const std::vector<Shape>* inputShapes) {
        const auto opset = opsetNamed(function_.opset.empty() ? "ios15" : function_.opset);
        if (!opset) {
            throw ModelLoadError(ModelLoadError::Kind::unsupportedFormat,
                                 "unsupported opset '" + function_.opset + "'", function_.line);
        }
        opset_ = *opset;
        for (size_t i = 0; i < function_.inputs.size(); ++i) {
            const auto& input = function_.inputs[i];
            if (input.type.isState) invalid("input '" + input.name + "' is a model state, which is not supported", function_.line);
            if (input.type.dataType == DataType::String) invalid("input '" + input.name + "' is a string", function_.line);
            ValueType type = input.type;
            if (inputShapes) type.shape = inputShapes->at(i);
            graph_->inputs.push_back(define(input.name, type, function_.line));
        }
        for (const auto& statement : function_.statements) add(statement);
        for (const auto& name : function_.outputs) {
            const auto found = symbols_.find(name);
            if (found == symbols_.end()) invalid("the function returns undefined variable '" + name + "'", function_.line);
            graph_->outputs.push_back(found->second);
        }
        fuseAttention(*graph_);
        fuseSharedInputProducts(*graph_);
        fuseElementwise(*graph_);
        return graph_;
    }

private:
    int define(const std::string& name, ValueType type, int line, std::optional<Value> constant = std::nullopt) {
        if (symbols_.count(name)) invalid("variable '" + name + "' is defined twice", line);
        graph_->values.push_back(ValueInfo{name, std::move(type), std::move(constant)});
        const int id = static_cast<int>(graph_->values.size()) - 1;
        symbols_.emplace(name, id);
        return id;
    }

    void add(const Statement& statement) {
        try {
            if (statement.op == "const") {
                addConstant(statement);
            } else {
                addNode(statement);
            }
        } catch (const ModelLoadError& error) {
            throw error.atLine(statement.line, statement.op);
        }
    }

    void addConstant(const Statement& statement) {
        const Argument* val = attribute(statement, "val");
        if (!val || val->values.size() != 1 || !std::holds_alternative<Literal>(val->values.front())) {
            invalid("a constant needs a literal 'val'", statement.line, statement.op);
        }
        if (statement.outputs.size() != 1) invalid("a constant has exactly one output", statement.line, statement.op);
        const auto& literal = std::get<Literal>(val->values.front());
        const auto& output = statement.outputs.front();
        if (literal.type.dataType != output.type.dataType || literal.type.shape != output.type.shape) {
            invalid("'" + output.name + "' is declared " + describe(output.type) + " but its value is " +
                        describe(literal.type),
                    statement.line, statement.op);
        }
        define(output.name, output.type, statement.line, resolve_(literal));
    }

    void addNode(const Statement& statement) {
        const OpFactory* factory = registry_.find(statement.op);
        if (!factory) {
            throw ModelLoadError(ModelLoadError::Kind::unsupportedOperation, "unknown op", statement.line, statement.op);
        }
        NodeBinding binding{statement, opset_, *graph_, symbols_, resolve_, {}, {}, {}, {}, {}};
        for (const auto& output : statement.outputs) binding.outputTypes.push_back(output.type);
        binding.outputsSet.assign(statement.outputs.size(), false);
        OpBuilder builder(binding);

        Node node;
        node.op = statement.op;
        node.line = statement.line;
        node.kernel = (*factory)(builder);
        for (const auto& argument : statement.arguments) {
            if (!binding.consumed.count(argument.name)) builder.fail("unexpected argument '" + argument.name + "'");
        }
        for (size_t i = 0; i < statement.outputs.size(); ++i) {
            if (!binding.outputsSet[i]) builder.fail("the op does not produce output '" + statement.outputs[i].name + "'");
        }
        node.inputs = std::move(binding.inputs);
        node.parameters = std::move(binding.parameters);
        for (size_t i = 0; i < statement.outputs.size(); ++i) {
            node.outputs.push_back(define(statement.outputs[i].name, binding.outputTypes[i], statement.line));
        }

        const bool known = std::all_of(node.inputs.begin(), node.inputs.end(), [&](int id) {
            return graph_->values[static_cast<size_t>(id)].constant.has_value();
        });
        if (known && allConcrete(node)) {
            std::vector<Tensor> results = evaluateNode(*graph_, node);
            for (size_t i = 0; i < results.size(); ++i) {
                graph_->values[static_cast<size_t>(node.outputs[i])].constant = Value(std::move(results[i]));
            }
            return;
        }
        graph_->nodes.push_back(std::move(node));
    }

    bool allConcrete(const Node& node) const {
        return std::all_of(node.outputs.begin(), node.outputs.end(), [&](int id) {
            return isConcrete(graph_->values[static_cast<size_t>(id)].type.shape);
        });
    }

    const Function& function_;
    const OpRegistry& registry_;
    const std::function<Value(const Literal&)>& resolve_;
    std::shared_ptr<Graph> graph_;
    std::unordered_map<std::string, int> symbols_;
    Opset opset_ = Opset::iOS15;
};

}  // namespace

std::optional<Opset> opsetNamed(std::string_view tag) {
    if (tag == "ios15") return Opset::iOS15;
    if (tag == "ios16") return Opset::iOS16;
    if (tag == "ios17") return Opset::iOS17;
    if (tag == "ios18") return Opset::iOS18;
    return std::nullopt;
}

std::shared_ptr<Graph> buildGraph(const Function& function, const OpRegistry& registry,
                                  const std::function<Value(const Literal&)>& resolve,
                                  const std::vector<Shape>* inputShapes) {
    return Builder(function, registry, resolve).build(inputShapes);
}

}  // namespace platform::coreml::runtime
