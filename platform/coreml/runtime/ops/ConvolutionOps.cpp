#include <algorithm>

#include "platform/coreml/runtime/OpLibrary.h"
#include "platform/coreml/runtime/ops/OpSupport.h"
#include "platform/coreml/runtime/ops/WeightMatrix.h"
#include "platform/coreml/runtime/ops/WindowAxes.h"

namespace platform::coreml::runtime {
namespace {

struct ConvPlan {
    int64_t batch = 0, cin = 0, cout = 0, groups = 1;
    std::vector<Axis> axes;  // one or two spatial axes, the first padded to height 1 for 1-D
    bool pointwise = false;
};

void convolve(const ConvPlan& p, const float* x, const WeightMatrix& w, const float* bias, Tensor& out,
              const KernelContext& context) {
    const Axis& h = p.axes[0];
    const Axis& wd = p.axes[1];
    const int64_t inPlane = h.input * wd.input;
    const int64_t outPlane = h.output * wd.output;
    const int64_t cinG = p.cin / p.groups;
    const int64_t coutG = p.cout / p.groups;
    const int64_t kernelSize = h.kernel * wd.kernel;
    const int64_t columnsRows = cinG * kernelSize;
    for (int64_t n = 0; n < p.batch; ++n) {
        for (int64_t g = 0; g < p.groups; ++g) {
            const float* xg = x + (n * p.cin + g * cinG) * inPlane;
            const WeightMatrix wg = w.slice(g * coutG, coutG);
            const float* bg = bias ? bias + g * coutG : nullptr;
            const int64_t og = (n * p.cout + g * coutG) * outPlane;
            if (p.pointwise) {
                // A 1x1 convolution over [C, S] is one matrix product.
                wg.times(xg, outPlane, bg, out, og, context);
            } else {
                std::vector<float> columns(static_cast<size_t>(columnsRows * outPlane));
                context.parallelFor(columnsRows, 4, [&](int64_t begin, int64_t end) {
                    for (int64_t row = begin; row < end; ++row) {
                        const int64_t c = row / kernelSize;
                        const int64_t ky = (row % kernelSize) / wd.kernel;
                        const int64_t kx = row % wd.kernel;
                        float* column = columns.data() + row * outPlane;
                        for (int64_t oy = 0; oy < h.output; ++oy) {
                            const int64_t iy = oy * h.stride + ky * h.dilation - h.before;
                            for (int64_t ox = 0; ox < wd.output; ++ox) {
                                const int64_t ix = ox * wd.stride + kx * wd.dilation - wd.before;
                                const bool inside = iy >= 0 && iy < h.input && ix >= 0 && ix < wd.input;
                                column[oy * wd.output + ox] = inside ? xg[c * inPlane + iy * wd.input + ix] : 0.0f;
                            }
                        }
                    }
                });
                wg.times(columns.data(), outPlane, bg, out, og, context);
            }
        }
    }
}

void addConv(OpRegistry& registry) {
    registry.add("conv", [](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef x = b.input("x");
        const InputRef weight = b.input("weight");
        const std::optional<InputRef> bias = b.optionalInput("bias");
        b.requireFloat(x, "x");
        b.requireFloat(weight, "weight");
        const Shape xs = b.shapeOf(x);
        const Shape ws = b.shapeOf(weight);
        b.require(xs.size() == 3 || xs.size() == 4, "only 1-D and 2-D convolutions are supported, x is " + describe(xs));
        b.require(ws.size() == xs.size(), "weight " + describe(ws) + " does not match x " + describe(xs));
        ConvPlan plan;
        plan.batch = xs[0];
        plan.cin = xs[1];
        plan.cout = ws[0];
        plan.groups = b.integer("groups", 1);
        b.require(plan.groups > 0 && plan.cout % plan.groups == 0, "groups must divide the output channels");
        b.require(plan.cin == kUnknownDim || plan.cin == ws[1] * plan.groups,
                  "x has " + std::to_string(plan.cin) + " channels, weight " + describe(ws) + " with " +
                      std::to_string(plan.groups) + " groups expects " + std::to_string(ws[1] * plan.groups));
        if (bias) b.require(b.shapeOf(*bias) == Shape{plan.cout}, "bias must be [" + std::to_string(plan.cout) + "]");
        const Shape spatial(xs.begin() + 2, xs.end());
        const Shape kernel(ws.begin() + 2, ws.end());
        plan.axes = resolveAxes(b, spatial, kernel);
        Shape result{plan.batch, plan.cout};
        for (const auto& a : plan.axes) result.push_back(a.output);
        b.setOutput(0, b.dataTypeOf(x), result);
        if (plan.axes.size() == 1) plan.axes.insert(plan.axes.begin(), Axis{1, 1, 1, 1, 0, 0, 1});
        plan.pointwise = std::all_of(plan.axes.begin(), plan.axes.end(), [](const Axis& a) {
            return a.kernel == 1 && a.stride == 1 && a.before == 0 && a.after == 0;
        });
        // A weight known at load stays in its stored type; see WeightMatrix.
        const Tensor* fixedWeight = b.constantOf(weight);
        const int64_t columns = countOf(ws) / std::max<int64_t>(ws[0], 1);
        const std::optional<WeightMatrix> w =
            fixedWeight ? std::optional<WeightMatrix>(WeightMatrix(*fixedWeight, ws[0], columns)) : std::nullopt;
        const Tensor* fixedBias = bias ? b.constantOf(*bias) : nullptr;
        const std::optional<Tensor> bv = fixedBias ? std::optional<Tensor>(fixedBias->asFloat32()) : std::nullopt;
        // One frame through a 1x1 convolution (a decoder step) is one
        // matrix-vector product, rounded straight into the output.
        const bool singleVector = plan.pointwise && plan.groups == 1 && plan.batch == 1 &&
                                  plan.axes[0].output * plan.axes[1].output == 1 && plan.cin == columns;
        return makeKernel([=](KernelContext& context) {
            const Tensor xt = floatInput(context, x);
            const WeightMatrix wt = w ? *w : WeightMatrix(floatInput(context, weight), plan.cout, columns);
            std::optional<Tensor> bt = bv;
            if (bias && !bt) bt = floatInput(context, *bias);
            const float* biasValues = bt ? bt->data<float>() : nullptr;
            if (singleVector) return wt.timesVector(xt.data<float>(), biasValues, context.allocateOutput(0), context);
            Tensor& output = context.allocateOutput(0);
            if (output.count() > 0) convolve(plan, xt.data<float>(), wt, biasValues, output, context);
        });
    });
}

}  // namespace

void registerConvolutionOps(OpRegistry& registry) {
    addConv(registry);
}

}  // namespace platform::coreml::runtime
