#include <algorithm>

#include "platform/coreml/runtime/NodeBinding.h"
#include "platform/coreml/runtime/Operation.h"
#include "platform/coreml/runtime/RuntimeError.h"

namespace platform::coreml::runtime {
namespace {

const Argument* findArgument(const Statement& statement, std::string_view name) {
    for (const auto& argument : statement.arguments) {
        if (argument.name == name) return &argument;
    }
    for (const auto& attribute : statement.attributes) {
        if (attribute.name == name) return &attribute;
    }
    return nullptr;
}

}  // namespace

const std::string& OpBuilder::op() const {
    return binding_.statement.op;
}

Opset OpBuilder::opset() const {
    return binding_.opset;
}

int OpBuilder::line() const {
    return binding_.statement.line;
}

void OpBuilder::fail(const std::string& message) const {
    throw ModelLoadError(ModelLoadError::Kind::invalidProgram, message, line(), op());
}

bool OpBuilder::has(std::string_view name) const {
    return findArgument(binding_.statement, name) != nullptr;
}

void OpBuilder::ignore(std::string_view name) {
    binding_.consumed.emplace(name);
}

namespace {

const Argument& requireArgument(const OpBuilder& builder, const Statement& statement, std::string_view name) {
    const Argument* argument = findArgument(statement, name);
    if (!argument) builder.fail("missing argument '" + std::string(name) + "'");
    return *argument;
}

int bindInput(NodeBinding& binding, const OpBuilder& builder, const Binding& item, std::string_view name) {
    int id = -1;
    if (const auto* variable = std::get_if<std::string>(&item)) {
        const auto found = binding.symbols.find(*variable);
        if (found == binding.symbols.end()) builder.fail("undefined variable '" + *variable + "'");
        id = found->second;
    } else {
        const auto& literal = std::get<Literal>(item);
        ValueInfo info{"", literal.type, binding.resolve(literal)};
        binding.graph.values.push_back(std::move(info));
        id = static_cast<int>(binding.graph.values.size()) - 1;
    }
    const auto& info = binding.graph.values[static_cast<size_t>(id)];
    if (info.type.dataType == DataType::String) {
        builder.fail("argument '" + std::string(name) + "' must be a tensor, not a string");
    }
    if (info.type.isState) builder.fail("argument '" + std::string(name) + "' is a model state, which is not supported");
    binding.inputs.push_back(id);
    return static_cast<int>(binding.inputs.size()) - 1;
}

}  // namespace

InputRef OpBuilder::input(std::string_view name) {
    const Argument& argument = requireArgument(*this, binding_.statement, name);
    if (argument.values.size() != 1 || argument.isTuple) fail("argument '" + std::string(name) + "' must be one value");
    binding_.consumed.emplace(name);
    return InputRef{bindInput(binding_, *this, argument.values.front(), name)};
}

std::optional<InputRef> OpBuilder::optionalInput(std::string_view name) {
    if (!has(name)) return std::nullopt;
    return input(name);
}

std::vector<InputRef> OpBuilder::inputList(std::string_view name) {
    const Argument& argument = requireArgument(*this, binding_.statement, name);
    binding_.consumed.emplace(name);
    std::vector<InputRef> inputs;
    for (const auto& item : argument.values) inputs.push_back(InputRef{bindInput(binding_, *this, item, name)});
    return inputs;
}

const ValueType& OpBuilder::typeOf(InputRef input) const {
    return binding_.graph.values[static_cast<size_t>(binding_.inputs.at(static_cast<size_t>(input.index)))].type;
}

const Tensor* OpBuilder::constantOf(InputRef input) const {
    return binding_.graph.values[static_cast<size_t>(binding_.inputs.at(static_cast<size_t>(input.index)))].constantTensor();
}

namespace {

// Strings and small tensors (equations, axes, modes) stay on the node for the
// passes that rewrite the graph after load; weights do not.
constexpr int64_t kRecordedParameterElements = 64;

void record(NodeBinding& binding, std::string_view name, const Value& value) {
    if (value.isString() || value.tensor().count() <= kRecordedParameterElements) {
        binding.parameters.insert_or_assign(std::string(name), value);
    }
}

Value resolvedValue(NodeBinding& binding, const OpBuilder& builder, std::string_view name) {
    const Argument& argument = requireArgument(builder, binding.statement, name);
    binding.consumed.emplace(name);
    if (argument.values.size() != 1 || argument.isTuple) {
        builder.fail("argument '" + std::string(name) + "' must be one value");
    }
    const Binding& item = argument.values.front();
    if (const auto* variable = std::get_if<std::string>(&item)) {
        const auto found = binding.symbols.find(*variable);
        if (found == binding.symbols.end()) builder.fail("undefined variable '" + *variable + "'");
        const auto& info = binding.graph.values[static_cast<size_t>(found->second)];
        if (!info.constant) builder.fail("argument '" + std::string(name) + "' must be known when the model loads");
        return *info.constant;
    }
    return binding.resolve(std::get<Literal>(item));
}

Value constantValue(NodeBinding& binding, const OpBuilder& builder, std::string_view name) {
    Value value = resolvedValue(binding, builder, name);
    record(binding, name, value);
    return value;
}

}  // namespace

Tensor OpBuilder::constant(std::string_view name) {
    Value value = constantValue(binding_, *this, name);
    if (!value.isTensor()) fail("argument '" + std::string(name) + "' must be a tensor");
    return value.tensor();
}

std::optional<Tensor> OpBuilder::optionalConstant(std::string_view name) {
    if (!has(name)) return std::nullopt;
    return constant(name);
}

int64_t OpBuilder::integer(std::string_view name) {
    Tensor value = constant(name);
    require(value.count() == 1 && isInteger(value.dataType()),
            "argument '" + std::string(name) + "' must be one integer");
    return value.toInts().front();
}

int64_t OpBuilder::integer(std::string_view name, int64_t fallback) {
    return has(name) ? integer(name) : fallback;
}

std::vector<int64_t> OpBuilder::integers(std::string_view name) {
    Tensor value = constant(name);
    require(value.rank() <= 1 && isInteger(value.dataType()),
            "argument '" + std::string(name) + "' must be a list of integers");
    return value.toInts();
}

std::vector<int64_t> OpBuilder::integers(std::string_view name, std::vector<int64_t> fallback) {
    return has(name) ? integers(name) : std::move(fallback);
}

double OpBuilder::number(std::string_view name) {
    Tensor value = constant(name);
    require(value.count() == 1 && isNumeric(value.dataType()), "argument '" + std::string(name) + "' must be one number");
    return value.number(0);
}

double OpBuilder::number(std::string_view name, double fallback) {
    return has(name) ? number(name) : fallback;
}

bool OpBuilder::boolean(std::string_view name, bool fallback) {
    if (!has(name)) return fallback;
    Tensor value = constant(name);
    require(value.count() == 1 && value.dataType() == DataType::Bool, "argument '" + std::string(name) + "' must be a bool");
    return value.number(0) != 0;
}

std::string OpBuilder::string(std::string_view name) {
    Value value = constantValue(binding_, *this, name);
    if (!value.isString()) fail("argument '" + std::string(name) + "' must be a string");
    return value.string();
}

std::string OpBuilder::string(std::string_view name, std::string fallback) {
    return has(name) ? string(name) : std::move(fallback);
}

size_t OpBuilder::outputCount() const {
    return binding_.outputTypes.size();
}

const ValueType& OpBuilder::declaredOutput(size_t index) const {
    return binding_.statement.outputs.at(index).type;
}

void OpBuilder::setOutput(size_t index, DataType type, Shape shape) {
    if (index >= outputCount()) fail("the program declares " + std::to_string(outputCount()) + " outputs, the op makes more");
    const ValueType& declared = declaredOutput(index);
    const std::string& outputName = binding_.statement.outputs[index].name;
    if (declared.dataType != type) {
        fail("output '" + outputName + "' is " + std::string(name(type)) + ", the program declares " +
             std::string(name(declared.dataType)));
    }
    if (!shapesCompatible(declared.shape, shape)) {
        fail("output '" + outputName + "' has shape " + describe(shape) + ", the program declares " +
             describe(declared.shape));
    }
    for (size_t i = 0; i < shape.size(); ++i) {
        if (shape[i] == kUnknownDim) shape[i] = declared.shape[i];
    }
    binding_.outputTypes[index] = ValueType{type, std::move(shape), false};
    binding_.outputsSet[index] = true;
}

void OpBuilder::setOutput(size_t index, Shape shape) {
    if (index >= outputCount()) fail("the program declares " + std::to_string(outputCount()) + " outputs, the op makes more");
    setOutput(index, declaredOutput(index).dataType, std::move(shape));
}

void OpBuilder::requireFloat(InputRef input, std::string_view what) const {
    require(isFloat(dataTypeOf(input)), std::string(what) + " must be a float tensor, not " +
                                            std::string(name(dataTypeOf(input))));
}

void OpBuilder::requireRank(InputRef input, size_t rank, std::string_view what) const {
    require(shapeOf(input).size() == rank, std::string(what) + " must have rank " + std::to_string(rank) +
                                               ", has shape " + describe(shapeOf(input)));
}

}  // namespace platform::coreml::runtime
