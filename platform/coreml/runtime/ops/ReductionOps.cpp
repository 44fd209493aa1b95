#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "platform/coreml/runtime/OpLibrary.h"
#include "platform/coreml/runtime/ops/AxisSpace.h"
#include "platform/coreml/runtime/ops/OpSupport.h"

namespace platform::coreml::runtime {
namespace {

constexpr int64_t kElementsPerTask = 16384;

enum class Reduce { sum, mean, max, min, prod, sumSquare, l1, l2, logSumExp };

double reduceRow(Reduce kind, const float* x, int64_t base, const std::vector<int64_t>& inner) {
    const auto n = static_cast<double>(inner.size());
    switch (kind) {
        case Reduce::max: {
            double top = -std::numeric_limits<double>::infinity();
            for (int64_t o : inner) top = std::fmax(top, x[base + o]);
            return top;
        }
        case Reduce::min: {
            double low = std::numeric_limits<double>::infinity();
            for (int64_t o : inner) low = std::fmin(low, x[base + o]);
            return low;
        }
        case Reduce::prod: {
            double product = 1;
            for (int64_t o : inner) product *= x[base + o];
            return product;
        }
        case Reduce::logSumExp: {
            double top = -std::numeric_limits<double>::infinity();
            for (int64_t o : inner) top = std::fmax(top, x[base + o]);
            if (std::isinf(top)) return top;
            double sum = 0;
            for (int64_t o : inner) sum += std::exp(x[base + o] - top);
            return top + std::log(sum);
        }
        default:
            break;
    }
    double sum = 0;
    for (int64_t o : inner) {
        const double v = x[base + o];
        sum += kind == Reduce::sumSquare || kind == Reduce::l2 ? v * v : kind == Reduce::l1 ? std::fabs(v) : v;
    }
    if (kind == Reduce::mean) return sum / n;
    if (kind == Reduce::l2) return std::sqrt(sum);
    return sum;
}

void addReduction(OpRegistry& registry, const std::string& name, Reduce kind) {
    registry.add(name, [kind](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef x = b.input("x");
        b.requireFloat(x, "x");
        const Shape shape = b.shapeOf(x);
        const auto rank = static_cast<int64_t>(shape.size());
        std::vector<int64_t> all(static_cast<size_t>(rank));
        std::iota(all.begin(), all.end(), 0);
        const std::vector<int64_t> axes = normalizedAxes(b, b.integers("axes", all), rank);
        const bool keep = b.boolean("keep_dims", false);
        Shape result;
        for (int64_t d = 0; d < rank; ++d) {
            const bool reduced = std::find(axes.begin(), axes.end(), d) != axes.end();
            if (!reduced) {
                result.push_back(shape[static_cast<size_t>(d)]);
            } else if (keep) {
                result.push_back(1);
            }
        }
        b.setOutput(0, b.dataTypeOf(x), result);
        return makeKernel([x, axes, kind](KernelContext& context) {
            const Tensor input = floatInput(context, x);
            const AxisSpace space(input.shape(), axes);
            const float* in = input.data<float>();
            FloatOutput output(context, 0);
            float* out = output.data();
            // Split by the elements read, not the lines: a mean over the few
            // heads of attention weights is thousands of short lines.
            const int64_t grain = std::max<int64_t>(1, kElementsPerTask / std::max<int64_t>(1, static_cast<int64_t>(space.inner.size())));
            context.parallelFor(static_cast<int64_t>(space.outer.size()), grain, [&](int64_t begin, int64_t end) {
                for (int64_t o = begin; o < end; ++o) {
                    out[o] = static_cast<float>(reduceRow(kind, in, space.outer[static_cast<size_t>(o)], space.inner));
                }
            });
            output.commit();
        });
    });
}

void addArgReduction(OpRegistry& registry, const std::string& name, bool largest) {
    registry.add(name, [largest](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef x = b.input("x");
        b.requireFloat(x, "x");
        const Shape shape = b.shapeOf(x);
        const auto axis = normalizeAxis(b.integer("axis", -1), static_cast<int64_t>(shape.size()));
        b.require(axis.has_value(), "axis is out of range for shape " + describe(shape));
        const bool keep = b.boolean("keep_dims", false);
        Shape result = shape;
        if (keep) {
            result[static_cast<size_t>(*axis)] = 1;
        } else {
            result.erase(result.begin() + *axis);
        }
        b.setOutput(0, DataType::Int32, result);
        const int64_t a = *axis;
        return makeKernel([x, a, largest](KernelContext& context) {
            const Tensor input = floatInput(context, x);
            const AxisSpace space(input.shape(), {a});
            const float* in = input.data<float>();
            auto* out = context.allocateOutput(0).mutableData<int32_t>();
            for (size_t o = 0; o < space.outer.size(); ++o) {
                int32_t best = 0;
                for (size_t i = 1; i < space.inner.size(); ++i) {
                    const float v = in[space.outer[o] + space.inner[i]];
                    const float current = in[space.outer[o] + space.inner[static_cast<size_t>(best)]];
                    if (largest ? v > current : v < current) best = static_cast<int32_t>(i);
                }
                out[o] = best;
            }
        });
    });
}

}  // namespace

void registerReductionOps(OpRegistry& registry) {
    addReduction(registry, "reduce_sum", Reduce::sum);
    addReduction(registry, "reduce_mean", Reduce::mean);
    addReduction(registry, "reduce_max", Reduce::max);
    addReduction(registry, "reduce_min", Reduce::min);
    addReduction(registry, "reduce_prod", Reduce::prod);
    addReduction(registry, "reduce_sum_square", Reduce::sumSquare);
    addReduction(registry, "reduce_l1_norm", Reduce::l1);
    addReduction(registry, "reduce_l2_norm", Reduce::l2);
    addReduction(registry, "reduce_log_sum_exp", Reduce::logSumExp);
    addArgReduction(registry, "reduce_argmax", true);
    addArgReduction(registry, "reduce_argmin", false);
}

}  // namespace platform::coreml::runtime
