#include "platform/coreml/runtime/AttentionFusion.h"

#include <optional>
#include <string>
#include <vector>

#include "platform/coreml/runtime/ValueUses.h"
#include "platform/coreml/runtime/ops/EinsumPlan.h"
#include "platform/coreml/runtime/ops/FusedAttention.h"
#include "platform/coreml/runtime/ops/OpSupport.h"

namespace platform::coreml::runtime {
namespace {

struct Equation {
    std::string x, y, out;
};

bool flag(const Node& node, const char* name) {
    const auto found = node.parameters.find(name);
    return found != node.parameters.end() && found->second.isTensor() && found->second.tensor().count() == 1 &&
           found->second.tensor().number(0) != 0;
}

// The equation of a two-operand einsum, or of a matmul of two operands of one
// rank as the einsum it is.
std::optional<Equation> equationOf(const Graph& graph, const Node& node) {
    if (node.inputs.size() != 2 || node.outputs.size() != 1) return std::nullopt;
    std::string text;
    if (node.op == "matmul") {
        const size_t rank = graph.values[static_cast<size_t>(node.inputs[0])].type.shape.size();
        if (graph.values[static_cast<size_t>(node.inputs[1])].type.shape.size() != rank) return std::nullopt;
        text = matmulEquation(rank, flag(node, "transpose_x"), flag(node, "transpose_y"));
    } else if (node.op == "einsum") {
        const auto found = node.parameters.find("equation");
        if (found == node.parameters.end() || !found->second.isString()) return std::nullopt;
        text = found->second.string();
    }
    const auto comma = text.find(','), arrow = text.find("->");
    if (comma == std::string::npos || arrow == std::string::npos || comma > arrow) return std::nullopt;
    return Equation{text.substr(0, comma), text.substr(comma + 1, arrow - comma - 1), text.substr(arrow + 2)};
}

bool has(const std::string& labels, char label) {
    return labels.find(label) != std::string::npos;
}

// The nodes of one attention, from the score product to the weighted sum.
struct Match {
    size_t scores = 0, softmax = 0, sum = 0;
    std::optional<size_t> scale, mask;
    float scaleValue = 1.0f;
    int maskInput = -1;
    int probabilities = -1;  // the softmax result, as the sum reads it
    bool probabilitiesShared = false;  // read by other nodes too, or returned
    int values = -1;         // the sum's other operand
};

// A tensor the fused kernel reads or writes, looked at through a transpose
// that is folded into its strides.
struct Source {
    int id = -1;
    Shape shape;    // as the attention sees it
    Shape strides;  // into the storage of `id`
    std::optional<size_t> transpose;
};

// A plan and the tensors it runs on.
struct Fusion {
    AttentionPlan plan;
    Source query, key, value, output;
};

// A product sum a * b + c * d read only by an attention, through at most one
// reshape: the nodes computing it and its four factors.
struct ProductSumMatch {
    std::vector<size_t> nodes;
    std::vector<int> factors;
    Shape shape;
    DataType type = DataType::Float16;
};

class Fuser {
public:
    explicit Fuser(Graph& graph) : graph_(graph), uses_(graph) {}

    void run() {
        std::vector<bool> absorbed(graph_.nodes.size(), false);
        for (size_t n = 0; n < graph_.nodes.size(); ++n) {
            const auto match = matchAt(n);
            if (!match || absorbed[match->scores]) continue;
            auto fusion = planOf(*match);
            if (!fusion) continue;
            AttentionPlan& plan = fusion->plan;
            // A single query reads a cache merged with its new entry while it
            // reads each head's keys and values, instead of after the merge
            // has written the whole cache out again.
            std::optional<ProductSumMatch> mergedKey, mergedValue;
            if (plan.queries == 1) {
                mergedKey = compactProductSum(fusion->key.id, plan.key, plan.keys, plan.depth);
                mergedValue = compactProductSum(fusion->value.id, plan.value, plan.keys, plan.valueDepth);
            }
            Node& fused = graph_.nodes[n];
            fused.inputs = {fusion->query.id};
            const auto addOperand = [&](int id, const std::optional<ProductSumMatch>& merged, int& position,
                                        std::optional<AttentionPlan::Merged>& planned) {
                position = static_cast<int>(fused.inputs.size());
                if (!merged) return fused.inputs.push_back(id);
                planned = AttentionPlan::Merged{merged->shape, {}, merged->type};
                for (int factor : merged->factors) {
                    planned->factors.push_back(value(factor).type.shape);
                    fused.inputs.push_back(factor);
                }
                for (size_t inner : merged->nodes) absorbed[inner] = true;
            };
            addOperand(fusion->key.id, mergedKey, plan.keyInput, plan.mergedKey);
            addOperand(fusion->value.id, mergedValue, plan.valueInput, plan.mergedValue);
            plan.maskInput = static_cast<int>(fused.inputs.size());
            if (match->mask) fused.inputs.push_back(match->maskInput);
            fused.outputs = {fusion->output.id};
            if (match->probabilitiesShared) fused.outputs.push_back(match->probabilities);
            fused.op = "attention";
            fused.parameters.clear();
            fused.kernel = fusedAttentionKernel(std::move(fusion->plan));
            for (auto inner : {std::optional<size_t>(match->scores), match->scale, match->mask,
                               std::optional<size_t>(match->softmax), fusion->query.transpose, fusion->key.transpose,
                               fusion->value.transpose, fusion->output.transpose}) {
                if (inner) absorbed[*inner] = true;
            }
        }
        removeNodes(graph_, absorbed);
    }

private:
    const ValueInfo& value(int id) const { return graph_.values[static_cast<size_t>(id)]; }

