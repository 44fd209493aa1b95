#include <cmath>
#include <limits>

#include "platform/coreml/runtime/OpLibrary.h"
#include "platform/coreml/runtime/ops/Gemm.h"
#include "platform/coreml/runtime/ops/OpSupport.h"

namespace platform::coreml::runtime {
namespace {

bool isIdentity(const std::vector<int64_t>& perm) {
    for (size_t i = 0; i < perm.size(); ++i) {
        if (perm[i] != static_cast<int64_t>(i)) return false;
    }
    return true;
}

Tensor permuted(const Tensor& source, const std::vector<int64_t>& perm, const KernelContext& context) {
    if (isIdentity(perm)) return source;
    Shape shape;
    for (int64_t p : perm) shape.push_back(source.shape()[static_cast<size_t>(p)]);
    Tensor target(source.dataType(), shape);
    permute(source, target, perm, context);
    return target;
}

// A two-operand einsum as one batched matrix product: x is permuted to
// [batch, x-only, summed], y to [batch, summed, y-only], and the product
// [batch, x-only, y-only] permuted into the output's label order.
struct EinsumPlan {
    std::vector<int64_t> xPerm, yPerm, outPerm;
    Shape xBatch, yBatch, batch;
    int64_t m = 1, n = 1, k = 1;
    Shape product;
};

EinsumPlan planEinsum(const OpBuilder& b, const std::string& equation, const Shape& xs, const Shape& ys) {
    const auto arrow = equation.find("->");
    const auto comma = equation.find(',');
    b.require(arrow != std::string::npos && comma != std::string::npos && comma < arrow,
              "einsum needs an equation of the form 'ab,bc->ac', got '" + equation + "'");
    const std::string xl = equation.substr(0, comma);
    const std::string yl = equation.substr(comma + 1, arrow - comma - 1);
    const std::string ol = equation.substr(arrow + 2);
    b.require(xl.size() == xs.size() && yl.size() == ys.size(), "einsum labels do not match the operands' ranks");
    for (const std::string* labels : {&xl, &yl, &ol}) {
        for (size_t i = 0; i < labels->size(); ++i) {
            b.require(std::isalpha(static_cast<unsigned char>((*labels)[i])) &&
                          labels->find((*labels)[i], i + 1) == std::string::npos,
                      "einsum supports distinct letter labels only: '" + equation + "'");
        }
    }
    const auto size = [&](char c, const std::string& labels, const Shape& shape) -> int64_t {
        const auto at = labels.find(c);
        return at == std::string::npos ? 0 : shape[at];
    };
    EinsumPlan plan;
    std::string batch, xOnly, yOnly, summed;
    for (char c : ol) {
        const bool inX = xl.find(c) != std::string::npos, inY = yl.find(c) != std::string::npos;
        b.require(inX || inY, std::string("output label '") + c + "' is in neither operand");
        (inX && inY ? batch : inX ? xOnly : yOnly) += c;
    }
    for (char c : xl) {
        if (ol.find(c) != std::string::npos) continue;
        b.require(yl.find(c) != std::string::npos, std::string("label '") + c + "' is summed in one operand only");
        summed += c;
    }
    for (char c : yl) {
        b.require(ol.find(c) != std::string::npos || xl.find(c) != std::string::npos,
                  std::string("label '") + c + "' is summed in one operand only");
    }
    for (char c : batch) {
        const int64_t a = size(c, xl, xs), z = size(c, yl, ys);
        b.require(a == z || a == 1 || z == 1, std::string("label '") + c + "' has sizes " + std::to_string(a) + " and " +
                                                  std::to_string(z));
        plan.xBatch.push_back(a);
        plan.yBatch.push_back(z);
        plan.batch.push_back(std::max(a, z));
        plan.xPerm.push_back(static_cast<int64_t>(xl.find(c)));
        plan.yPerm.push_back(static_cast<int64_t>(yl.find(c)));
    }
    for (char c : xOnly) {
        plan.m *= size(c, xl, xs);
        plan.xPerm.push_back(static_cast<int64_t>(xl.find(c)));
    }
    for (char c : summed) {
        b.require(size(c, xl, xs) == size(c, yl, ys), std::string("summed label '") + c + "' differs in size");
        plan.k *= size(c, xl, xs);
        plan.xPerm.push_back(static_cast<int64_t>(xl.find(c)));
        plan.yPerm.push_back(static_cast<int64_t>(yl.find(c)));
    }
    for (char c : yOnly) {
        plan.n *= size(c, yl, ys);
        plan.yPerm.push_back(static_cast<int64_t>(yl.find(c)));
    }
    const std::string productLabels = batch + xOnly + yOnly;
    for (char c : productLabels) {
        plan.product.push_back(xl.find(c) != std::string::npos && yl.find(c) != std::string::npos
                                   ? std::max(size(c, xl, xs), size(c, yl, ys))
                                   : (xl.find(c) != std::string::npos ? size(c, xl, xs) : size(c, yl, ys)));
    }
    for (char c : ol) plan.outPerm.push_back(static_cast<int64_t>(productLabels.find(c)));
    return plan;
}

void addEinsum(OpRegistry& registry) {
    registry.add("einsum", [](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const std::vector<InputRef> values = b.inputList("values");
        b.require(values.size() == 2, "einsum supports exactly two operands");
        for (const InputRef v : values) b.requireFloat(v, "values");
        const std::string equation = b.string("equation");
        const Shape xs = b.shapeOf(values[0]), ys = b.shapeOf(values[1]);
        b.require(isConcrete(xs) && isConcrete(ys), "einsum needs concrete shapes");
        const EinsumPlan plan = planEinsum(b, equation, xs, ys);
        Shape result;
        for (int64_t p : plan.outPerm) result.push_back(plan.product[static_cast<size_t>(p)]);
        b.setOutput(0, b.dataTypeOf(values[0]), result);
        const InputRef x = values[0], y = values[1];
        return makeKernel([plan, x, y](KernelContext& context) {
            const Tensor xt = permuted(floatInput(context, x), plan.xPerm, context);
            const Tensor yt = permuted(floatInput(context, y), plan.yPerm, context);
            Tensor product(DataType::Float32, plan.product);
            batchedGemm(xt.data<float>(), plan.xBatch, false, yt.data<float>(), plan.yBatch, false,
                        product.mutableData<float>(), plan.batch, plan.m, plan.n, plan.k, context);
            FloatOutput output(context, 0);
            if (isIdentity(plan.outPerm)) {
                std::copy_n(product.data<float>(), output.count(), output.data());
            } else {
                Tensor ordered = permuted(product, plan.outPerm, context);
                std::copy_n(ordered.data<float>(), output.count(), output.data());
            }
            output.commit();
        });
    });
}

void addScaledDotProductAttention(OpRegistry& registry) {
    registry.add("scaled_dot_product_attention", [](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef q = b.input("query");
        const InputRef k = b.input("key");
        const InputRef v = b.input("value");
        const std::optional<InputRef> mask = b.optionalInput("attn_mask");
        const Shape qs = b.shapeOf(q), ks = b.shapeOf(k), vs = b.shapeOf(v);
        b.require(qs.size() >= 3 && ks.size() == qs.size() && vs.size() == qs.size(), "query, key and value need one rank of 3 or more");
        const size_t r = qs.size();
        b.require(qs[r - 1] == ks[r - 1] && ks[r - 2] == vs[r - 2], "query, key and value do not fit together");
        const Shape qBatch(qs.begin(), qs.end() - 2), kBatch(ks.begin(), ks.end() - 2), vBatch(vs.begin(), vs.end() - 2);
        const Shape batch = broadcastOrFail(b, broadcastOrFail(b, qBatch, kBatch), vBatch);
        const int64_t l = qs[r - 2], e = qs[r - 1], s = ks[r - 2], ev = vs[r - 1];
        Shape scores = batch;
        scores.push_back(l);
        scores.push_back(s);
        const Shape maskShape = mask ? b.shapeOf(*mask) : Shape{};
        if (mask) broadcastOrFail(b, maskShape, scores);
        const bool boolMask = mask && b.dataTypeOf(*mask) == DataType::Bool;
        Shape result = batch;
        result.push_back(l);
        result.push_back(ev);
        b.setOutput(0, b.dataTypeOf(q), result);
        return makeKernel([=](KernelContext& context) {
            const Tensor qt = floatInput(context, q), kt = floatInput(context, k), vt = floatInput(context, v);
            Tensor weights(DataType::Float32, scores);
            float* w = weights.mutableData<float>();
            batchedGemm(qt.data<float>(), qBatch, false, kt.data<float>(), kBatch, true, w, batch, l, s, e, context);
            const float scale = 1.0f / std::sqrt(static_cast<float>(e));
            const int64_t rows = countOf(scores) / std::max<int64_t>(s, 1);
            std::vector<float> maskValues;
            std::vector<int64_t> maskStrides;
            if (mask) {
                maskValues = context.input(*mask).toFloats();
                maskStrides = broadcastStrides(maskShape, scores);
            }
            const Shape scoreStrides = stridesOf(scores);
            context.parallelFor(rows, 16, [&](int64_t begin, int64_t end) {
                for (int64_t row = begin; row < end; ++row) {
                    float* line = w + row * s;
                    int64_t maskBase = 0;
                    if (mask) {
                        int64_t rest = row * s;
                        for (size_t d = 0; d + 1 < scores.size(); ++d) {
                            maskBase += (rest / scoreStrides[d]) * maskStrides[d];
                            rest %= scoreStrides[d];
                        }
                    }
                    float top = -std::numeric_limits<float>::infinity();
                    for (int64_t j = 0; j < s; ++j) {
                        float value = line[j] * scale;
                        if (mask) {
                            const float m = maskValues[static_cast<size_t>(maskBase + j * maskStrides.back())];
                            value = boolMask ? (m != 0 ? value : -std::numeric_limits<float>::infinity()) : value + m;
                        }
                        line[j] = value;
                        top = std::fmax(top, value);
                    }
                    if (std::isinf(top) && top < 0) {
                        std::fill_n(line, s, 0.0f);
                        continue;
                    }
                    double sum = 0;
                    for (int64_t j = 0; j < s; ++j) sum += line[j] = std::exp(line[j] - top);
                    for (int64_t j = 0; j < s; ++j) line[j] = static_cast<float>(line[j] / sum);
                }
            });
            Shape weightBatch = batch;
            FloatOutput output(context, 0);
            batchedGemm(w, weightBatch, false, vt.data<float>(), vBatch, false, output.data(), batch, l, ev, s, context);
            output.commit();
        });
    });
}

}  // namespace

void registerAttentionOps(OpRegistry& registry) {
    addEinsum(registry);
    addScaledDotProductAttention(registry);
}

}  // namespace platform::coreml::runtime
