#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "platform/coreml/runtime/BufferPool.h"
#include "platform/coreml/runtime/Graph.h"

namespace platform::coreml::runtime {

// Runs a graph. One executor serves concurrent predictions: every run has its
// own table of values, and intermediates are dropped after their last reader
// so that their buffers serve later nodes.
class Executor {
public:
    explicit Executor(std::shared_ptr<const Graph> graph);

    // `inputs` in the order of the graph's inputs, with the graph's types and
    // shapes. `checkpoint` runs before every node; it throws to stop the run.
    std::vector<Tensor> run(std::vector<Tensor> inputs, const std::function<void()>& checkpoint = {}) const;

    const Graph& graph() const { return *graph_; }

private:
    std::shared_ptr<const Graph> graph_;
    std::vector<std::vector<int>> releaseAfter_;
    mutable BufferPool pool_;
};

// Runs one node whose inputs are all known, while the graph is built.
std::vector<Tensor> evaluateNode(const Graph& graph, const Node& node);

}  // namespace platform::coreml::runtime
