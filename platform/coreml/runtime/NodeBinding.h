#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/coreml/runtime/Graph.h"
#include "platform/coreml/runtime/Program.h"

namespace platform::coreml::runtime {

// The state behind an OpBuilder while one statement becomes a node.
struct NodeBinding {
    const Statement& statement;
    Opset opset;
    Graph& graph;
    const std::unordered_map<std::string, int>& symbols;
    // Turns a literal (inline or in the weight file) into a value.
    std::function<Value(const Literal&)> resolve;

    std::vector<int> inputs;
    std::vector<ValueType> outputTypes;
    std::vector<bool> outputsSet;
    std::set<std::string, std::less<>> consumed;
    std::map<std::string, Value, std::less<>> parameters;
};

}  // namespace platform::coreml::runtime
