#include "platform/coreml/runtime/Executor.h"

#include <cassert>

#include "platform/coreml/runtime/RuntimeError.h"
#include "platform/coreml/runtime/WorkerPool.h"

namespace platform::coreml::runtime {
namespace {

class NodeContext final : public KernelContext {
public:
    NodeContext(const Graph& graph, const Node& node, std::vector<Tensor>& table, BufferPool* pool)
        : graph_(graph), node_(node), table_(table), pool_(pool) {}

    const Tensor& input(InputRef input) const override {
        const int id = node_.inputs.at(static_cast<size_t>(input.index));
        const auto& info = graph_.values[static_cast<size_t>(id)];
        if (info.constant) return info.constant->tensor();
        return table_[static_cast<size_t>(id)];
    }

    const Shape& outputShape(size_t index) const override { return info(index).type.shape; }
    DataType outputType(size_t index) const override { return info(index).type.dataType; }

    Tensor& allocateOutput(size_t index) override {
        const auto& type = info(index).type;
        Tensor& slot = table_[static_cast<size_t>(node_.outputs.at(index))];
        if (pool_) {
            const size_t bytes = static_cast<size_t>(countOf(type.shape)) * elementSize(type.dataType);
            slot = Tensor(type.dataType, type.shape, pool_->acquire(bytes));
        } else {
            slot = Tensor(type.dataType, type.shape);
        }
        return slot;
    }

    void setOutput(size_t index, Tensor tensor) override {
        const auto& type = info(index).type;
        assert(tensor.dataType() == type.dataType && tensor.count() == countOf(type.shape));
        table_[static_cast<size_t>(node_.outputs.at(index))] = tensor.reshaped(type.shape);
    }

    void parallelFor(int64_t count, int64_t grain,
                     const std::function<void(int64_t, int64_t)>& body) const override {
        runtime::parallelFor(count, grain, body);
    }

private:
    const ValueInfo& info(size_t index) const {
        return graph_.values[static_cast<size_t>(node_.outputs.at(index))];
    }

    const Graph& graph_;
    const Node& node_;
    std::vector<Tensor>& table_;
    BufferPool* pool_;
};

}  // namespace

Executor::Executor(std::shared_ptr<const Graph> graph) : graph_(std::move(graph)) {
    const Graph& g = *graph_;
    std::vector<int> lastUse(g.values.size(), -1);
    for (size_t n = 0; n < g.nodes.size(); ++n) {
        for (int id : g.nodes[n].inputs) lastUse[static_cast<size_t>(id)] = static_cast<int>(n);
    }
    for (int id : g.outputs) lastUse[static_cast<size_t>(id)] = -1;
    releaseAfter_.resize(g.nodes.size());
    for (size_t id = 0; id < lastUse.size(); ++id) {
        if (lastUse[id] >= 0 && !g.values[id].constant) releaseAfter_[static_cast<size_t>(lastUse[id])].push_back(static_cast<int>(id));
    }
}

std::vector<Tensor> Executor::run(std::vector<Tensor> inputs, const std::function<void()>& checkpoint) const {
    const Graph& g = *graph_;
    std::vector<Tensor> table(g.values.size());
    for (size_t i = 0; i < g.inputs.size(); ++i) table[static_cast<size_t>(g.inputs[i])] = std::move(inputs.at(i));
    for (size_t n = 0; n < g.nodes.size(); ++n) {
        if (checkpoint) checkpoint();
        const Node& node = g.nodes[n];
        NodeContext context(g, node, table, &pool_);
        node.kernel->run(context);
        for (int id : releaseAfter_[n]) table[static_cast<size_t>(id)] = Tensor();
    }
    std::vector<Tensor> outputs;
    outputs.reserve(g.outputs.size());
    for (int id : g.outputs) {
        const auto& info = g.values[static_cast<size_t>(id)];
        outputs.push_back(info.constant ? info.constant->tensor() : table[static_cast<size_t>(id)]);
    }
    return outputs;
}

std::vector<Tensor> evaluateNode(const Graph& graph, const Node& node) {
    std::vector<Tensor> table(graph.values.size());
    NodeContext context(graph, node, table, nullptr);
    node.kernel->run(context);
    std::vector<Tensor> outputs;
    for (int id : node.outputs) outputs.push_back(table[static_cast<size_t>(id)]);
    return outputs;
}

}  // namespace platform::coreml::runtime
