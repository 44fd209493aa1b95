#include "platform/coreml/runtime/ElementwiseFusion.h"

#include <immintrin.h>

#include <algorithm>
#include <map>
#include <optional>

#include "platform/coreml/runtime/ValueUses.h"
#include "platform/coreml/runtime/ops/BroadcastLayout.h"
#include "platform/coreml/runtime/ops/FloatBlocks.h"
#include "platform/coreml/runtime/ops/OpSupport.h"
#include "platform/coreml/runtime/ops/ProductSum.h"

namespace platform::coreml::runtime {
namespace {

constexpr int64_t kElementsPerTask = 16384;

enum class Arithmetic { add, sub, mul };

std::optional<Arithmetic> arithmeticOf(const std::string& op) {
    if (op == "add") return Arithmetic::add;
    if (op == "sub") return Arithmetic::sub;
    if (op == "mul") return Arithmetic::mul;
    return std::nullopt;
}

float combine(Arithmetic op, float x, float y) {
    switch (op) {
        case Arithmetic::add: return x + y;
        case Arithmetic::sub: return x - y;
        case Arithmetic::mul: return x * y;
    }
    return 0;
}

__attribute__((target("avx"))) void combineVectorised(Arithmetic op, const float* x, const float* y, float* out,
                                                      int64_t n) {
    int64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 a = _mm256_loadu_ps(x + i), b = _mm256_loadu_ps(y + i);
        const __m256 r = op == Arithmetic::add ? _mm256_add_ps(a, b) : op == Arithmetic::sub ? _mm256_sub_ps(a, b) : _mm256_mul_ps(a, b);
        _mm256_storeu_ps(out + i, r);
    }
    for (; i < n; ++i) out[i] = combine(op, x[i], y[i]);
}

void combineRun(Arithmetic op, const float* x, const float* y, float* out, int64_t n) {
    if (elementwiseFusionInstructions() == InstructionSet::avx2) return combineVectorised(op, x, y, out, n);
    for (int64_t i = 0; i < n; ++i) out[i] = combine(op, x[i], y[i]);
}

// An operand of one step: an input of the fused node, or an earlier step.
struct Operand {
    bool leaf = true;
    size_t index = 0;
};

struct Step {
    Arithmetic op;
    Operand x, y;
};

// The leaves of a product sum a * b + c * d: a cache merged with its new
// entry through the update mask, cache * keep + entry * slot.
struct ProductSum {
    size_t a, b, c, d;
};

std::optional<ProductSum> productSumOf(const std::vector<Step>& steps) {
    if (steps.size() != 3 || steps[2].op != Arithmetic::add || steps[2].x.leaf || steps[2].y.leaf) return std::nullopt;
    const Step& left = steps[steps[2].x.index];
    const Step& right = steps[steps[2].y.index];
    if (steps[2].x.index == steps[2].y.index || left.op != Arithmetic::mul || right.op != Arithmetic::mul) return std::nullopt;
    if (!left.x.leaf || !left.y.leaf || !right.x.leaf || !right.y.leaf) return std::nullopt;
    return ProductSum{left.x.index, left.y.index, right.x.index, right.y.index};
}

// Evaluates the steps over flat blocks of the result; every input is read
// once, broadcast where its shape says so.
class FusedKernel final : public Kernel {
public:
    FusedKernel(const std::vector<Shape>& leaves, std::vector<Step> steps, const Shape& result)
        : steps_(std::move(steps)), productSum_(productSumOf(steps_)), layout_(leaves, result), leafCount_(leaves.size()) {}

