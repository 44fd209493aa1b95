#include <algorithm>
#include <optional>
#include <string>

#include "platform/coreml/runtime/OpLibrary.h"
#include "platform/coreml/runtime/ops/EinsumPlan.h"
#include "platform/coreml/runtime/ops/Gemm.h"
#include "platform/coreml/runtime/ops/OpSupport.h"
#include "platform/coreml/runtime/ops/VectorEinsum.h"
#include "platform/coreml/runtime/ops/WeightMatrix.h"

namespace platform::coreml::runtime {
namespace {

// x [..., din] times a weight [dout, din] plus an optional bias, as `linear`
// and a `matmul` against a constant take it. A weight known at load stays in
// its stored type (see WeightMatrix) instead of being widened on every call.
std::unique_ptr<Kernel> weightProductKernel(OpBuilder& b, InputRef x, InputRef weight, std::optional<InputRef> bias,
                                            int64_t dout, int64_t din) {
    const Tensor* fixedWeight = b.constantOf(weight);
    const std::optional<WeightMatrix> fixed =
        fixedWeight ? std::optional<WeightMatrix>(WeightMatrix(*fixedWeight, dout, din)) : std::nullopt;
    const Tensor* fixedBias = bias ? b.constantOf(*bias) : nullptr;
    const Tensor biasValues = fixedBias ? fixedBias->asFloat32() : Tensor();
    return makeKernel([=](KernelContext& context) {
        const Tensor xt = floatInput(context, x);
        const WeightMatrix wt = fixed ? *fixed : WeightMatrix(floatInput(context, weight), dout, din);
        const int64_t rows = countOf(context.outputShape(0)) / std::max<int64_t>(dout, 1);
        const Tensor bt = !bias ? Tensor() : biasValues.isValid() ? biasValues : floatInput(context, *bias);
        const float* biasValues = bt.isValid() ? bt.data<float>() : nullptr;
        if (rows == 1) return wt.timesVector(xt.data<float>(), biasValues, context.allocateOutput(0), context);
        FloatOutput output(context, 0);
        if (rows > 0 && dout > 0) wt.timesTransposed(xt.data<float>(), rows, biasValues, output.data(), context);
        output.commit();
    });
}

void addMatmul(OpRegistry& registry) {
    registry.add("matmul", [](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef x = b.input("x");
        const InputRef y = b.input("y");
        b.requireFloat(x, "x");
        b.requireFloat(y, "y");
        const bool tx = b.boolean("transpose_x", false);
        const bool ty = b.boolean("transpose_y", false);
        Shape xs = b.shapeOf(x);
        Shape ys = b.shapeOf(y);
        b.require(!xs.empty() && !ys.empty(), "matmul needs tensors of rank 1 or more");
        const bool xVector = xs.size() == 1;
        const bool yVector = ys.size() == 1;
        if (xVector) xs.insert(xs.begin(), 1);
        if (yVector) ys.push_back(1);
        const int64_t m = tx ? xs[xs.size() - 1] : xs[xs.size() - 2];
        const int64_t k = tx ? xs[xs.size() - 2] : xs[xs.size() - 1];
        const int64_t ky = ty ? ys[ys.size() - 1] : ys[ys.size() - 2];
        const int64_t n = ty ? ys[ys.size() - 2] : ys[ys.size() - 1];
        b.require(k == ky || k == kUnknownDim || ky == kUnknownDim,
                  "inner dimensions differ: " + describe(b.shapeOf(x)) + " x " + describe(b.shapeOf(y)));
        const Shape xBatch(xs.begin(), xs.end() - 2);
        const Shape yBatch(ys.begin(), ys.end() - 2);
        Shape result = broadcastOrFail(b, xBatch, yBatch);
        const Shape batch = result;
        if (!xVector) result.push_back(m);
        if (!yVector) result.push_back(n);
        b.setOutput(0, b.dataTypeOf(x), result);
        // Tied-embedding logits: x against a constant [n, k] taken transposed
        // is a linear layer over that constant.
        if (b.constantOf(y) && ty && !tx && !yVector && ys.size() == 2) return weightProductKernel(b, x, y, std::nullopt, n, k);
        // One row or one column per batch index, as a decoder step's attention
        // over its cache: the other side is read in its stored type by the
        // vector kernel einsum uses, instead of widened whole on every step.
        const Shape& xDeclared = b.shapeOf(x);
        const Shape& yDeclared = b.shapeOf(y);
        const std::string equation = matmulEquation(xDeclared.size(), tx, ty);
        if ((m == 1 || n == 1) && !equation.empty() && yDeclared.size() == xDeclared.size() && xBatch == yBatch &&
            isConcrete(xDeclared) && isConcrete(yDeclared)) {
            const EinsumPlan plan = planEinsum(b, equation, xDeclared, yDeclared);
            if (auto kernel = vectorEinsum(plan, x, y, plan.n == 1 ? xDeclared : yDeclared)) return kernel;
        }
        return makeKernel([=](KernelContext& context) {
            const Tensor xt = floatInput(context, x);
            const Tensor yt = floatInput(context, y);
            FloatOutput output(context, 0);
            batchedGemm(xt.data<float>(), xBatch, tx, yt.data<float>(), yBatch, ty, output.data(), batch, m, n, k);
            output.commit();
        });
    });
}

void addLinear(OpRegistry& registry) {
    registry.add("linear", [](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef x = b.input("x");
        const InputRef weight = b.input("weight");
        const std::optional<InputRef> bias = b.optionalInput("bias");
        b.requireFloat(x, "x");
        b.requireFloat(weight, "weight");
        const Shape xs = b.shapeOf(x);
        const Shape ws = b.shapeOf(weight);
        b.require(!xs.empty(), "x must have rank 1 or more");
        b.require(ws.size() == 2, "weight must be [Dout, Din], has shape " + describe(ws));
        b.require(xs.back() == ws[1] || xs.back() == kUnknownDim,
                  "x " + describe(xs) + " does not fit weight " + describe(ws));
        if (bias) b.require(b.shapeOf(*bias) == Shape{ws[0]}, "bias must be [" + std::to_string(ws[0]) + "]");
        Shape result = xs;
        result.back() = ws[0];
        b.setOutput(0, b.dataTypeOf(x), result);
        return weightProductKernel(b, x, weight, bias, ws[0], ws[1]);
    });
}

}  // namespace

void registerLinearAlgebraOps(OpRegistry& registry) {
    addMatmul(registry);
    addLinear(registry);
}

}  // namespace platform::coreml::runtime
