#include <algorithm>
#include <limits>

#include "platform/coreml/runtime/OpLibrary.h"
#include "platform/coreml/runtime/ops/OpSupport.h"
#include "platform/coreml/runtime/ops/WindowAxes.h"

namespace platform::coreml::runtime {
namespace {

enum class Pool { max, average };

struct PoolPlan {
    Pool kind = Pool::max;
    bool excludePadding = false;
    Axis h, w;  // a 1-D pool runs as a 2-D one of height 1
};

void poolPlane(const PoolPlan& p, const float* in, float* out) {
    const Axis& h = p.h;
    const Axis& w = p.w;
    for (int64_t oy = 0; oy < h.output; ++oy) {
        const int64_t y0 = oy * h.stride - h.before;
        const int64_t yEnd = std::min(y0 + h.kernel, h.input + h.after);
        for (int64_t ox = 0; ox < w.output; ++ox) {
            const int64_t x0 = ox * w.stride - w.before;
            const int64_t xEnd = std::min(x0 + w.kernel, w.input + w.after);
            const int64_t yFirst = std::max<int64_t>(y0, 0), yLast = std::min(yEnd, h.input);
            const int64_t xFirst = std::max<int64_t>(x0, 0), xLast = std::min(xEnd, w.input);
            float value;
            if (p.kind == Pool::max) {
                value = -std::numeric_limits<float>::infinity();
                for (int64_t y = yFirst; y < yLast; ++y) {
                    for (int64_t x = xFirst; x < xLast; ++x) value = std::max(value, in[y * w.input + x]);
                }
            } else {
                double sum = 0;
                for (int64_t y = yFirst; y < yLast; ++y) {
                    for (int64_t x = xFirst; x < xLast; ++x) sum += in[y * w.input + x];
                }
                // Padding counts toward the window unless excluded; the part
                // of a ceil-mode window beyond the padding never does.
                const int64_t cells = p.excludePadding ? (yLast - yFirst) * (xLast - xFirst) : (yEnd - y0) * (xEnd - x0);
                value = cells > 0 ? static_cast<float>(sum / static_cast<double>(cells)) : 0.0f;
            }
            out[oy * w.output + ox] = value;
        }
    }
}

void addPool(OpRegistry& registry, const std::string& name, Pool kind) {
    registry.add(name, [kind](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef x = b.input("x");
        b.requireFloat(x, "x");
        const Shape xs = b.shapeOf(x);
        b.require(xs.size() == 3 || xs.size() == 4, "only 1-D and 2-D pooling is supported, x is " + describe(xs));
        const Shape spatial(xs.begin() + 2, xs.end());
        const std::vector<int64_t> kernel = b.integers("kernel_sizes");
        b.require(kernel.size() == spatial.size(), "kernel_sizes needs one entry per spatial axis");
        const bool ceilMode = b.boolean("ceil_mode", false);
        PoolPlan plan;
        plan.kind = kind;
        if (kind == Pool::average) plan.excludePadding = b.boolean("exclude_padding_from_average", false);
        std::vector<Axis> axes = resolveAxes(b, spatial, kernel, ceilMode);
        for (const Axis& a : axes) b.require(a.dilation == 1, "pooling windows are not dilated");
        Shape result{xs[0], xs[1]};
        for (const Axis& a : axes) result.push_back(a.output);
        b.setOutput(0, b.dataTypeOf(x), result);
        if (axes.size() == 1) axes.insert(axes.begin(), Axis{1, 1, 1, 1, 0, 0, 1});
        plan.h = axes[0];
        plan.w = axes[1];
        return makeKernel([x, plan](KernelContext& context) {
            const Tensor input = floatInput(context, x);
            const Shape& s = input.shape();
            const int64_t planes = s[0] * s[1];
            const int64_t inPlane = plan.h.input * plan.w.input;
            const int64_t outPlane = plan.h.output * plan.w.output;
            FloatOutput output(context, 0);
            const float* in = input.data<float>();
            float* out = output.data();
            context.parallelFor(planes, 1, [&](int64_t begin, int64_t end) {
                for (int64_t i = begin; i < end; ++i) poolPlane(plan, in + i * inPlane, out + i * outPlane);
            });
            output.commit();
        });
    });
}

}  // namespace

void registerPoolingOps(OpRegistry& registry) {
    addPool(registry, "max_pool", Pool::max);
    addPool(registry, "avg_pool", Pool::average);
}

}  // namespace platform::coreml::runtime
