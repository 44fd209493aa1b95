#include <algorithm>
#include <cstring>

#include "platform/coreml/runtime/OpLibrary.h"
#include "platform/coreml/runtime/RuntimeError.h"
#include "platform/coreml/runtime/ops/OpSupport.h"

namespace platform::coreml::runtime {
namespace {

// Copies a strided box of `source` into `target`: along dimension d the box
// starts at start[d] and steps by step[d] (which may be negative). A box that
// steps through its innermost dimension one by one moves whole rows at once.
void copyBox(const Tensor& source, Tensor& target, const Shape& box, const std::vector<int64_t>& start,
             const std::vector<int64_t>& step) {
    const int64_t total = countOf(box);
    if (total == 0) return;
    const Shape strides = stridesOf(source.shape());
    const auto size = static_cast<int64_t>(elementSize(source.dataType()));
    const size_t rank = box.size();
    const bool rows = rank > 0 && step[rank - 1] == 1;
    const size_t outer = rows ? rank - 1 : rank;
    const int64_t run = rows ? box[rank - 1] : 1;
    const int64_t first = rows ? start[rank - 1] : 0;
    const std::byte* src = source.bytes();
    std::byte* dst = target.mutableBytes();
    std::vector<int64_t> index(outer, 0);
    for (int64_t o = 0; o < total / run; ++o) {
        int64_t offset = first;
        for (size_t d = 0; d < outer; ++d) offset += (start[d] + index[d] * step[d]) * strides[d];
        std::memcpy(dst + o * run * size, src + offset * size, static_cast<size_t>(run * size));
        for (size_t d = outer; d-- > 0;) {
            if (++index[d] < box[d]) break;
            index[d] = 0;
        }
    }
}

// Whether a non-empty box is one run of the source: a single position along
// the leading dimensions, a forward range along one, every dimension after
// that whole.
bool isRun(const Shape& in, const Shape& box, const std::vector<int64_t>& step) {
    if (countOf(box) == 0) return false;
    size_t d = 0;
    while (d < box.size() && box[d] == 1) ++d;
    if (d == box.size()) return true;
    if (step[d] != 1) return false;
    for (++d; d < box.size(); ++d) {
        if (box[d] != in[d] || step[d] != 1) return false;
    }
    return true;
}

// The box as output 0: the source's own storage when the box is one run of
// it, else a copy.
void sliceOutput(KernelContext& context, const Tensor& source, const Shape& box, const std::vector<int64_t>& start,
                 const std::vector<int64_t>& step) {
    if (isRun(source.shape(), box, step)) {
        const Shape strides = stridesOf(source.shape());
        int64_t offset = 0;
        for (size_t d = 0; d < box.size(); ++d) offset += start[d] * strides[d];
        context.setOutput(0, source.subrange(offset, context.outputShape(0)));
        return;
    }
    copyBox(source, context.allocateOutput(0), box, start, step);
}

void addGather(OpRegistry& registry) {
    registry.add("gather", [](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef x = b.input("x");
        const InputRef indices = b.input("indices");
        b.require(isInteger(b.dataTypeOf(indices)), "indices must be integers");
        const Shape xs = b.shapeOf(x);
        const auto axis = normalizeAxis(b.integer("axis", 0), static_cast<int64_t>(xs.size()));
        b.require(axis.has_value(), "axis is out of range for shape " + describe(xs));
        // ios16 batch_dims: the leading dimensions that x and indices share,
        // each batch entry gathering with its own indices.
        const int64_t batchDims = b.integer("batch_dims", 0);
        const Shape is = b.shapeOf(indices);
        b.require(batchDims >= 0 && batchDims <= *axis && batchDims <= static_cast<int64_t>(is.size()),
                  "batch_dims " + std::to_string(batchDims) + " must lie within axis and the indices' rank");
        const auto bd = static_cast<size_t>(batchDims);
        b.require(shapesCompatible(Shape(xs.begin(), xs.begin() + batchDims), Shape(is.begin(), is.begin() + batchDims)),
                  "x " + describe(xs) + " and indices " + describe(is) + " differ in their batch dimensions");
        b.ignore("validate_indices");
        const auto a = static_cast<size_t>(*axis);
        Shape shape(xs.begin(), xs.begin() + static_cast<int64_t>(a));
        for (size_t d = bd; d < is.size(); ++d) shape.push_back(is[d]);
        shape.insert(shape.end(), xs.begin() + static_cast<int64_t>(a) + 1, xs.end());
        b.setOutput(0, b.dataTypeOf(x), shape);
        return makeKernel([x, indices, a, bd](KernelContext& context) {
            const Tensor& input = context.input(x);
            const std::vector<int64_t> picks = context.input(indices).toInts();
            const Shape& s = input.shape();
            int64_t outer = 1, inner = 1, perBatch = 1;
            for (size_t d = 0; d < a; ++d) outer *= s[d];
            for (size_t d = bd; d < a; ++d) perBatch *= s[d];
            for (size_t d = a + 1; d < s.size(); ++d) inner *= s[d];
            const int64_t length = s[a];
            for (const int64_t pick : picks) {
                if (pick < -length || pick >= length) {
                    throw PredictionError(PredictionError::Kind::invalidInputValue, "",
                                          "gather index " + std::to_string(pick) + " is outside the " +
                                              std::to_string(length) + " entries");
                }
            }
            const auto size = static_cast<int64_t>(elementSize(input.dataType()));
            Tensor& output = context.allocateOutput(0);
            const int64_t batches = perBatch == 0 ? 0 : outer / perBatch;
            const auto count = batches == 0 ? int64_t{0} : static_cast<int64_t>(picks.size()) / batches;
            for (int64_t o = 0; o < outer; ++o) {
                const int64_t* own = picks.data() + (o / perBatch) * count;
                for (int64_t i = 0; i < count; ++i) {
                    const int64_t row = own[i] < 0 ? own[i] + length : own[i];
                    std::memcpy(output.mutableBytes() + ((o * count + i) * inner) * size,
                                input.bytes() + ((o * length + row) * inner) * size, static_cast<size_t>(inner * size));
                }
            }
        });
    });
}

// A Python slice over every dimension, positions resolved against a shape:
// negative positions count from the end and clamp to the dimension.
struct SliceBox {
    Shape box;                   // elements taken along each dimension
    std::vector<int64_t> start;  // first position along each dimension
    std::vector<int64_t> step;
    Shape squeezed;              // the box without the squeezed dimensions
};

struct SliceSpec {
    std::vector<int64_t> begin, end, stride, beginMask, endMask, squeezeMask;
};

// Returns an error message, or "" when the slice fits `in`.
std::string resolveSlice(const Shape& in, const SliceSpec& request, SliceBox& out) {
    const size_t rank = in.size();
    if (request.begin.size() != rank || request.end.size() != rank || request.stride.size() != rank ||
        request.beginMask.size() != rank || request.endMask.size() != rank || request.squeezeMask.size() != rank) {
        return "begin, end, stride and masks need one entry per dimension of " + describe(in);
    }
    out = SliceBox{Shape(rank), std::vector<int64_t>(rank), request.stride, {}};
    for (size_t d = 0; d < rank; ++d) {
        const int64_t n = in[d];
        const int64_t s = request.stride[d];
        if (s == 0) return "stride must not be 0";
        if (n == kUnknownDim) return "slicing an open dimension is not supported";
        const auto clampPosition = [&](int64_t p) {
            if (p < 0) p += n;
            return s > 0 ? std::clamp<int64_t>(p, 0, n) : std::clamp<int64_t>(p, -1, n - 1);
        };
        int64_t first = request.beginMask[d] ? (s > 0 ? 0 : n - 1) : clampPosition(request.begin[d]);
        int64_t last = request.endMask[d] ? (s > 0 ? n : -1) : clampPosition(request.end[d]);
        if (request.squeezeMask[d]) {
            first = request.begin[d] < 0 ? request.begin[d] + n : request.begin[d];
            if (first < 0 || first >= n) return "squeezed index is outside dimension " + std::to_string(d);
            last = first + 1;
            out.step[d] = 1;
        }
        const int64_t step = out.step[d];
        const int64_t span = step > 0 ? (last - first + step - 1) / step : (first - last + (-step) - 1) / (-step);
        out.box[d] = std::max<int64_t>(span, 0);
        out.start[d] = first;
        if (!request.squeezeMask[d]) out.squeezed.push_back(out.box[d]);
    }
    return "";
}

// The slice arguments whose values are known at load; `begin` and `end` of
// slice_update may instead arrive at run time (a cache position).
SliceSpec sliceSpec(OpBuilder& b, size_t rank, bool withPositions) {
    const auto mask = [&](std::string_view name) {
        if (!b.has(name)) return std::vector<int64_t>(rank, 0);
        return b.constant(name).toInts();
    };
    SliceSpec request;
    if (withPositions) {
        request.begin = b.integers("begin");
        request.end = b.integers("end");
    }
    request.stride = b.integers("stride", std::vector<int64_t>(rank, 1));
    request.beginMask = mask("begin_mask");
    request.endMask = mask("end_mask");
    request.squeezeMask = mask("squeeze_mask");
    return request;
}

void addSliceByIndex(OpRegistry& registry) {
    registry.add("slice_by_index", [](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef x = b.input("x");
        const Shape in = b.shapeOf(x);
        SliceBox slice;
        const std::string problem = resolveSlice(in, sliceSpec(b, in.size(), true), slice);
        b.require(problem.empty(), problem);
        b.setOutput(0, b.dataTypeOf(x), slice.squeezed);
        return makeKernel([x, slice](KernelContext& context) {
            sliceOutput(context, context.input(x), slice.box, slice.start, slice.step);
        });
    });
}

// x with the slice [begin:end:stride] replaced by `update`.
void addSliceUpdate(OpRegistry& registry) {
    registry.add("slice_update", [](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef x = b.input("x");
        const InputRef update = b.input("update");
        const InputRef beginInput = b.input("begin");
        const InputRef endInput = b.input("end");
        b.require(b.dataTypeOf(update) == b.dataTypeOf(x), "update must have the data type of x");
        const Shape in = b.shapeOf(x);
        b.require(isConcrete(in), "slice_update needs x of known shape");
        for (const InputRef position : {beginInput, endInput}) {
            b.require(isInteger(b.dataTypeOf(position)) && b.shapeOf(position) == Shape{static_cast<int64_t>(in.size())},
                      "begin and end need one integer per dimension of " + describe(in));
        }
        const SliceSpec request = sliceSpec(b, in.size(), false);
        const Tensor* fixedBegin = b.constantOf(beginInput);
        const Tensor* fixedEnd = b.constantOf(endInput);
        if (fixedBegin && fixedEnd) {
            SliceSpec known = request;
            known.begin = fixedBegin->toInts();
            known.end = fixedEnd->toInts();
            SliceBox slice;
            const std::string problem = resolveSlice(in, known, slice);
            b.require(problem.empty(), problem);
            b.require(shapesCompatible(slice.squeezed, b.shapeOf(update)),
                      "update " + describe(b.shapeOf(update)) + " does not fill the slice " + describe(slice.squeezed));
        }
        b.setOutput(0, b.dataTypeOf(x), in);
        return makeKernel([x, update, beginInput, endInput, request](KernelContext& context) {
            const Tensor& input = context.input(x);
            const Tensor& values = context.input(update);
            SliceSpec now = request;
            now.begin = context.input(beginInput).toInts();
            now.end = context.input(endInput).toInts();
            SliceBox slice;
            std::string problem = resolveSlice(input.shape(), now, slice);
            if (problem.empty() && countOf(slice.box) != values.count()) {
                problem = "update " + describe(values.shape()) + " does not fill the slice " + describe(slice.squeezed);
            }
            if (!problem.empty()) throw PredictionError(PredictionError::Kind::invalidInputValue, "", problem);
            Tensor& output = context.allocateOutput(0);
            std::memcpy(output.mutableBytes(), input.bytes(), input.byteSize());
            const Shape strides = stridesOf(input.shape());
            const auto size = static_cast<int64_t>(elementSize(input.dataType()));
            const size_t rank = slice.box.size();
            std::vector<int64_t> index(rank, 0);
            for (int64_t o = 0; o < values.count(); ++o) {
                int64_t offset = 0;
                for (size_t d = 0; d < rank; ++d) offset += (slice.start[d] + index[d] * slice.step[d]) * strides[d];
                std::memcpy(output.mutableBytes() + offset * size, values.bytes() + o * size, static_cast<size_t>(size));
                for (size_t d = rank; d-- > 0;) {
                    if (++index[d] < slice.box[d]) break;
                    index[d] = 0;
                }
            }
        });
    });
}

void addSliceBySize(OpRegistry& registry) {
    registry.add("slice_by_size", [](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef x = b.input("x");
        const InputRef beginInput = b.input("begin");
        const Shape in = b.shapeOf(x);
        const size_t rank = in.size();
        std::vector<int64_t> size = b.integers("size");
        b.require(size.size() == rank, "size needs one entry per dimension of " + describe(in));
        b.require(b.shapeOf(beginInput) == Shape{static_cast<int64_t>(rank)}, "begin needs one entry per dimension");
        const Tensor* fixedBegin = b.constantOf(beginInput);
        Shape box(rank);
        for (size_t d = 0; d < rank; ++d) {
            const int64_t start = fixedBegin ? fixedBegin->toInts()[d] : 0;
            box[d] = size[d] == -1 ? (in[d] == kUnknownDim ? kUnknownDim : in[d] - start) : size[d];
            b.require(box[d] == kUnknownDim || box[d] >= 0, "size entries must be -1 or at least 0");
            if (fixedBegin && in[d] != kUnknownDim) {
                b.require(start >= 0 && start + box[d] <= in[d], "slice [" + std::to_string(start) + ", " +
                                                                     std::to_string(start + box[d]) +
                                                                     ") is outside dimension " + std::to_string(in[d]));
            }
        }
        b.setOutput(0, b.dataTypeOf(x), box);
        return makeKernel([x, beginInput](KernelContext& context) {
            const Tensor& input = context.input(x);
            const std::vector<int64_t> start = context.input(beginInput).toInts();
            const Shape& box = context.outputShape(0);
            for (size_t d = 0; d < box.size(); ++d) {
                if (start[d] < 0 || start[d] + box[d] > input.shape()[d]) {
                    throw PredictionError(PredictionError::Kind::invalidInputValue, "",
                                          "slice start " + std::to_string(start[d]) + " is outside dimension " +
                                              std::to_string(input.shape()[d]));
                }
            }
            sliceOutput(context, input, box, start, std::vector<int64_t>(box.size(), 1));
        });
    });
}

}  // namespace

void registerGatherSliceOps(OpRegistry& registry) {
    addGather(registry);
    addSliceByIndex(registry);
    addSliceBySize(registry);
    addSliceUpdate(registry);
}

}  // namespace platform::coreml::runtime
