#include <cblas.h>

#include <algorithm>

#include "platform/coreml/runtime/OpLibrary.h"
#include "platform/coreml/runtime/ops/Gemm.h"
#include "platform/coreml/runtime/ops/MatrixVector.h"
#include "platform/coreml/runtime/ops/OpSupport.h"

namespace platform::coreml::runtime {
namespace {

// A weight known at load is converted to fp32 once; otherwise per run.
struct Operand {
    InputRef input;
    Tensor fixed;

    Tensor get(const KernelContext& context) const { return fixed.isValid() ? fixed : floatInput(context, input); }
};

Operand operand(const OpBuilder& b, InputRef input) {
    const Tensor* constant = b.constantOf(input);
    return Operand{input, constant ? constant->asFloat32() : Tensor()};
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
        const Operand xo = operand(b, x);
        const Operand yo = operand(b, y);
        return makeKernel([=](KernelContext& context) {
            const Tensor xt = xo.get(context);
            const Tensor yt = yo.get(context);
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
        const bool hasBias = bias.has_value();
        const Operand bo = hasBias ? operand(b, *bias) : Operand{};
        const int64_t dout = ws[0];
        const int64_t din = ws[1];
        // One row through fixed fp16 weights (the logits of a decoder step):
        // the weights are read as stored, never widened.
        const Tensor* fixedWeight = b.constantOf(weight);
        if (isConcrete(xs) && countOf(xs) == din && fixedWeight && fixedWeight->dataType() == DataType::Float16 &&
            (!hasBias || bo.fixed.isValid())) {
            const Tensor halfWeight = *fixedWeight;
            return makeKernel([=](KernelContext& context) {
                const Tensor xt = floatInput(context, x);
                FloatOutput output(context, 0);
                matrixVector(halfWeight.data<Float16>(), xt.data<float>(), hasBias ? bo.fixed.data<float>() : nullptr,
                             output.data(), 1, dout, din, context);
                output.commit();
            });
        }
        const Operand wo = operand(b, weight);
        return makeKernel([=](KernelContext& context) {
            const Tensor xt = floatInput(context, x);
            const Tensor wt = wo.get(context);
            const int64_t rows = xt.count() / din;
            FloatOutput output(context, 0);
            float* out = output.data();
            float beta = 0.0f;
            if (rows == 0 || dout == 0 || din == 0) {
                std::fill_n(out, output.count(), 0.0f);
                beta = 1.0f;
            }
            if (hasBias) {
                const Tensor bt = bo.get(context);
                for (int64_t r = 0; r < rows; ++r) std::copy_n(bt.data<float>(), dout, out + r * dout);
                beta = 1.0f;
            }
            if (rows > 0 && dout > 0 && din > 0)
                cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<int>(rows), static_cast<int>(dout),
                        static_cast<int>(din), 1.0f, xt.data<float>(), static_cast<int>(din), wt.data<float>(),
                        static_cast<int>(din), beta, out, static_cast<int>(dout));
            output.commit();
        });
    });
}

}  // namespace

void registerLinearAlgebraOps(OpRegistry& registry) {
    addMatmul(registry);
    addLinear(registry);
}

}  // namespace platform::coreml::runtime
