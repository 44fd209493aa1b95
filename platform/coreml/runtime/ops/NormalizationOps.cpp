#include <algorithm>
#include <cmath>
#include <vector>

#include "platform/coreml/runtime/OpLibrary.h"
#include "platform/coreml/runtime/ops/AxisSpace.h"
#include "platform/coreml/runtime/ops/FloatBlocks.h"
#include "platform/coreml/runtime/ops/OpSupport.h"

namespace platform::coreml::runtime {
namespace {

// x seen as [outer, length, inner] with the normalised axes in the middle.
struct Span {
    int64_t outer = 1, length = 1, inner = 1;
};

struct Affine {
    const float* gamma;
    const float* beta;
    float epsilon;
};

// Normalises each column of a row-major [length, width] block: the statistics
// run down the columns, in double like the general path, while every loop
// walks along a row.
void normaliseColumns(float* block, int64_t length, int64_t width, const Affine& affine) {
    std::vector<double> mean(static_cast<size_t>(width), 0.0), squares(static_cast<size_t>(width), 0.0);
    for (int64_t i = 0; i < length; ++i) {
        for (int64_t j = 0; j < width; ++j) mean[j] += block[i * width + j];
    }
    for (double& m : mean) m /= static_cast<double>(length);
    for (int64_t i = 0; i < length; ++i) {
        for (int64_t j = 0; j < width; ++j) {
            const double d = block[i * width + j] - mean[j];
            squares[j] += d * d;
        }
    }
    std::vector<float> centre(static_cast<size_t>(width)), scale(static_cast<size_t>(width));
    for (int64_t j = 0; j < width; ++j) {
        centre[j] = static_cast<float>(mean[j]);
        scale[j] = static_cast<float>(1.0 / std::sqrt(squares[j] / static_cast<double>(length) + affine.epsilon));
    }
    for (int64_t i = 0; i < length; ++i) {
        const float g = affine.gamma ? affine.gamma[i] : 1.0f;
        const float b = affine.beta ? affine.beta[i] : 0.0f;
        float* row = block + i * width;
        for (int64_t j = 0; j < width; ++j) row[j] = (row[j] - centre[j]) * scale[j] * g + b;
    }
}

// normaliseColumns of a single column (a decoder step's [1, C, 1, 1]) in flat
// loops. Its sums are taken four ways at once, since one running sum waits
// for each add in turn; sums of floats in double barely depend on their order.
void normaliseColumn(float* column, int64_t length, const Affine& affine) {
    const auto sumOf = [&](auto&& term) {
        double sums[4] = {0, 0, 0, 0};
        int64_t i = 0;
        for (; i + 4 <= length; i += 4) {
            for (int k = 0; k < 4; ++k) sums[k] += term(column[i + k]);
        }
        for (; i < length; ++i) sums[0] += term(column[i]);
        return (sums[0] + sums[1]) + (sums[2] + sums[3]);
    };
    const double mean = sumOf([](float v) { return static_cast<double>(v); }) / static_cast<double>(length);
    const double squares = sumOf([mean](float v) {
        const double d = v - mean;
        return d * d;
    });
    const auto centre = static_cast<float>(mean);
    const auto scale = static_cast<float>(1.0 / std::sqrt(squares / static_cast<double>(length) + affine.epsilon));
    for (int64_t i = 0; i < length; ++i) {
        const float g = affine.gamma ? affine.gamma[i] : 1.0f;
        const float b = affine.beta ? affine.beta[i] : 0.0f;
        column[i] = (column[i] - centre) * scale * g + b;
    }
}

void normaliseSpan(const Tensor& input, Tensor& output, const Span& span, const Affine& affine,
                   const KernelContext& context) {
    if (span.length == 0 || span.outer * span.inner == 0) return;
    const int64_t width = std::min<int64_t>(span.inner, 64);
    const int64_t blocksPerOuter = (span.inner + width - 1) / width;
    context.parallelFor(span.outer * blocksPerOuter, std::max<int64_t>(1, 16384 / (span.length * width)),
                        [&](int64_t begin, int64_t end) {
                            std::vector<float> block(static_cast<size_t>(span.length * width));
                            for (int64_t task = begin; task < end; ++task) {
                                const int64_t base = (task / blocksPerOuter) * span.length * span.inner;
                                const int64_t column = (task % blocksPerOuter) * width;
                                const int64_t w = std::min(width, span.inner - column);
                                // A block as wide as the inner axes is one run of
                                // the tensor (a decoder step's [1, C, 1, 1]
                                // normalises one run of C), converted at once.
                                const int64_t rows = w == span.inner ? 1 : span.length;
                                const int64_t run = w == span.inner ? span.length * w : w;
                                for (int64_t i = 0; i < rows; ++i) {
                                    float* row = block.data() + i * w;
                                    const float* in = readFloats(input, base + i * span.inner + column, run, row);
                                    if (in != row) std::copy_n(in, run, row);
                                }
                                if (w == 1) {
                                    normaliseColumn(block.data(), span.length, affine);
                                } else {
                                    normaliseColumns(block.data(), span.length, w, affine);
                                }
                                for (int64_t i = 0; i < rows; ++i) {
                                    writeFloats(output, base + i * span.inner + column, run, block.data() + i * w);
                                }
                            }
                        });
}

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
        const bool contiguousAxes = axes.back() - axes.front() + 1 == static_cast<int64_t>(axes.size());
        if (contiguousAxes) {
            return makeKernel([x, axes, gamma, beta, epsilon](KernelContext& context) {
                const Tensor& input = context.input(x);
                const Shape& s = input.shape();
                Span span;
                for (int64_t d = 0; d < static_cast<int64_t>(s.size()); ++d) {
                    const int64_t size = s[static_cast<size_t>(d)];
                    (d < axes.front() ? span.outer : d <= axes.back() ? span.length : span.inner) *= size;
                }
                const Affine affine{gamma ? gamma->data<float>() : nullptr, beta ? beta->data<float>() : nullptr, epsilon};
                normaliseSpan(input, context.allocateOutput(0), span, affine, context);
            });
        }
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
