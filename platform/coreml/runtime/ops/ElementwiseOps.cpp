#include <algorithm>
#include <array>
#include <cmath>

#include "platform/coreml/runtime/OpLibrary.h"
#include "platform/coreml/runtime/ops/BroadcastLayout.h"
#include "platform/coreml/runtime/ops/FloatBlocks.h"
#include "platform/coreml/runtime/ops/OpSupport.h"

namespace platform::coreml::runtime {
namespace {

constexpr int64_t kElementsPerTask = 16384;

// Shared body of the broadcasting ops: float outputs computed in fp32,
// everything else (integers, bools, comparisons) through doubles. The ops are
// template parameters so the inner loops inline them.
template <size_t N, typename FloatOp, typename ExactOp>
class BroadcastKernel final : public Kernel {
public:
    BroadcastKernel(const std::array<Shape, N>& operands, Shape result, bool floatPath, FloatOp floatOp, ExactOp exactOp)
        : result_(std::move(result)),
          layout_(std::vector<Shape>(operands.begin(), operands.end()), result_),
          floatPath_(floatPath),
          floatOp_(floatOp),
          exactOp_(exactOp) {
        for (size_t k = 0; k < N; ++k) strides_.push_back(broadcastStrides(operands[k], result_));
    }

    void run(KernelContext& context) const override {
        if (floatPath_ && isFloat(context.outputType(0))) return runFloat(context);
        runExact(context);
    }

private:
    // fp32 arithmetic over flat blocks of at most kFloatBlock elements of the
    // result, each operand read as a run, gathered, or one repeated value.
    void runFloat(KernelContext& context) const {
        std::array<const Tensor*, N> inputs{};
        // A broadcast operand is widened once, not again for every block that repeats it.
        std::array<Tensor, N> widened{};
        for (size_t k = 0; k < N; ++k) {
            inputs[k] = &context.input(InputRef{static_cast<int>(k)});
            if (!layout_.isDense(k) && !layout_.isUniform(k)) widened[k] = floatInput(context, InputRef{static_cast<int>(k)});
        }
        Tensor& output = context.allocateOutput(0);
        context.parallelFor(output.count(), kElementsPerTask, [&](int64_t begin, int64_t end) {
            float buffers[N][kFloatBlock];
            float out[kFloatBlock];
            std::array<const float*, N> runs{};
            for (size_t k = 0; k < N; ++k) {
                if (!layout_.isUniform(k)) continue;
                std::fill_n(buffers[k], kFloatBlock, static_cast<float>(inputs[k]->number(0)));
                runs[k] = buffers[k];
            }
            for (int64_t at = begin, n = 0; at < end; at += n) {
                n = layout_.blockLength(at, std::min(kFloatBlock, end - at));
                for (size_t k = 0; k < N; ++k) {
                    if (layout_.isDense(k)) {
                        runs[k] = readFloats(*inputs[k], at, n, buffers[k]);
                    } else if (!layout_.isUniform(k)) {
                        runs[k] = layout_.read(k, widened[k].template data<float>(), at, n, buffers[k]);
                    }
                }
                float* target = floatTarget(output, at, out);
                float args[N];
                for (int64_t i = 0; i < n; ++i) {
                    for (size_t k = 0; k < N; ++k) args[k] = runs[k][i];
                    target[i] = floatOp_(args);
                }
                writeFloats(output, at, n, target);
            }
        });
    }

    void runExact(KernelContext& context) const {
        std::array<const Tensor*, N> inputs{};
        for (size_t k = 0; k < N; ++k) inputs[k] = &context.input(InputRef{static_cast<int>(k)});
        Tensor& output = context.allocateOutput(0);
        double args[N];
        forEachBroadcastRow(result_, strides_, 0, rowCount(result_),
                            [&](int64_t o, const std::vector<int64_t>& offsets, int64_t count,
                                const std::vector<int64_t>& steps) {
                                for (int64_t i = 0; i < count; ++i) {
                                    for (size_t k = 0; k < N; ++k) args[k] = inputs[k]->number(offsets[k] + i * steps[k]);
                                    setNumber(output, o + i, exactOp_(args));
                                }
                            });
    }

