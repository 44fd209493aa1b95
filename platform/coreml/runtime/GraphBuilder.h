#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "platform/coreml/runtime/Graph.h"
#include "platform/coreml/runtime/Program.h"

namespace platform::coreml::runtime {

std::optional<Opset> opsetNamed(std::string_view tag);

// Turns one function of a program into a graph, validating every statement:
// the op must be known, its arguments defined and typed as it needs, its
// outputs as declared. Nodes whose inputs are all known at load are computed
// here and become constants. `inputShapes`, when given, replaces the declared
// input shapes (to run a program with open dimensions on concrete ones).
// Throws ModelLoadError naming the line and the op.
std::shared_ptr<Graph> buildGraph(const Function& function, const OpRegistry& registry,
                                  const std::function<Value(const Literal&)>& resolve,
                                  const std::vector<Shape>* inputShapes = nullptr);

}  // namespace platform::coreml::runtime
