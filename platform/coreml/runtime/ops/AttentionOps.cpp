#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "platform/coreml/runtime/OpLibrary.h"
#include "platform/coreml/runtime/ops/EinsumPlan.h"
#include "platform/coreml/runtime/ops/FloatBlocks.h"
#include "platform/coreml/runtime/ops/Gemm.h"
#include "platform/coreml/runtime/ops/MatrixVector.h"
#include "platform/coreml/runtime/ops/OpSupport.h"
#include "platform/coreml/runtime/ops/Softmax.h"
#include "platform/coreml/runtime/ops/VectorEinsum.h"

namespace platform::coreml::runtime {
namespace {

// One einsum label as the strided product sees it: its size and its stride in
// x, y and the output (0 where the label is absent or broadcast).
struct LabelSpan {
    int64_t size = 1, x = 0, y = 0, out = 0;
};

// The attention forms need no permutation at all: with every group of labels
// (batch, x-only, summed, y-only) reduced to strides, each batch index is one
// product over matrices that lie inside the operands as they are.
struct StridedEinsum {
    std::vector<LabelSpan> batch;
    LabelSpan m, k, n;
    // The output's adjacent elements run along m rather than n, so the
    // product is taken as outᵀ = yᵀ xᵀ, with the operands' roles swapped.
    bool swapped = false;
};

// Adjacent labels of one group merge into one span when they are laid out
// as one run in every tensor that has them; nullopt when they are not.
std::optional<LabelSpan> mergeSpans(const std::vector<LabelSpan>& spans) {
    std::vector<LabelSpan> kept;
    for (const auto& s : spans) {
        if (s.size != 1) kept.push_back(s);
    }
    if (kept.empty()) return LabelSpan{};
    LabelSpan merged = kept.back();
    for (size_t i = kept.size() - 1; i-- > 0;) {
        const LabelSpan& s = kept[i];
        const auto follows = [&](int64_t outer, int64_t inner) { return outer == inner * merged.size; };
        if (!follows(s.x, merged.x) || !follows(s.y, merged.y) || !follows(s.out, merged.out)) return std::nullopt;
        merged = LabelSpan{s.size * merged.size, merged.x, merged.y, merged.out};
    }
    return merged;
}

std::optional<StridedEinsum> planStridedEinsum(const std::string& equation, const Shape& xs, const Shape& ys,
                                               const Shape& result) {
    const auto comma = equation.find(','), arrow = equation.find("->");
    const std::string xl = equation.substr(0, comma), yl = equation.substr(comma + 1, arrow - comma - 1);
    const std::string ol = equation.substr(arrow + 2);
    const Shape xStrides = stridesOf(xs), yStrides = stridesOf(ys), outStrides = stridesOf(result);
    const auto span = [&](char c) {
        LabelSpan s;
        const auto xi = xl.find(c), yi = yl.find(c), oi = ol.find(c);
        if (xi != std::string::npos && xs[xi] != 1) s = LabelSpan{xs[xi], xStrides[xi], 0, 0};
        if (yi != std::string::npos && ys[yi] != 1) s = LabelSpan{ys[yi], s.x, yStrides[yi], 0};
        if (oi != std::string::npos) s.out = outStrides[oi];
        return s;
    };
    std::vector<LabelSpan> ms, ks, ns;
    StridedEinsum plan;
    for (char c : ol) {
        const bool inX = xl.find(c) != std::string::npos, inY = yl.find(c) != std::string::npos;
        (inX && inY ? plan.batch : inX ? ms : ns).push_back(span(c));
    }
    for (char c : xl) {
        if (ol.find(c) == std::string::npos) ks.push_back(span(c));
    }
    const auto m = mergeSpans(ms), k = mergeSpans(ks), n = mergeSpans(ns);
    if (!m || !k || !n) return std::nullopt;
    plan.m = *m;
    plan.k = *k;
    plan.n = *n;
    if (plan.n.out != 1 && plan.n.size != 1 && plan.m.out == 1) {
        plan.swapped = true;
        std::swap(plan.m, plan.n);
        for (LabelSpan* s : {&plan.m, &plan.k, &plan.n}) std::swap(s->x, s->y);
        for (LabelSpan& s : plan.batch) std::swap(s.x, s.y);
    }
    return plan;
}

// The batch indices (attention heads) run side by side on the workers: a
// head's operand conversions and strided store keep a core busy as well as
// its product.
void runStridedEinsum(const StridedEinsum& plan, const Tensor& x, const Tensor& y, Tensor& out,
                      const KernelContext& context) {
    const bool direct = out.dataType() == DataType::Float32 && (plan.n.out == 1 || plan.n.size == 1);
    int64_t batches = 1;
    for (const LabelSpan& s : plan.batch) batches *= s.size;
    const auto run = [&](int64_t begin, int64_t end) {
        std::vector<float> xScratch, yScratch, outScratch;
        for (int64_t i = begin; i < end; ++i) {
            int64_t xo = 0, yo = 0, oo = 0, rest = i;
            for (size_t d = plan.batch.size(); d-- > 0;) {
                const int64_t index = rest % plan.batch[d].size;
                rest /= plan.batch[d].size;
                xo += index * plan.batch[d].x;
                yo += index * plan.batch[d].y;
                oo += index * plan.batch[d].out;
            }
            MatrixLayout xLayout{plan.m.size, plan.k.size, plan.m.x, plan.k.x};
            MatrixLayout yLayout{plan.k.size, plan.n.size, plan.k.y, plan.n.y};
            const MatrixLayout outLayout{plan.m.size, plan.n.size, plan.m.out, plan.n.out};
            const float* a = gemmOperand(x, xo, xLayout, xScratch, context);
            const float* b = gemmOperand(y, yo, yLayout, yScratch, context);
            if (direct) {
                gemm(a, xLayout, b, yLayout, out.mutableData<float>() + oo, plan.m.out);
            } else {
                outScratch.resize(static_cast<size_t>(plan.m.size * plan.n.size));
                gemm(a, xLayout, b, yLayout, outScratch.data(), plan.n.size);
                storeMatrix(outScratch.data(), out, oo, outLayout, context);
            }
        }
    };
    if (batches < 2) {
        run(0, batches);
        return;
    }
    context.parallelFor(batches, 1, run);
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
        if (auto kernel = vectorEinsum(plan, x, y, plan.n == 1 ? xs : ys)) return kernel;
        if (const auto strided = planStridedEinsum(equation, xs, ys, result)) {
            return makeKernel([plan = *strided, x, y](KernelContext& context) {
                const Tensor& first = context.input(plan.swapped ? y : x);
                const Tensor& second = context.input(plan.swapped ? x : y);
                runStridedEinsum(plan, first, second, context.allocateOutput(0), context);
            });
        }
        return makeKernel([plan, x, y](KernelContext& context) {
            const Tensor xt = permuted(floatInput(context, x), plan.xPerm, context);
            const Tensor yt = permuted(floatInput(context, y), plan.yPerm, context);
            Tensor product(DataType::Float32, plan.product);
            batchedGemm(xt.data<float>(), plan.xBatch, false, yt.data<float>(), plan.yBatch, false,
                        product.mutableData<float>(), plan.batch, plan.m, plan.n, plan.k);
            storeProduct(product, plan, context);
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
            batchedGemm(qt.data<float>(), qBatch, false, kt.data<float>(), kBatch, true, w, batch, l, s, e);
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
                    for (int64_t j = 0; j < s; ++j) {
                        float value = line[j] * scale;
                        if (mask) {
                            const float m = maskValues[static_cast<size_t>(maskBase + j * maskStrides.back())];
                            value = boolMask ? (m != 0 ? value : -std::numeric_limits<float>::infinity()) : value + m;
                        }
                        line[j] = value;
                    }
                    softmaxRow(line, s);
                }
            });
            Shape weightBatch = batch;
            FloatOutput output(context, 0);
            batchedGemm(w, weightBatch, false, vt.data<float>(), vBatch, false, output.data(), batch, l, ev, s);
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
