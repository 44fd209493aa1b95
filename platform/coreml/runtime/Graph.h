#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/coreml/runtime/Operation.h"

namespace platform::coreml::runtime {

// One variable of a loaded program. Variables known at load (constants and
// everything computed only from constants) carry their value.
struct ValueInfo {
    std::string name;
    ValueType type;
    std::optional<Value> constant;

    // The constant when it is a tensor; null otherwise.
    const Tensor* constantTensor() const { return constant && constant->isTensor() ? &constant->tensor() : nullptr; }
};

struct Node {
    std::string op;
    int line = 0;
    std::vector<int> inputs;   // value ids, in InputRef order
    std::vector<int> outputs;  // value ids
    // The small parameters the op read at load (equations, axes), for the
    // passes that rewrite the graph.
    std::map<std::string, Value, std::less<>> parameters;
    std::unique_ptr<Kernel> kernel;
};

// A validated program function, ready to run: nodes in an order where every
// input is produced before it is read.
struct Graph {
    std::vector<ValueInfo> values;
    std::vector<Node> nodes;
    std::vector<int> inputs;
    std::vector<int> outputs;
};

}  // namespace platform::coreml::runtime