    // The node producing `id` when `id` is read by one node only.
    std::optional<size_t> soleProducer(int id) const {
        const int n = uses_.producer[static_cast<size_t>(id)];
        if (n < 0 || uses_.readers[static_cast<size_t>(id)] != 1 || graph_.nodes[static_cast<size_t>(n)].outputs.size() != 1) {
            return std::nullopt;
        }
        return static_cast<size_t>(n);
    }

    // The node producing `id` when no node before `reader` other than the
    // producer reads it: the fused node, which takes the place of `reader`,
    // can then write `id` for the readers after it.
    std::optional<size_t> producerBefore(int id, size_t reader) const {
        const int n = uses_.producer[static_cast<size_t>(id)];
        if (n < 0 || graph_.nodes[static_cast<size_t>(n)].outputs.size() != 1) return std::nullopt;
        for (size_t i = static_cast<size_t>(n) + 1; i < reader; ++i) {
            const auto& inputs = graph_.nodes[i].inputs;
            if (std::find(inputs.begin(), inputs.end(), id) != inputs.end()) return std::nullopt;
        }
        return static_cast<size_t>(n);
    }

    // The product sum computing `id` when the operand `operand` of `rows` x
    // `cols` lies in one run of its elements for every batch index.
    std::optional<ProductSumMatch> compactProductSum(int id, const AttentionOperand& operand, int64_t rows,
                                                     int64_t cols) const {
        if ((rows - 1) * operand.rows + (cols - 1) * operand.cols + 1 != rows * cols) return std::nullopt;
        return productSumOf(id);
    }

    std::optional<ProductSumMatch> productSumOf(int id) const {
        ProductSumMatch match;
        auto node = soleProducer(id);
        if (node && graph_.nodes[*node].op == "reshape" && !graph_.nodes[*node].inputs.empty()) {
            match.nodes.push_back(*node);
            node = soleProducer(graph_.nodes[*node].inputs.front());
        }
        if (!node) return std::nullopt;
        const Node& sum = graph_.nodes[*node];
        if (sum.op != "add" || sum.inputs.size() != 2 || sum.inputs[0] == sum.inputs[1]) return std::nullopt;
        const ValueType& type = value(sum.outputs.front()).type;
        if ((type.dataType != DataType::Float16 && type.dataType != DataType::Float32) || !isConcrete(type.shape)) {
            return std::nullopt;
        }
        match.nodes.push_back(*node);
        match.shape = type.shape;
        match.type = type.dataType;
        for (int product : sum.inputs) {
            const auto mul = soleProducer(product);
            if (!mul || graph_.nodes[*mul].op != "mul" || graph_.nodes[*mul].inputs.size() != 2 ||
                value(product).type.dataType != type.dataType || value(product).type.shape != type.shape) {
                return std::nullopt;
            }
            match.nodes.push_back(*mul);
            for (int factor : graph_.nodes[*mul].inputs) {
                const ValueType& factorType = value(factor).type;
                if (factorType.dataType != type.dataType || !isConcrete(factorType.shape) ||
                    factorType.shape.size() > type.shape.size()) {
                    return std::nullopt;
                }
                match.factors.push_back(factor);
            }
        }
        return match;
    }

