#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/coreml/runtime/BufferPool.h"
#include "platform/coreml/runtime/Graph.h"

namespace platform::coreml::runtime {

// What one prediction leaves for the next.
struct CarriedWork;

// Runs a graph. One executor serves concurrent predictions: every run has its
// own table of values, and intermediates are dropped after their last reader
// so that their buffers serve later nodes.
//
// Work is carried over from one prediction to the next: a node whose inputs
// depend only on constants and on model inputs whose bytes equal those of the
// previous prediction is not run again; its results from then are used. The
// text decoder is handed one encoder output for every token of a window, so
// everything computed from it alone (the cross-attention keys and values) is
// computed once per window.
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
    // Per value id: the positions of the model inputs its contents depend on.
    std::vector<std::vector<int>> dependsOn_;
    // Per node: the outputs read by nodes that depend on more inputs than this
    // one, or returned; these are the ones carried over.
    std::vector<std::vector<int>> carriedOutputs_;
    mutable BufferPool pool_;
    mutable std::mutex carriedMutex_;
    mutable std::shared_ptr<const CarriedWork> carried_;
};

// Runs one node whose inputs are all known, while the graph is built.
std::vector<Tensor> evaluateNode(const Graph& graph, const Node& node);

}  // namespace platform::coreml::runtime
