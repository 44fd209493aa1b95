#include <cmath>
#include <limits>

#include "platform/coreml/runtime/OpLibrary.h"
#include "platform/coreml/runtime/ops/OpSupport.h"

namespace platform::coreml::runtime {
namespace {

template <typename F>
void addActivation(OpRegistry& registry, const std::string& name, F makeOp) {
    registry.add(name, [makeOp](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef x = b.input("x");
        b.requireFloat(x, "x");
        auto op = makeOp(b);
        b.setOutput(0, b.dataTypeOf(x), b.shapeOf(x));
        return makeKernel([x, op](KernelContext& context) {
            const Tensor input = floatInput(context, x);
            const float* in = input.data<float>();
            FloatOutput output(context, 0);
            float* out = output.data();
            context.parallelFor(output.count(), 16384, [&](int64_t begin, int64_t end) {
                for (int64_t i = begin; i < end; ++i) out[i] = op(in[i]);
            });
            output.commit();
        });
    });
}

float sigmoid(float x) {
    return 1.0f / (1.0f + std::exp(-x));
}

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
            const Tensor input = floatInput(context, x);
            const Shape& shape = input.shape();
            int64_t outer = 1, inner = 1;
            for (size_t d = 0; d < a; ++d) outer *= shape[d];
            for (size_t d = a + 1; d < shape.size(); ++d) inner *= shape[d];
            const int64_t length = shape[a];
            const float* in = input.data<float>();
            FloatOutput output(context, 0);
            float* out = output.data();
            context.parallelFor(outer * inner, 64, [&](int64_t begin, int64_t end) {
                for (int64_t r = begin; r < end; ++r) {
                    const int64_t base = (r / inner) * length * inner + r % inner;
                    float top = -std::numeric_limits<float>::infinity();
                    for (int64_t i = 0; i < length; ++i) top = std::fmax(top, in[base + i * inner]);
                    // A row masked out entirely (all -inf) has no distribution;
                    // zeros keep NaN out of everything downstream.
                    if (top == -std::numeric_limits<float>::infinity()) {
                        for (int64_t i = 0; i < length; ++i) out[base + i * inner] = 0.0f;
                        continue;
                    }
                    double sum = 0;
                    for (int64_t i = 0; i < length; ++i) {
                        const float e = std::exp(in[base + i * inner] - top);
                        out[base + i * inner] = e;
                        sum += e;
                    }
                    const float scale = static_cast<float>(1.0 / sum);
                    for (int64_t i = 0; i < length; ++i) out[base + i * inner] *= scale;
                }
            });
            output.commit();
        });
    });
}

}  // namespace

void registerActivationOps(OpRegistry& registry) {
    addActivation(registry, "relu", [](OpBuilder&) { return [](float x) { return x > 0 ? x : 0.0f; }; });
    addActivation(registry, "sigmoid", [](OpBuilder&) { return [](float x) { return sigmoid(x); }; });
    addActivation(registry, "silu", [](OpBuilder&) { return [](float x) { return x * sigmoid(x); }; });
    addActivation(registry, "softplus", [](OpBuilder&) { return [](float x) { return std::log1p(std::exp(x)); }; });
    addActivation(registry, "leaky_relu", [](OpBuilder& b) {
        const float alpha = static_cast<float>(b.number("alpha", 0.01));
        return [alpha](float x) { return x > 0 ? x : alpha * x; };
    });
    addActivation(registry, "gelu", [](OpBuilder& b) {
        const std::string mode = b.string("mode", "EXACT");
        b.require(mode == "EXACT" || mode == "TANH_APPROXIMATION" || mode == "SIGMOID_APPROXIMATION",
                  "unknown gelu mode '" + mode + "'");
        return [mode = mode == "EXACT" ? 0 : mode == "TANH_APPROXIMATION" ? 1 : 2](float x) {
            if (mode == 0) return 0.5f * x * (1.0f + std::erf(x * 0.70710678118654752f));
            if (mode == 1) {
                const float inner = 0.79788456080286536f * (x + 0.044715f * x * x * x);
                return 0.5f * x * (1.0f + std::tanh(inner));
            }
            return x * sigmoid(1.702f * x);
        };
    });
    addSoftmax(registry);
}

}  // namespace platform::coreml::runtime