    std::optional<float> scalarConstant(int id) const {
        const Tensor* constant = value(id).constantTensor();
        if (!constant || constant->count() != 1) return std::nullopt;
        return static_cast<float>(constant->number(0));
    }

    // The softmax's axis as given (the last one when it names none); nullopt
    // when it is not one integer.
    static std::optional<int64_t> axisOf(const Node& softmax) {
        const auto found = softmax.parameters.find("axis");
        if (found == softmax.parameters.end()) return -1;
        if (!found->second.isTensor() || found->second.tensor().count() != 1) return std::nullopt;
        return found->second.tensor().toInts().front();
    }

    char keyLabel(const Match& match) const {
        const Node& softmax = graph_.nodes[match.softmax];
        const auto rank = static_cast<int64_t>(value(softmax.outputs.front()).type.shape.size());
        const int64_t axis = *axisOf(softmax);
        return equationOf(graph_, graph_.nodes[match.scores])->out[static_cast<size_t>(axis < 0 ? axis + rank : axis)];
    }

    // einsum(·, softmax(add(mul(einsum(q, k), scale), mask))), the mul and the
    // add each optional, in that order: a scale after the mask would scale
    // the mask too.
    std::optional<Match> matchAt(size_t n) const {
        const Node& sum = graph_.nodes[n];
        if (!equationOf(graph_, sum)) return std::nullopt;
        for (size_t side = 0; side < 2; ++side) {
            Match match;
            match.sum = n;
            match.probabilities = sum.inputs[side];
            match.values = sum.inputs[1 - side];
            const auto softmax = producerBefore(match.probabilities, n);
            if (!softmax || graph_.nodes[*softmax].op != "softmax" || graph_.nodes[*softmax].inputs.size() != 1) continue;
            match.probabilitiesShared = uses_.readers[static_cast<size_t>(match.probabilities)] > 1;
            if (!axisOf(graph_.nodes[*softmax])) continue;
            match.softmax = *softmax;
            int current = graph_.nodes[*softmax].inputs.front();
            auto node = soleProducer(current);
            if (node && graph_.nodes[*node].op == "add" && graph_.nodes[*node].inputs.size() == 2) {
                const auto& inputs = graph_.nodes[*node].inputs;
                const size_t path = scoresSide(inputs[0]) ? 0 : 1;
                if (!scoresSide(inputs[path])) continue;
                match.mask = node;
                match.maskInput = inputs[1 - path];
                current = inputs[path];
                node = soleProducer(current);
            }
            if (node && graph_.nodes[*node].op == "mul" && graph_.nodes[*node].inputs.size() == 2) {
                const auto& inputs = graph_.nodes[*node].inputs;
                const size_t constantSide = scalarConstant(inputs[1]) ? 1 : 0;
                const auto factor = scalarConstant(inputs[constantSide]);
                if (!factor) continue;
                match.scale = node;
                match.scaleValue = *factor;
                current = inputs[1 - constantSide];
                node = soleProducer(current);
            }
            if (!node || !equationOf(graph_, graph_.nodes[*node])) continue;
            match.scores = *node;
            return match;
        }
        return std::nullopt;
    }

    bool scoresSide(int id) const {
        const auto node = soleProducer(id);
        return node && (graph_.nodes[*node].op == "mul" || equationOf(graph_, graph_.nodes[*node]));
    }

    static std::optional<std::vector<int64_t>> permutation(const Node& transpose, size_t rank) {
        const auto found = transpose.parameters.find("perm");
        if (transpose.op != "transpose" || transpose.inputs.size() != 1 || found == transpose.parameters.end() ||
            !found->second.isTensor() || static_cast<size_t>(found->second.tensor().count()) != rank) {
            return std::nullopt;
        }
        std::vector<int64_t> perm = found->second.tensor().toInts();
        for (auto& axis : perm) {
            if (axis < 0) axis += static_cast<int64_t>(rank);
            if (axis < 0 || axis >= static_cast<int64_t>(rank)) return std::nullopt;
        }
        return perm;
    }

    // An operand read straight from the input of the transpose producing it.
    Source readSource(int id) const {
        const Shape& shape = value(id).type.shape;
        Source source{id, shape, stridesOf(shape), std::nullopt};
        const auto node = soleProducer(id);
        if (!node) return source;
        const Node& transpose = graph_.nodes[*node];
        const auto perm = permutation(transpose, shape.size());
        if (!perm) return source;
        const Shape inner = stridesOf(value(transpose.inputs.front()).type.shape);
        for (size_t d = 0; d < shape.size(); ++d) source.strides[d] = inner[static_cast<size_t>((*perm)[d])];
        source.id = transpose.inputs.front();
        source.transpose = node;
        return source;
    }

