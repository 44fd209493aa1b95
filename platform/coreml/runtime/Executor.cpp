#include "platform/coreml/runtime/Executor.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstring>
#include <map>
#include <unordered_map>
#include <utility>

#include "platform/coreml/runtime/RuntimeError.h"
#include "platform/coreml/runtime/WorkerPool.h"

namespace platform::coreml::runtime {

// Everything in it is immutable once published; runs that started from it may
// still be reading it while a newer one replaces it.
struct CarriedWork {
    // Private copies, by input position; none for an input that keeps
    // changing (see kProbeEvery).
    std::vector<Tensor> inputs;
    std::vector<int> changedRuns;                       // consecutive runs with other bytes, by input position
    std::unordered_map<int, Tensor> values;             // by value id
    std::map<std::pair<size_t, int>, Tensor> prepared;  // by node index and input slot
};

namespace {

// An input whose bytes changed in two runs in a row (a decoder's key-value
// cache, written at every step) is not copied for comparison any more: it
// counts as changed, which never returns stale work. Every so many runs it is
// copied again, in case it has settled.
constexpr int kCopiedWhileChanging = 2;
constexpr int kProbeEvery = 8;

// Large idle buffers a model keeps between predictions: a decoder step's and
// most of the encoder's stay, so that the next prediction does not wait for
// fresh pages; the encoder's largest ones go back to the system.
constexpr size_t kIdleLargeBuffersKept = size_t{64} << 20;

// How one run relates to the previous one.
struct Carrying {
    const CarriedWork* previous = nullptr;
    CarriedWork* next = nullptr;
    std::vector<bool> unchanged;  // per input position: same bytes as in `previous`
    const std::vector<std::vector<int>>* dependsOn = nullptr;

    bool holds(const std::vector<int>& inputs) const {
        if (!previous) return false;
        return std::all_of(inputs.begin(), inputs.end(), [&](int position) { return unchanged[static_cast<size_t>(position)]; });
    }
};

class NodeContext final : public KernelContext {
public:
    NodeContext(const Graph& graph, const Node& node, size_t index, std::vector<Tensor>& table, BufferPool* pool,
                Carrying* carrying)
        : graph_(graph), node_(node), index_(index), table_(table), pool_(pool), carrying_(carrying) {}

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

    Tensor preparedInput(InputRef input, const std::function<Tensor(const Tensor&)>& prepare) override {
        if (!carrying_) return prepare(this->input(input));
        // Worth keeping only when the input outlives this node's own inputs:
        // otherwise the node itself is carried over whenever the input is.
        const auto& inputDepends = (*carrying_->dependsOn)[static_cast<size_t>(node_.inputs.at(static_cast<size_t>(input.index)))];
        const auto& nodeDepends = (*carrying_->dependsOn)[static_cast<size_t>(node_.outputs.front())];
        if (inputDepends.size() == nodeDepends.size()) return prepare(this->input(input));
        const auto key = std::make_pair(index_, input.index);
        Tensor result;
        if (carrying_->holds(inputDepends)) {
            if (auto found = carrying_->previous->prepared.find(key); found != carrying_->previous->prepared.end()) {
                result = found->second;
            }
        }
        if (!result.isValid()) result = prepare(this->input(input));
        carrying_->next->prepared[key] = result;
        return result;
    }

    Tensor settledInput(InputRef input, const std::function<Tensor(const Tensor&)>& prepare) override {
        const int id = node_.inputs.at(static_cast<size_t>(input.index));
        if (!carrying_ || !carrying_->holds((*carrying_->dependsOn)[static_cast<size_t>(id)])) return Tensor();
        return preparedInput(input, prepare);
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
    size_t index_;
    std::vector<Tensor>& table_;
    BufferPool* pool_;
    Carrying* carrying_;
};

std::vector<int> merged(const std::vector<int>& a, const std::vector<int>& b) {
    std::vector<int> result;
    std::set_union(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(result));
    return result;
}

// Inputs are compared and copied on the workers: a decoder step's encoder
// output alone is 1.5 MB, compared at every step. A core reads only so fast
// by itself, so the pieces are small enough for every worker to take some.
constexpr int64_t kBytesPerTask = int64_t{1} << 16;

template <typename Range>
void forEachByteRange(size_t bytes, Range&& range) {
    const auto size = static_cast<int64_t>(bytes);
    parallelFor((size + kBytesPerTask - 1) / kBytesPerTask, 1, [&](int64_t begin, int64_t end) {
        const int64_t first = begin * kBytesPerTask;
        range(static_cast<size_t>(first), static_cast<size_t>(std::min(size, end * kBytesPerTask) - first));
    });
}

bool sameBytes(const Tensor& a, const Tensor& b) {
    if (!a.isValid() || !b.isValid() || a.dataType() != b.dataType() || a.shape() != b.shape()) return false;
    std::atomic<bool> differ{false};
    forEachByteRange(a.byteSize(), [&](size_t offset, size_t count) {
        if (!differ.load(std::memory_order_relaxed) && std::memcmp(a.bytes() + offset, b.bytes() + offset, count) != 0) {
            differ.store(true, std::memory_order_relaxed);
        }
    });
    return !differ.load();
}

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

