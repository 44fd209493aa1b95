#include <algorithm>
#include <cstring>
#include <numeric>

#include "platform/coreml/runtime/OpLibrary.h"
#include "platform/coreml/runtime/ops/OpSupport.h"

namespace platform::coreml::runtime {
namespace {

// Outputs that only rename the shape share the input's storage.
std::unique_ptr<Kernel> viewKernel(InputRef x) {
    return makeKernel([x](KernelContext& context) {
        context.setOutput(0, context.input(x).reshaped(context.outputShape(0)));
    });
}

void addReshape(OpRegistry& registry) {
    registry.add("reshape", [](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef x = b.input("x");
        const Shape in = b.shapeOf(x);
        std::vector<int64_t> target = b.integers("shape");
        int64_t inferred = -1;
        int64_t known = 1;
        for (size_t i = 0; i < target.size(); ++i) {
            if (target[i] == 0) {
                b.require(i < in.size(), "shape entry 0 copies a dimension x does not have");
                target[i] = in[i];
            }
            if (target[i] == -1) {
                b.require(inferred < 0, "shape may infer only one dimension");
                inferred = static_cast<int64_t>(i);
            } else {
                b.require(target[i] >= 0, "invalid shape entry " + std::to_string(target[i]));
                known *= target[i];
            }
        }
        const auto count = elementCount(in);
        if (count) {
            if (inferred >= 0) {
                b.require(known > 0 && *count % known == 0, "cannot reshape " + describe(in) + " to " + describe(target));
                target[static_cast<size_t>(inferred)] = *count / known;
            }
            b.require(countOf(target) == *count, "cannot reshape " + describe(in) + " to " + describe(target));
        }
        b.setOutput(0, b.dataTypeOf(x), target);
        return viewKernel(x);
    });
}

void addExpandDims(OpRegistry& registry) {
    registry.add("expand_dims", [](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef x = b.input("x");
        Shape shape = b.shapeOf(x);
        std::vector<int64_t> axes = b.integers("axes");
        const auto rank = static_cast<int64_t>(shape.size() + axes.size());
        axes = normalizedAxes(b, axes, rank);
        std::sort(axes.begin(), axes.end());
        for (int64_t axis : axes) shape.insert(shape.begin() + axis, 1);
        b.setOutput(0, b.dataTypeOf(x), shape);
        return viewKernel(x);
    });
}

void addSqueeze(OpRegistry& registry) {
    registry.add("squeeze", [](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef x = b.input("x");
        const Shape in = b.shapeOf(x);
        std::vector<int64_t> axes;
        if (b.has("axes")) {
            axes = normalizedAxes(b, b.integers("axes"), static_cast<int64_t>(in.size()));
            for (int64_t axis : axes) b.require(in[static_cast<size_t>(axis)] == 1, "cannot squeeze a dimension that is not 1");
        } else {
            for (size_t d = 0; d < in.size(); ++d) {
                if (in[d] == 1) axes.push_back(static_cast<int64_t>(d));
            }
        }
        Shape shape;
        for (size_t d = 0; d < in.size(); ++d) {
            if (std::find(axes.begin(), axes.end(), static_cast<int64_t>(d)) == axes.end()) shape.push_back(in[d]);
        }
        b.setOutput(0, b.dataTypeOf(x), shape);
        return viewKernel(x);
    });
}

void addTranspose(OpRegistry& registry) {
    registry.add("transpose", [](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef x = b.input("x");
        const Shape in = b.shapeOf(x);
        const std::vector<int64_t> perm = normalizedAxes(b, b.integers("perm"), static_cast<int64_t>(in.size()));
        b.require(perm.size() == in.size(), "perm must name every axis once");
        Shape shape;
        for (int64_t p : perm) shape.push_back(in[static_cast<size_t>(p)]);
        b.setOutput(0, b.dataTypeOf(x), shape);
        // Moving only axes of size 1 leaves every element where it was.
        std::vector<int64_t> moved;
        for (int64_t p : perm) {
            if (in[static_cast<size_t>(p)] != 1) moved.push_back(p);
        }
        if (std::is_sorted(moved.begin(), moved.end())) return viewKernel(x);
        return makeKernel([x, perm](KernelContext& context) {
            const Tensor& input = context.input(x);
            Tensor& output = context.allocateOutput(0);
            permute(input, output, perm, context);
        });
    });
}

void addConcat(OpRegistry& registry) {
    registry.add("concat", [](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const std::vector<InputRef> values = b.inputList("values");
        b.require(!values.empty(), "concat needs at least one value");
        const bool interleave = b.boolean("interleave", false);
        Shape shape = b.shapeOf(values.front());
        const auto axis = normalizeAxis(b.integer("axis"), static_cast<int64_t>(shape.size()));
        b.require(axis.has_value(), "axis is out of range for shape " + describe(shape));
        const auto a = static_cast<size_t>(*axis);
        const DataType type = b.dataTypeOf(values.front());
        shape[a] = 0;
        for (const InputRef v : values) {
            const Shape& s = b.shapeOf(v);
            b.require(b.dataTypeOf(v) == type, "values must share one data type");
            b.require(s.size() == shape.size(), "values must share one rank");
            for (size_t d = 0; d < s.size(); ++d) {
                if (d == a) continue;
                b.require(shapesCompatible({shape[d]}, {s[d]}), "shapes " + describe(b.shapeOf(values.front())) +
                                                                    " and " + describe(s) + " differ outside the axis");
            }
            shape[a] = shape[a] == kUnknownDim || s[a] == kUnknownDim ? kUnknownDim : shape[a] + s[a];
        }
        if (interleave) {
            for (const InputRef v : values) {
                b.require(b.shapeOf(v)[a] == b.shapeOf(values.front())[a], "interleaved values must be the same size");
            }
        }
        b.setOutput(0, type, shape);
        return makeKernel([values, a, interleave](KernelContext& context) {
            Tensor& output = context.allocateOutput(0);
            const Shape& out = output.shape();
            const size_t size = elementSize(output.dataType());
            int64_t outer = 1, inner = 1;
            for (size_t d = 0; d < a; ++d) outer *= out[d];
            for (size_t d = a + 1; d < out.size(); ++d) inner *= out[d];
            std::byte* dst = output.mutableBytes();
            const int64_t outRow = out[a] * inner;
            if (interleave) {
                const int64_t parts = static_cast<int64_t>(values.size());
                const int64_t each = out[a] / parts;
                for (int64_t p = 0; p < parts; ++p) {
                    const std::byte* src = context.input(values[static_cast<size_t>(p)]).bytes();
                    for (int64_t o = 0; o < outer; ++o) {
                        for (int64_t i = 0; i < each; ++i) {
                            std::memcpy(dst + ((o * out[a] + i * parts + p) * inner) * static_cast<int64_t>(size),
                                        src + ((o * each + i) * inner) * static_cast<int64_t>(size),
                                        static_cast<size_t>(inner) * size);
                        }
                    }
                }
                return;
            }
            int64_t position = 0;
            for (const InputRef v : values) {
                const Tensor& input = context.input(v);
                const int64_t length = input.shape()[a] * inner;
                for (int64_t o = 0; o < outer; ++o) {
                    std::memcpy(dst + (o * outRow + position) * static_cast<int64_t>(size),
                                input.bytes() + o * length * static_cast<int64_t>(size), static_cast<size_t>(length) * size);
                }
                position += length;
            }
        });
    });
}

void addSplit(OpRegistry& registry) {
    registry.add("split", [](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef x = b.input("x");
        const Shape in = b.shapeOf(x);
        const auto axis = normalizeAxis(b.integer("axis"), static_cast<int64_t>(in.size()));
        b.require(axis.has_value(), "axis is out of range for shape " + describe(in));
        const auto a = static_cast<size_t>(*axis);
        std::vector<int64_t> sizes;
        if (b.has("split_sizes")) {
            sizes = b.integers("split_sizes");
        } else {
            const int64_t parts = b.integer("num_splits");
            b.require(parts > 0 && in[a] % parts == 0, "num_splits must divide dimension " + std::to_string(in[a]));
            sizes.assign(static_cast<size_t>(parts), in[a] / parts);
        }
        b.require(sizes.size() == b.outputCount(), "split makes " + std::to_string(sizes.size()) +
                                                       " parts, the program names " + std::to_string(b.outputCount()));
        b.require(std::accumulate(sizes.begin(), sizes.end(), int64_t{0}) == in[a], "split sizes must add up to the axis");
        for (size_t i = 0; i < sizes.size(); ++i) {
            Shape shape = in;
            shape[a] = sizes[i];
            b.setOutput(i, b.dataTypeOf(x), shape);
        }
        return makeKernel([x, a, sizes](KernelContext& context) {
            const Tensor& input = context.input(x);
            const Shape& s = input.shape();
            const size_t size = elementSize(input.dataType());
            int64_t outer = 1, inner = 1;
            for (size_t d = 0; d < a; ++d) outer *= s[d];
            for (size_t d = a + 1; d < s.size(); ++d) inner *= s[d];
            int64_t position = 0;
            // Along the outermost axis that is not 1 every part is one run of
            // the input, which the part then shares instead of copying it.
            if (outer == 1) {
                for (size_t i = 0; i < sizes.size(); ++i) {
                    context.setOutput(i, input.subrange(position, context.outputShape(i)));
                    position += sizes[i] * inner;
                }
                return;
            }
            for (size_t i = 0; i < sizes.size(); ++i) {
                Tensor& output = context.allocateOutput(i);
                const int64_t length = sizes[i] * inner;
                for (int64_t o = 0; o < outer; ++o) {
                    std::memcpy(output.mutableBytes() + o * length * static_cast<int64_t>(size),
                                input.bytes() + (o * s[a] * inner + position) * static_cast<int64_t>(size),
                                static_cast<size_t>(length) * size);
                }
                position += length;
            }
        });
    });
}

void addPad(OpRegistry& registry) {
    registry.add("pad", [](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef x = b.input("x");
        const Shape in = b.shapeOf(x);
        const std::vector<int64_t> pads = b.integers("pad");
        const std::string mode = b.string("mode", "constant");
        const double value = b.number("constant_val", 0.0);
        b.require(mode == "constant" || mode == "reflect" || mode == "replicate", "unknown pad mode '" + mode + "'");
        b.require(pads.size() % 2 == 0 && pads.size() / 2 <= in.size(), "pad needs two entries per padded dimension");
        const size_t first = in.size() - pads.size() / 2;
        Shape shape = in;
        for (size_t i = 0; i < pads.size() / 2; ++i) {
            const size_t d = first + i;
            const int64_t before = pads[2 * i], after = pads[2 * i + 1];
            b.require(before >= 0 && after >= 0, "padding must not be negative");
            if (mode == "reflect") {
                b.require(before < in[d] && after < in[d], "reflect padding must be smaller than the dimension");
            }
            if (mode == "replicate") b.require(in[d] > 0 || before + after == 0, "cannot replicate an empty dimension");
            shape[d] = in[d] == kUnknownDim ? kUnknownDim : in[d] + before + after;
        }
        b.setOutput(0, b.dataTypeOf(x), shape);
        return makeKernel([x, pads, mode, value, first](KernelContext& context) {
            const Tensor& input = context.input(x);
            Tensor& output = context.allocateOutput(0);
            const Shape& in = input.shape();
            const Shape& out = output.shape();
            const Shape inStrides = stridesOf(in);
            const auto size = static_cast<int64_t>(elementSize(input.dataType()));
            Tensor fill(input.dataType(), {});
            setNumber(fill, 0, value);
            const int64_t total = output.count();
            std::vector<int64_t> index(out.size(), 0);
            for (int64_t o = 0; o < total; ++o) {
                int64_t offset = 0;
                bool outside = false;
                for (size_t d = 0; d < out.size(); ++d) {
                    int64_t p = index[d];
                    if (d >= first) {
                        const int64_t n = in[d];
                        p -= pads[2 * (d - first)];
                        if (p < 0 || p >= n) {
                            if (mode == "constant") outside = true;
                            else if (mode == "replicate") p = p < 0 ? 0 : n - 1;
                            else p = p < 0 ? -p : 2 * (n - 1) - p;
                        }
                    }
                    offset += p * inStrides[d];
                }
                std::memcpy(output.mutableBytes() + o * size, outside ? fill.bytes() : input.bytes() + offset * size,
                            static_cast<size_t>(size));
                for (size_t d = out.size(); d-- > 0;) {
                    if (++index[d] < out[d]) break;
                    index[d] = 0;
                }
            }
        });
    });
}

}  // namespace

void registerShapeOps(OpRegistry& registry) {
    addPad(registry);
    addReshape(registry);
    addExpandDims(registry);
    addSqueeze(registry);
    addTranspose(registry);
    addConcat(registry);
    addSplit(registry);
}

}  // namespace platform::coreml::runtime