    // The output written straight into the layout of the transpose that is
    // its only reader.
    Source writeSource(int id) const {
        const Shape& shape = value(id).type.shape;
        Source source{id, shape, stridesOf(shape), std::nullopt};
        const int reader = uses_.lastReader[static_cast<size_t>(id)];
        if (uses_.readers[static_cast<size_t>(id)] != 1 || reader < 0) return source;
        const Node& transpose = graph_.nodes[static_cast<size_t>(reader)];
        const auto perm = permutation(transpose, shape.size());
        if (!perm || transpose.outputs.size() != 1) return source;
        const int result = transpose.outputs.front();
        const Shape outer = stridesOf(value(result).type.shape);
        for (size_t d = 0; d < shape.size(); ++d) source.strides[static_cast<size_t>((*perm)[d])] = outer[d];
        source.id = result;
        source.transpose = static_cast<size_t>(reader);
        return source;
    }

    // Strides of `labels` laid out as `source`, along `wanted`; 0 for a
    // dimension of size 1. Nullopt when a label is missing or its size
    // differs from the one wanted.
    static std::optional<std::vector<int64_t>> stridesAlong(const std::string& labels, const Source& source,
                                                            const std::string& wanted, const std::vector<int64_t>& sizes) {
        const Shape& shape = source.shape;
        const Shape& strides = source.strides;
        std::vector<int64_t> result;
        for (size_t i = 0; i < wanted.size(); ++i) {
            const auto at = labels.find(wanted[i]);
            if (at == std::string::npos) return std::nullopt;
            if (shape[at] == 1) {
                result.push_back(0);
                continue;
            }
            if (shape[at] != sizes[i]) return std::nullopt;
            result.push_back(strides[at]);
        }
        return result;
    }

    static std::optional<AttentionOperand> operandOf(const std::string& labels, const Source& shape,
                                                     const std::string& batch, const std::vector<int64_t>& batchSizes,
                                                     char rows, int64_t rowCount, char cols, int64_t colCount) {
        if (labels.size() != batch.size() + 2 || shape.shape.size() != labels.size()) return std::nullopt;
        const auto batchStrides = stridesAlong(labels, shape, batch, batchSizes);
        const auto matrix = stridesAlong(labels, shape, std::string{rows, cols}, {rowCount, colCount});
        if (!batchStrides || !matrix) return std::nullopt;
        return AttentionOperand{*batchStrides, (*matrix)[0], (*matrix)[1]};
    }

