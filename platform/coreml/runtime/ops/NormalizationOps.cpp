#include <cmath>

#include "platform/coreml/runtime/OpLibrary.h"
#include "platform/coreml/runtime/ops/AxisSpace.h"
#include "platform/coreml/runtime/ops/OpSupport.h"

namespace platform::coreml::runtime {
namespace {

void addLayerNorm(OpRegistry& registry) {
    registry.add("layer_norm", [](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef x = b.input("x");
        b.requireFloat(x, "x");
        const Shape shape = b.shapeOf(x);
        std::vector<int64_t> axes = normalizedAxes(b, b.integers("axes"), static_cast<int64_t>(shape.size()));
        std::sort(axes.begin(), axes.end());
        // gamma and beta span x's shape over the normalised axes, in axis order.
        Shape normalized;
        for (int64_t axis : axes) normalized.push_back(shape[static_cast<size_t>(axis)]);
        const auto parameter = [&](std::string_view name) -> std::optional<Tensor> {
            auto value = b.optionalConstant(name);
            if (value) {
                b.require(shapesCompatible(normalized, value->shape()) ||
                              (value->count() == elementCount(normalized).value_or(-1) && value->rank() == 1),
                          std::string(name) + " has shape " + describe(value->shape()) + ", expected " +
                              describe(normalized));
                return value->asFloat32();
            }
            return std::nullopt;
        };
        const std::optional<Tensor> gamma = parameter("gamma");
        const std::optional<Tensor> beta = parameter("beta");
        const float epsilon = static_cast<float>(b.number("epsilon", 1e-5));
        b.setOutput(0, b.dataTypeOf(x), shape);
        return makeKernel([x, axes, gamma, beta, epsilon](KernelContext& context) {
            const Tensor input = floatInput(context, x);
            const AxisSpace space(input.shape(), axes);
            const float* in = input.data<float>();
            const float* g = gamma ? gamma->data<float>() : nullptr;
            const float* bt = beta ? beta->data<float>() : nullptr;
            FloatOutput output(context, 0);
            float* out = output.data();
            const auto n = static_cast<double>(space.inner.size());
            context.parallelFor(static_cast<int64_t>(space.outer.size()), 8, [&](int64_t begin, int64_t end) {
                for (int64_t o = begin; o < end; ++o) {
                    const int64_t base = space.outer[static_cast<size_t>(o)];
                    double sum = 0;
                    for (int64_t i : space.inner) sum += in[base + i];
                    const double mean = sum / n;
                    double squares = 0;
                    for (int64_t i : space.inner) squares += (in[base + i] - mean) * (in[base + i] - mean);
                    const auto scale = static_cast<float>(1.0 / std::sqrt(squares / n + epsilon));
                    for (size_t k = 0; k < space.inner.size(); ++k) {
                        const int64_t at = base + space.inner[k];
                        float v = (in[at] - static_cast<float>(mean)) * scale;
                        if (g) v *= g[k];
                        if (bt) v += bt[k];
                        out[at] = v;
                    }
                }
            });
            output.commit();
        });
    });
}

}  // namespace

void registerNormalizationOps(OpRegistry& registry) {
    addLayerNorm(registry);
}

}  // namespace platform::coreml::runtime
