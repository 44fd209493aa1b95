#include "platform/coreml/runtime/ValueUses.h"

#include <utility>

namespace platform::coreml::runtime {

ValueUses::ValueUses(const Graph& graph)
    : readers(graph.values.size(), 0), producer(graph.values.size(), -1), lastReader(graph.values.size(), -1) {
    for (size_t n = 0; n < graph.nodes.size(); ++n) {
        for (int id : graph.nodes[n].inputs) {
            ++readers[static_cast<size_t>(id)];
            lastReader[static_cast<size_t>(id)] = static_cast<int>(n);
        }
        for (int id : graph.nodes[n].outputs) producer[static_cast<size_t>(id)] = static_cast<int>(n);
    }
    for (int id : graph.outputs) ++readers[static_cast<size_t>(id)];
}

void removeNodes(Graph& graph, const std::vector<bool>& removed) {
    std::vector<Node> kept;
    for (size_t n = 0; n < graph.nodes.size(); ++n) {
        if (!removed[n]) kept.push_back(std::move(graph.nodes[n]));
    }
    graph.nodes = std::move(kept);
}

}  // namespace platform::coreml::runtime