    std::optional<Fusion> planOf(const Match& match) const {
        const Node& scoresNode = graph_.nodes[match.scores];
        const Node& sumNode = graph_.nodes[match.sum];
        const Equation first = *equationOf(graph_, scoresNode), second = *equationOf(graph_, sumNode);
        const Shape& scores = value(scoresNode.outputs.front()).type.shape;
        for (int id : {scoresNode.inputs[0], scoresNode.inputs[1], match.values, sumNode.outputs.front()}) {
            if (!isFloat(value(id).type.dataType) || !isConcrete(value(id).type.shape)) return std::nullopt;
        }
        if (!isConcrete(scores) || first.out.size() != scores.size()) return std::nullopt;

        const char key = keyLabel(match);
        const bool keysFirst = has(first.x, key);
        if (has(first.y, key) == keysFirst) return std::nullopt;
        const std::string& queryLabels = keysFirst ? first.y : first.x;
        const std::string& keyLabels = keysFirst ? first.x : first.y;
        std::string batch;
        std::vector<int64_t> batchSizes;
        char query = 0, summed = 0;
        for (size_t i = 0; i < first.out.size(); ++i) {
            const char c = first.out[i];
            if (c == key) continue;
            if (has(queryLabels, c) && has(keyLabels, c)) {
                batch += c;
                batchSizes.push_back(scores[i]);
            } else if (has(queryLabels, c) && !query) {
                query = c;
            } else {
                return std::nullopt;
            }
        }
        for (char c : queryLabels) {
            if (!has(first.out, c)) {
                if (summed || !has(keyLabels, c)) return std::nullopt;
                summed = c;
            }
        }
        if (!query || !summed) return std::nullopt;

        AttentionPlan plan;
        plan.batch = batchSizes;
        plan.queries = scores[first.out.find(query)];
        plan.keys = scores[first.out.find(key)];
        Fusion fusion;
        fusion.query = readSource(scoresNode.inputs[keysFirst ? 1 : 0]);
        fusion.key = readSource(scoresNode.inputs[keysFirst ? 0 : 1]);
        plan.depth = fusion.query.shape[queryLabels.find(summed)];
        const auto queryOperand = operandOf(queryLabels, fusion.query, batch, batchSizes, query, plan.queries, summed, plan.depth);
        const auto keyOperand = operandOf(keyLabels, fusion.key, batch, batchSizes, key, plan.keys, summed, plan.depth);
        if (!queryOperand || !keyOperand) return std::nullopt;
        plan.query = *queryOperand;
        plan.key = *keyOperand;
        plan.scale = match.scaleValue;

        // The weighted sum names the labels its own way: the probabilities'
        // labels by position are the scores'.
        const bool probabilitiesFirst = sumNode.inputs[0] == match.probabilities;
        if (sumNode.inputs[0] == sumNode.inputs[1]) return std::nullopt;
        const std::string& probabilityLabels = probabilitiesFirst ? second.x : second.y;
        const std::string& valueLabels = probabilitiesFirst ? second.y : second.x;
        if (probabilityLabels.size() != first.out.size()) return std::nullopt;
        const auto renamed = [&](const std::string& labels) {
            std::string result;
            for (char c : labels) result += probabilityLabels[first.out.find(c)];
            return result;
        };
        const std::string sumBatch = renamed(batch);
        const char sumQuery = renamed(std::string{query})[0], sumKey = renamed(std::string{key})[0];
        char depth = 0;
        for (char c : valueLabels) {
            if (has(probabilityLabels, c)) continue;
            if (depth) return std::nullopt;
            depth = c;
        }
        if (!depth || has(second.out, sumKey) || !has(second.out, sumQuery) || !has(second.out, depth) ||
            has(valueLabels, sumQuery) || second.out.size() != batch.size() + 2) {
            return std::nullopt;
        }
        fusion.value = readSource(match.values);
        fusion.output = writeSource(sumNode.outputs.front());
        plan.valueDepth = fusion.value.shape[valueLabels.find(depth)];
        const auto valueOperand = operandOf(valueLabels, fusion.value, sumBatch, batchSizes, sumKey, plan.keys, depth, plan.valueDepth);
        const auto outputOperand = operandOf(second.out, fusion.output, sumBatch, batchSizes, sumQuery, plan.queries, depth,
                                             plan.valueDepth);
        if (!valueOperand || !outputOperand) return std::nullopt;
        plan.value = *valueOperand;
        plan.output = *outputOperand;

        if (match.mask) {
            const Shape& maskShape = value(match.maskInput).type.shape;
            if (!isFloat(value(match.maskInput).type.dataType) || !isConcrete(maskShape) ||
                value(graph_.nodes[*match.mask].outputs.front()).type.shape != scores || maskShape.size() > scores.size()) {
                return std::nullopt;
            }
            const std::vector<int64_t> strides = broadcastStrides(maskShape, scores);
            for (char c : batch) plan.mask.batch.push_back(strides[first.out.find(c)]);
            plan.mask.rows = strides[first.out.find(query)];
            plan.mask.cols = strides[first.out.find(key)];
            plan.masked = true;
        }
        if (match.scale && value(graph_.nodes[*match.scale].outputs.front()).type.shape != scores) return std::nullopt;
        if (match.probabilitiesShared) {
            // Only the kernel of a single query writes them, one batch index's
            // line at a time, as its softmax leaves them.
            if (plan.queries != 1 || value(match.probabilities).type.shape != scores) return std::nullopt;
            const Shape strides = stridesOf(scores);
            for (char c : batch) plan.probabilities.batch.push_back(strides[first.out.find(c)]);
            plan.probabilities.rows = strides[first.out.find(query)];
            plan.probabilities.cols = strides[first.out.find(key)];
            plan.writesProbabilities = true;
        }
        fusion.plan = std::move(plan);
        return fusion;
    }

    Graph& graph_;
    ValueUses uses_;
};

}  // namespace

void fuseAttention(Graph& graph) {
    Fuser(graph).run();
}

}  // namespace platform::coreml::runtime