    dependsOn_.resize(g.values.size());
    for (size_t i = 0; i < g.inputs.size(); ++i) dependsOn_[static_cast<size_t>(g.inputs[i])] = {static_cast<int>(i)};
    for (const Node& node : g.nodes) {
        std::vector<int> depends;
        for (int id : node.inputs) depends = merged(depends, dependsOn_[static_cast<size_t>(id)]);
        for (int id : node.outputs) dependsOn_[static_cast<size_t>(id)] = depends;
    }
    std::vector<size_t> producer(g.values.size(), g.nodes.size());
    for (size_t n = 0; n < g.nodes.size(); ++n) {
        for (int id : g.nodes[n].outputs) producer[static_cast<size_t>(id)] = n;
    }
    std::vector<bool> carried(g.values.size(), false);
    for (int id : g.outputs) carried[static_cast<size_t>(id)] = producer[static_cast<size_t>(id)] < g.nodes.size();
    for (const Node& node : g.nodes) {
        for (int id : node.inputs) {
            // A reader that depends on more inputs than the value may run when
            // the value's own inputs have not changed.
            const bool produced = producer[static_cast<size_t>(id)] < g.nodes.size();
            if (produced && dependsOn_[static_cast<size_t>(id)] != dependsOn_[static_cast<size_t>(node.outputs.front())]) {
                carried[static_cast<size_t>(id)] = true;
            }
        }
    }
    carriedOutputs_.resize(g.nodes.size());
    for (size_t n = 0; n < g.nodes.size(); ++n) {
        for (int id : g.nodes[n].outputs) {
            if (carried[static_cast<size_t>(id)]) carriedOutputs_[n].push_back(id);
        }
    }
}

std::vector<Tensor> Executor::run(std::vector<Tensor> inputs, const std::function<void()>& checkpoint) const {
    const Graph& g = *graph_;
    // The workers wake while the inputs are compared and the first, serial,
    // nodes run, instead of when the first parallel node needs them.
    wakeWorkers();
    std::shared_ptr<const CarriedWork> previous;
    {
        std::lock_guard lock(carriedMutex_);
        previous = carried_;
    }
    auto next = std::make_shared<CarriedWork>();
    Carrying carrying{previous.get(), next.get(), std::vector<bool>(g.inputs.size(), false), &dependsOn_};

    // The run reads private copies of its inputs, never the caller's storage,
    // so that what it leaves behind cannot change when the caller reuses it.
    // An input read from the caller's storage has no copy, so nothing computed
    // from it is ever carried into a later run.
    std::vector<Tensor> table(g.values.size());
    next->inputs.resize(g.inputs.size());
    next->changedRuns.assign(g.inputs.size(), 0);
    for (size_t i = 0; i < g.inputs.size(); ++i) {
        Tensor& given = inputs.at(i);
        Tensor& slot = table[static_cast<size_t>(g.inputs[i])];
        if (previous && sameBytes(previous->inputs[i], given)) {
            carrying.unchanged[i] = true;
            slot = next->inputs[i] = previous->inputs[i];
            continue;
        }
        const int changed = next->changedRuns[i] = previous ? previous->changedRuns[i] + 1 : 1;
        if (changed > kCopiedWhileChanging && changed % kProbeEvery != 0) {
            slot = std::move(given);
            continue;
        }
        Tensor copy(given.dataType(), given.shape(), pool_.acquire(given.byteSize()));
        std::byte* target = copy.mutableBytes();
        forEachByteRange(given.byteSize(), [&](size_t offset, size_t count) { std::memcpy(target + offset, given.bytes() + offset, count); });
        slot = next->inputs[i] = std::move(copy);
    }

    for (size_t n = 0; n < g.nodes.size(); ++n) {
        if (checkpoint) checkpoint();
        const Node& node = g.nodes[n];
        if (!node.outputs.empty() && carrying.holds(dependsOn_[static_cast<size_t>(node.outputs.front())])) {
            for (int id : carriedOutputs_[n]) table[static_cast<size_t>(id)] = previous->values.at(id);
        } else {
            NodeContext context(g, node, n, table, &pool_, &carrying);
            node.kernel->run(context);
        }
        for (int id : carriedOutputs_[n]) next->values[id] = table[static_cast<size_t>(id)];
        for (int id : releaseAfter_[n]) table[static_cast<size_t>(id)] = Tensor();
    }
    {
        std::lock_guard lock(carriedMutex_);
        carried_ = std::move(next);
    }
    // The work carried before this run is dropped first, so that its buffers
    // are among those given back.
    previous.reset();
    pool_.keepLargeAtMost(kIdleLargeBuffersKept);

    std::vector<Tensor> outputs;
    outputs.reserve(g.outputs.size());
    for (int id : g.outputs) {
        const auto& info = g.values[static_cast<size_t>(id)];
        // Outputs are carried over too: the caller gets them read-only.
        outputs.push_back(info.constant ? info.constant->tensor() : table[static_cast<size_t>(id)].readOnly());
    }
    return outputs;
}

std::vector<Tensor> evaluateNode(const Graph& graph, const Node& node) {
    std::vector<Tensor> table(graph.values.size());
    NodeContext context(graph, node, 0, table, nullptr, nullptr);
    node.kernel->run(context);
    std::vector<Tensor> outputs;
    for (int id : node.outputs) outputs.push_back(table[static_cast<size_t>(id)]);
    return outputs;
}

}  // namespace platform::coreml::runtime
