#pragma once

#include <vector>

#include "platform/coreml/runtime/Graph.h"

namespace platform::coreml::runtime {

// Who produces and who reads each value of a graph, for the passes that
// rewrite it after load. Indexed by value id.
struct ValueUses {
    explicit ValueUses(const Graph& graph);

    std::vector<int> readers;     // how many node inputs read it, a function output counting as one
    std::vector<int> producer;    // the node computing it, -1 for inputs and constants
    std::vector<int> lastReader;  // the last node reading it, -1 when none does
};

// Removes the nodes marked in `removed` (by node index), keeping the order of
// the others.
void removeNodes(Graph& graph, const std::vector<bool>& removed);

}  // namespace platform::coreml::runtime
