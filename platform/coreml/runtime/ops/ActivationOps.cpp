#include <algorithm>
#include <cmath>
#include <vector>

#include "platform/coreml/runtime/OpLibrary.h"
#include "platform/coreml/runtime/ops/FloatBlocks.h"
#include "platform/coreml/runtime/ops/OpSupport.h"
#include "platform/coreml/runtime/ops/Softmax.h"
#include "platform/coreml/runtime/ops/VectorMath.h"

namespace platform::coreml::runtime {
namespace {

// `op(in, out, count)` maps a block of fp32 values; fp16 tensors are
// converted block by block, never as a whole.
template <typename F>
void addActivation(OpRegistry& registry, const std::string& name, F makeOp) {
    registry.add(name, [makeOp](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef x = b.input("x");
        b.requireFloat(x, "x");
        auto op = makeOp(b);
        b.setOutput(0, b.dataTypeOf(x), b.shapeOf(x));
        return makeKernel([x, op](KernelContext& context) {
            const Tensor& input = context.input(x);
            Tensor& output = context.allocateOutput(0);
            context.parallelFor(output.count(), 16384, [&](int64_t begin, int64_t end) {
                float in[kFloatBlock], out[kFloatBlock];
                for (int64_t at = begin; at < end; at += kFloatBlock) {
                    const int64_t n = std::min(kFloatBlock, end - at);
                    float* target = floatTarget(output, at, out);
                    op(readFloats(input, at, n, in), target, n);
                    writeFloats(output, at, n, target);
                }
            });
        });
    });
}

// An activation given per element.
template <typename F>
auto elementwise(F f) {
    return [f](const float* in, float* out, int64_t n) {
        for (int64_t i = 0; i < n; ++i) out[i] = f(in[i]);
    };
}

float sigmoid(float x) {
    return 1.0f / (1.0f + std::exp(-x));
}

void softmaxAlong(const Tensor& input, Tensor& output, int64_t outer, int64_t length, int64_t inner,
                  const KernelContext& context);

void addSoftmax(OpRegistry& registry) {
    registry.add("softmax", [](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef x = b.input("x");
        b.requireFloat(x, "x");
        const Shape shape = b.shapeOf(x);
        const auto axis = normalizeAxis(b.integer("axis", -1), static_cast<int64_t>(shape.size()));
        b.require(axis.has_value(), "axis is out of range for shape " + describe(shape));
        b.setOutput(0, b.dataTypeOf(x), shape);
        const auto a = static_cast<size_t>(*axis);
        return makeKernel([x, a](KernelContext& context) {
            const Tensor& input = context.input(x);
            const Shape& shape = input.shape();
            int64_t outer = 1, inner = 1;
            for (size_t d = 0; d < a; ++d) outer *= shape[d];
            for (size_t d = a + 1; d < shape.size(); ++d) inner *= shape[d];
            Tensor& output = context.allocateOutput(0);
            softmaxAlong(input, output, outer, shape[a], inner, context);
        });
    });
}

// Contiguous lines one by one; lines across the inner dimensions (softmax
// over a strided axis) as blocks of neighbouring columns, so that every read
// is a run of adjacent elements.
void softmaxAlong(const Tensor& input, Tensor& output, int64_t outer, int64_t length, int64_t inner,
                  const KernelContext& context) {
    if (length == 0 || outer * inner == 0) return;
    const int64_t width = std::min<int64_t>(inner, 128);
    const int64_t blocksPerOuter = (inner + width - 1) / width;
    const int64_t lineGrain = std::max<int64_t>(1, 16384 / (length * width));
    context.parallelFor(outer * blocksPerOuter, lineGrain, [&](int64_t begin, int64_t end) {
        std::vector<float> block(static_cast<size_t>(length * width));
        for (int64_t task = begin; task < end; ++task) {
            const int64_t base = (task / blocksPerOuter) * length * inner;
            const int64_t column = (task % blocksPerOuter) * width;
            const int64_t w = std::min(width, inner - column);
            if (w == inner) {
                // The block is one run of the tensor: read, computed and
                // written in one piece instead of a short row at a time.
                const int64_t n = length * inner;
                float* target = floatTarget(output, base, block.data());
                const float* in = readFloats(input, base, n, block.data());
                if (in != target) std::copy_n(in, n, target);
                if (inner == 1) {
                    softmaxRow(target, length);
                } else {
                    softmaxColumns(target, length, inner);
                }
                writeFloats(output, base, n, target);
                continue;
            }
            for (int64_t i = 0; i < length; ++i) {
                float* row = block.data() + i * w;
                const float* in = readFloats(input, base + i * inner + column, w, row);
                if (in != row) std::copy_n(in, w, row);
            }
            softmaxColumns(block.data(), length, w);
            for (int64_t i = 0; i < length; ++i) writeFloats(output, base + i * inner + column, w, block.data() + i * w);
        }
    });
}

}  // namespace

void registerActivationOps(OpRegistry& registry) {
    addActivation(registry, "relu", [](OpBuilder&) { return elementwise([](float x) { return x > 0 ? x : 0.0f; }); });
    addActivation(registry, "sigmoid", [](OpBuilder&) { return elementwise(sigmoid); });
    addActivation(registry, "silu", [](OpBuilder&) { return elementwise([](float x) { return x * sigmoid(x); }); });
    addActivation(registry, "softplus",
                  [](OpBuilder&) { return elementwise([](float x) { return std::log1p(std::exp(x)); }); });
    addActivation(registry, "leaky_relu", [](OpBuilder& b) {
        const float alpha = static_cast<float>(b.number("alpha", 0.01));
        return elementwise([alpha](float x) { return x > 0 ? x : alpha * x; });
    });
    addActivation(registry, "gelu", [](OpBuilder& b) {
        const std::string mode = b.string("mode", "EXACT");
        b.require(mode == "EXACT" || mode == "TANH_APPROXIMATION" || mode == "SIGMOID_APPROXIMATION",
                  "unknown gelu mode '" + mode + "'");
        return [mode = mode == "EXACT" ? 0 : mode == "TANH_APPROXIMATION" ? 1 : 2](const float* in, float* out, int64_t n) {
            if (mode == 0) return geluExact(in, out, n);
            for (int64_t i = 0; i < n; ++i) {
                const float x = in[i];
                if (mode == 1) {
                    const float inner = 0.79788456080286536f * (x + 0.044715f * x * x * x);
                    out[i] = 0.5f * x * (1.0f + std::tanh(inner));
                } else {
                    out[i] = x * sigmoid(1.702f * x);
                }
            }
        };
    });
    addSoftmax(registry);
}

}  // namespace platform::coreml::runtime
