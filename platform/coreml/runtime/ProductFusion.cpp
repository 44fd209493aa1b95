#include "platform/coreml/runtime/ProductFusion.h"

#include <algorithm>
#include <map>
#include <optional>
#include <vector>

#include "platform/coreml/runtime/ValueUses.h"
#include "platform/coreml/runtime/ops/OpSupport.h"
#include "platform/coreml/runtime/ops/WeightMatrix.h"

namespace platform::coreml::runtime {
namespace {

// One convolution's part of the fused node.
struct Member {
    size_t node = 0;
    WeightMatrix weight;
    std::optional<Tensor> bias;  // fp32
};

bool allOnes(const Node& node, const char* name) {
    const auto found = node.parameters.find(name);
    if (found == node.parameters.end()) return true;
    if (!found->second.isTensor()) return false;
    const Tensor& values = found->second.tensor();
    for (int64_t i = 0; i < values.count(); ++i) {
        if (values.number(i) != 1) return false;
    }
    return true;
}

// The node as a product W x + bias over x [1, cin, frames...] with more than
// one frame, when it is one.
std::optional<Member> memberAt(const Graph& graph, size_t n) {
    const Node& node = graph.nodes[n];
    if (node.op != "conv" || node.inputs.size() < 2 || node.inputs.size() > 3 || node.outputs.size() != 1) return std::nullopt;
    const Tensor* weight = graph.values[static_cast<size_t>(node.inputs[1])].constantTensor();
    const Tensor* bias = node.inputs.size() == 3 ? graph.values[static_cast<size_t>(node.inputs[2])].constantTensor() : nullptr;
    if (!weight || (node.inputs.size() == 3 && !bias) || !allOnes(node, "strides")) return std::nullopt;
    const Shape& xs = graph.values[static_cast<size_t>(node.inputs[0])].type.shape;
    const Shape& out = graph.values[static_cast<size_t>(node.outputs[0])].type.shape;
    const Shape& ws = weight->shape();
    if (xs.size() < 3 || !isConcrete(xs) || xs[0] != 1 || ws.size() != xs.size() || ws[1] != xs[1]) return std::nullopt;
    if (!std::all_of(ws.begin() + 2, ws.end(), [](int64_t k) { return k == 1; })) return std::nullopt;
    if (out.size() != xs.size() || !std::equal(xs.begin() + 2, xs.end(), out.begin() + 2) || out[1] != ws[0]) return std::nullopt;
    if (countOf(Shape(xs.begin() + 2, xs.end())) < 2) return std::nullopt;
    return Member{n, WeightMatrix(*weight, ws[0], ws[1]), bias ? std::optional<Tensor>(bias->asFloat32()) : std::nullopt};
}

std::unique_ptr<Kernel> sharedInputKernel(std::vector<Member> members, int64_t frames) {
    return makeKernel([members = std::move(members), frames](KernelContext& context) {
        const Tensor x = floatInput(context, InputRef{0});
        std::vector<WeightMatrix::Share> products;
        for (size_t i = 0; i < members.size(); ++i) {
            const Member& m = members[i];
            products.push_back({&m.weight, m.bias ? m.bias->data<float>() : nullptr, &context.allocateOutput(i), 0});
        }
        WeightMatrix::timesEach(products, x.data<float>(), frames, context);
    });
}

}  // namespace

void fuseSharedInputProducts(Graph& graph) {
    std::map<int, std::vector<Member>> byInput;
    for (size_t n = 0; n < graph.nodes.size(); ++n) {
        if (auto member = memberAt(graph, n)) byInput[graph.nodes[n].inputs[0]].push_back(std::move(*member));
    }
    std::vector<bool> removed(graph.nodes.size(), false);
    for (auto& [input, members] : byInput) {
        if (members.size() < 2) continue;
        const Shape& xs = graph.values[static_cast<size_t>(input)].type.shape;
        // In the place of the first: every output is then ready before its
        // first reader, and the input was computed before any of them.
        Node& fused = graph.nodes[members.front().node];
        fused.inputs = {input};
        fused.outputs.clear();
        for (const Member& m : members) {
            fused.outputs.push_back(graph.nodes[m.node].outputs.front());
            if (m.node != members.front().node) removed[m.node] = true;
        }
        fused.parameters.clear();
        fused.kernel = sharedInputKernel(std::move(members), countOf(Shape(xs.begin() + 2, xs.end())));
    }
    removeNodes(graph, removed);
}

}  // namespace platform::coreml::runtime