    Shape result_;
    BroadcastLayout layout_;
    std::vector<std::vector<int64_t>> strides_;
    bool floatPath_;
    FloatOp floatOp_;
    ExactOp exactOp_;
};

template <size_t N, typename FloatOp, typename ExactOp>
std::unique_ptr<Kernel> broadcastKernel(const std::array<Shape, N>& operands, Shape result, bool floatPath,
                                        FloatOp floatOp, ExactOp exactOp) {
    return std::make_unique<BroadcastKernel<N, FloatOp, ExactOp>>(operands, std::move(result), floatPath, floatOp,
                                                                  exactOp);
}

template <typename F>
void addBinary(OpRegistry& registry, const std::string& name, F op, bool comparison = false) {
    registry.add(name, [op, comparison](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef x = b.input("x");
        const InputRef y = b.input("y");
        b.require(b.dataTypeOf(x) == b.dataTypeOf(y), "x is " + std::string(runtime::name(b.dataTypeOf(x))) +
                                                          " but y is " + std::string(runtime::name(b.dataTypeOf(y))));
        const Shape result = broadcastOrFail(b, b.shapeOf(x), b.shapeOf(y));
        b.setOutput(0, comparison ? DataType::Bool : b.dataTypeOf(x), result);
        return broadcastKernel<2>({b.shapeOf(x), b.shapeOf(y)}, result, !comparison,
                                  [op](const float* a) { return static_cast<float>(op(a[0], a[1])); },
                                  [op](const double* a) { return static_cast<double>(op(a[0], a[1])); });
    });
}

template <typename F>
void addLogical(OpRegistry& registry, const std::string& name, F op) {
    registry.add(name, [op](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef x = b.input("x");
        const InputRef y = b.input("y");
        b.require(b.dataTypeOf(x) == DataType::Bool && b.dataTypeOf(y) == DataType::Bool, "x and y must be bool");
        const Shape result = broadcastOrFail(b, b.shapeOf(x), b.shapeOf(y));
        b.setOutput(0, DataType::Bool, result);
        return broadcastKernel<2>({b.shapeOf(x), b.shapeOf(y)}, result, false, [](const float*) { return 0.0f; },
                                  [op](const double* a) { return op(a[0] != 0, a[1] != 0) ? 1.0 : 0.0; });
    });
}

// Unary ops read x (and optionally a constant epsilon or bounds) and keep its
// type; `makeOp` reads those parameters and returns the per-element function.
template <typename Make>
void addUnary(OpRegistry& registry, const std::string& name, Make makeOp) {
    registry.add(name, [makeOp](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef x = b.input("x");
        b.requireFloat(x, "x");
        const auto op = makeOp(b);
        b.setOutput(0, b.dataTypeOf(x), b.shapeOf(x));
        const Shape shape = b.shapeOf(x);
        return broadcastKernel<1>({shape}, shape, true, [op](const float* a) { return op(a[0]); },
                                  [op](const double* a) { return static_cast<double>(op(static_cast<float>(a[0]))); });
    });
}

template <typename F>
void addPlainUnary(OpRegistry& registry, const std::string& name, F f) {
    addUnary(registry, name, [f](OpBuilder&) { return f; });
}

void addLogicalNot(OpRegistry& registry) {
    registry.add("logical_not", [](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef x = b.input("x");
        b.require(b.dataTypeOf(x) == DataType::Bool, "x must be bool");
        b.setOutput(0, DataType::Bool, b.shapeOf(x));
        return makeKernel([x](KernelContext& context) {
            const Tensor& input = context.input(x);
            const auto* in = input.data<uint8_t>();
            auto* out = context.allocateOutput(0).mutableData<uint8_t>();
            for (int64_t i = 0; i < input.count(); ++i) out[i] = in[i] ? 0 : 1;
        });
    });
}

void addSelect(OpRegistry& registry) {
    registry.add("select", [](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef cond = b.input("cond");
        const InputRef a = b.input("a");
        const InputRef c = b.input("b");
        b.require(b.dataTypeOf(a) == b.dataTypeOf(c), "a and b must have one data type");
        const Shape result = broadcastOrFail(b, broadcastOrFail(b, b.shapeOf(cond), b.shapeOf(a)), b.shapeOf(c));
        b.setOutput(0, b.dataTypeOf(a), result);
        return broadcastKernel<3>({b.shapeOf(cond), b.shapeOf(a), b.shapeOf(c)}, result, true,
                                  [](const float* v) { return v[0] != 0 ? v[1] : v[2]; },
                                  [](const double* v) { return v[0] != 0 ? v[1] : v[2]; });
    });
}

void addCast(OpRegistry& registry) {
    registry.add("cast", [](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef x = b.input("x");
        const std::string target = b.string("dtype");
        const auto type = dataTypeNamed(target);
        b.require(type && isNumeric(*type), "cannot cast to '" + target + "'");
        b.setOutput(0, *type, b.shapeOf(x));
        return makeKernel([x](KernelContext& context) {
            const Tensor& input = context.input(x);
            context.setOutput(0, input.castTo(context.outputType(0)));
        });
    });
}

float safeLog(float x, float epsilon) {
    return std::log(x + epsilon);
}

}  // namespace

void registerElementwiseOps(OpRegistry& registry) {
    addBinary(registry, "add", [](double a, double b) { return a + b; });
    addBinary(registry, "sub", [](double a, double b) { return a - b; });
    addBinary(registry, "mul", [](double a, double b) { return a * b; });
    addBinary(registry, "real_div", [](double a, double b) { return a / b; });
    addBinary(registry, "floor_div", [](double a, double b) { return std::floor(a / b); });
    addBinary(registry, "mod", [](double a, double b) { return a - std::floor(a / b) * b; });
    addBinary(registry, "pow", [](double a, double b) { return std::pow(a, b); });
    addBinary(registry, "maximum", [](double a, double b) { return std::fmax(a, b); });
    addBinary(registry, "minimum", [](double a, double b) { return std::fmin(a, b); });
    addBinary(registry, "equal", [](double a, double b) { return a == b ? 1.0 : 0.0; }, true);
    addBinary(registry, "not_equal", [](double a, double b) { return a != b ? 1.0 : 0.0; }, true);
    addBinary(registry, "less", [](double a, double b) { return a < b ? 1.0 : 0.0; }, true);
    addBinary(registry, "less_equal", [](double a, double b) { return a <= b ? 1.0 : 0.0; }, true);
    addBinary(registry, "greater", [](double a, double b) { return a > b ? 1.0 : 0.0; }, true);
    addBinary(registry, "greater_equal", [](double a, double b) { return a >= b ? 1.0 : 0.0; }, true);
    addLogical(registry, "logical_and", [](bool a, bool b) { return a && b; });
    addLogical(registry, "logical_or", [](bool a, bool b) { return a || b; });
    addLogical(registry, "logical_xor", [](bool a, bool b) { return a != b; });
    addLogicalNot(registry);
    addSelect(registry);
    addCast(registry);

    addPlainUnary(registry, "abs", [](float x) { return std::fabs(x); });
    addPlainUnary(registry, "sqrt", [](float x) { return std::sqrt(x); });
    addPlainUnary(registry, "exp", [](float x) { return std::exp(x); });
    addPlainUnary(registry, "exp2", [](float x) { return std::exp2(x); });
    addPlainUnary(registry, "tanh", [](float x) { return std::tanh(x); });
    addPlainUnary(registry, "square", [](float x) { return x * x; });
    addPlainUnary(registry, "sin", [](float x) { return std::sin(x); });
    addPlainUnary(registry, "cos", [](float x) { return std::cos(x); });
    addPlainUnary(registry, "erf", [](float x) { return std::erf(x); });
    addPlainUnary(registry, "floor", [](float x) { return std::floor(x); });
    addPlainUnary(registry, "ceil", [](float x) { return std::ceil(x); });
    addPlainUnary(registry, "round", [](float x) { return std::nearbyint(x); });
    addPlainUnary(registry, "sign", [](float x) { return x > 0 ? 1.0f : (x < 0 ? -1.0f : 0.0f); });
    addUnary(registry, "log", [](OpBuilder& b) {
        const float epsilon = static_cast<float>(b.number("epsilon", 1e-45));
        return [epsilon](float x) { return safeLog(x, epsilon); };
    });
    addUnary(registry, "rsqrt", [](OpBuilder& b) {
        const float epsilon = static_cast<float>(b.number("epsilon", 1e-12));
        return [epsilon](float x) { return 1.0f / std::sqrt(x + epsilon); };
    });
    addUnary(registry, "inverse", [](OpBuilder& b) {
        const float epsilon = static_cast<float>(b.number("epsilon", 1e-4));
        return [epsilon](float x) { return 1.0f / (x + epsilon); };
    });
    addUnary(registry, "clip", [](OpBuilder& b) {
        const float alpha = static_cast<float>(b.number("alpha"));
        const float beta = static_cast<float>(b.number("beta"));
        b.require(!(alpha > beta), "clip needs alpha <= beta");
        return [alpha, beta](float x) { return std::fmin(std::fmax(x, alpha), beta); };
    });
}

}  // namespace platform::coreml::runtime