    void run(KernelContext& context) const override {
        std::vector<const Tensor*> leaves;
        // A broadcast leaf is widened once, not again for every block that repeats it.
        std::vector<Tensor> widened(leafCount_);
        for (size_t k = 0; k < leafCount_; ++k) {
            leaves.push_back(&context.input(InputRef{static_cast<int>(k)}));
            if (!layout_.isDense(k) && !layout_.isUniform(k)) widened[k] = floatInput(context, InputRef{static_cast<int>(k)});
        }
        Tensor& output = context.allocateOutput(0);
        if (productSum_ && halfOrFloat(output) &&
            std::all_of(leaves.begin(), leaves.end(), [](const Tensor* leaf) { return halfOrFloat(*leaf); })) {
            const auto factor = [&](size_t k) {
                return ProductFactor{k, leaves[k], widened[k].isValid() ? widened[k].data<float>() : nullptr};
            };
            const ProductFactor factors[4] = {factor(productSum_->a), factor(productSum_->b), factor(productSum_->c),
                                              factor(productSum_->d)};
            context.parallelFor(output.count(), kElementsPerTask, [&](int64_t begin, int64_t end) {
                productSumOver(layout_, factors, begin, end, output, begin);
            });
            return;
        }
        context.parallelFor(output.count(), kElementsPerTask, [&](int64_t begin, int64_t end) {
            const auto scratch = std::make_unique_for_overwrite<float[]>((leafCount_ + steps_.size() + 1) * static_cast<size_t>(kFloatBlock));
            std::vector<const float*> values(leafCount_ + steps_.size());
            const auto buffer = [&](size_t slot) { return scratch.get() + slot * static_cast<size_t>(kFloatBlock); };
            for (size_t k = 0; k < leafCount_; ++k) {
                if (!layout_.isUniform(k)) continue;
                std::fill_n(buffer(k), kFloatBlock, static_cast<float>(leaves[k]->number(0)));
                values[k] = buffer(k);
            }
            for (int64_t at = begin, n = 0; at < end; at += n) {
                n = layout_.blockLength(at, std::min(kFloatBlock, end - at));
                for (size_t k = 0; k < leafCount_; ++k) {
                    if (layout_.isDense(k)) {
                        values[k] = readFloats(*leaves[k], at, n, buffer(k));
                    } else if (!layout_.isUniform(k)) {
                        values[k] = layout_.read(k, widened[k].data<float>(), at, n, buffer(k));
                    }
                }
                float* target = nullptr;
                for (size_t s = 0; s < steps_.size(); ++s) {
                    const Step& step = steps_[s];
                    const float* x = values[step.x.leaf ? step.x.index : leafCount_ + step.x.index];
                    const float* y = values[step.y.leaf ? step.y.index : leafCount_ + step.y.index];
                    target = s + 1 == steps_.size() ? floatTarget(output, at, buffer(leafCount_ + s)) : buffer(leafCount_ + s);
                    combineRun(step.op, x, y, target, n);
                    values[leafCount_ + s] = target;
                }
                writeFloats(output, at, n, target);
            }
        });
    }

private:
    static bool halfOrFloat(const Tensor& tensor) {
        return tensor.dataType() == DataType::Float16 || tensor.dataType() == DataType::Float32;
    }

    std::vector<Step> steps_;
    std::optional<ProductSum> productSum_;
    BroadcastLayout layout_;
    size_t leafCount_;
};

class Fusion {
public:
    explicit Fusion(Graph& graph) : graph_(graph), uses_(graph) {}

    void run() {
        std::vector<bool> absorbed(graph_.nodes.size(), false);
        for (size_t n = graph_.nodes.size(); n-- > 0;) {
            Node& root = graph_.nodes[n];
            if (absorbed[n] || !fusible(root)) continue;
            if (std::none_of(root.inputs.begin(), root.inputs.end(), [&](int id) { return absorbable(id, root); })) continue;
            std::vector<int> leaves;
            std::vector<Step> steps;
            std::map<int, size_t> leafIndex;
            build(n, leaves, leafIndex, steps, absorbed);
            std::vector<Shape> leafShapes;
            for (int id : leaves) leafShapes.push_back(graph_.values[static_cast<size_t>(id)].type.shape);
            root.inputs = leaves;
            root.kernel = std::make_unique<FusedKernel>(leafShapes, std::move(steps), shapeOf(root.outputs.front()));
        }
        removeNodes(graph_, absorbed);
    }

private:
    const Shape& shapeOf(int id) const { return graph_.values[static_cast<size_t>(id)].type.shape; }
    DataType typeOf(int id) const { return graph_.values[static_cast<size_t>(id)].type.dataType; }

    bool fusible(const Node& node) const {
        if (!arithmeticOf(node.op) || node.inputs.size() != 2 || node.outputs.size() != 1) return false;
        const int out = node.outputs.front();
        return isFloat(typeOf(out)) && isConcrete(shapeOf(out)) &&
               std::all_of(node.inputs.begin(), node.inputs.end(), [&](int id) { return typeOf(id) == typeOf(out); });
    }

    // An inner result of the same shape read by this node alone is computed
    // inside it; a smaller one would be computed again for every row.
    bool absorbable(int id, const Node& reader) const {
        const int n = uses_.producer[static_cast<size_t>(id)];
        return n >= 0 && uses_.readers[static_cast<size_t>(id)] == 1 && fusible(graph_.nodes[static_cast<size_t>(n)]) &&
               shapeOf(id) == shapeOf(reader.outputs.front());
    }

    Operand build(size_t n, std::vector<int>& leaves, std::map<int, size_t>& leafIndex, std::vector<Step>& steps,
                  std::vector<bool>& absorbed) {
        const Node& node = graph_.nodes[n];
        Operand operands[2];
        for (size_t i = 0; i < 2; ++i) {
            const int id = node.inputs[i];
            if (absorbable(id, node)) {
                const auto inner = static_cast<size_t>(uses_.producer[static_cast<size_t>(id)]);
                absorbed[inner] = true;
                operands[i] = build(inner, leaves, leafIndex, steps, absorbed);
                continue;
            }
            auto [found, added] = leafIndex.emplace(id, leaves.size());
            if (added) leaves.push_back(id);
            operands[i] = Operand{true, found->second};
        }
        steps.push_back(Step{*arithmeticOf(node.op), operands[0], operands[1]});
        return Operand{false, steps.size() - 1};
    }

    Graph& graph_;
    ValueUses uses_;
};

}  // namespace

InstructionSet elementwiseFusionInstructions() {
    return instructionSetUpTo(InstructionSet::avx2);
}

void fuseElementwise(Graph& graph) {
    Fusion(graph).run();
}

}  // namespace platform::coreml::runtime
