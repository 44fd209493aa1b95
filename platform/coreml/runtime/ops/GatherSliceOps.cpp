#include <algorithm>
#include <cstring>

#include "platform/coreml/runtime/OpLibrary.h"
#include "platform/coreml/runtime/RuntimeError.h"
#include "platform/coreml/runtime/ops/OpSupport.h"

namespace platform::coreml::runtime {
namespace {

// Copies a strided box of `source` into `target`: along dimension d the box
// starts at start[d] and steps by step[d] (which may be negative).
void copyBox(const Tensor& source, Tensor& target, const Shape& box, const std::vector<int64_t>& start,
             const std::vector<int64_t>& step) {
    const Shape strides = stridesOf(source.shape());
    const auto size = static_cast<int64_t>(elementSize(source.dataType()));
    const size_t rank = box.size();
    const int64_t total = countOf(box);
    const std::byte* src = source.bytes();
    std::byte* dst = target.mutableBytes();
    std::vector<int64_t> index(rank, 0);
    for (int64_t o = 0; o < total; ++o) {
        int64_t offset = 0;
        for (size_t d = 0; d < rank; ++d) offset += (start[d] + index[d] * step[d]) * strides[d];
        std::memcpy(dst + o * size, src + offset * size, static_cast<size_t>(size));
        for (size_t d = rank; d-- > 0;) {
            if (++index[d] < box[d]) break;
            index[d] = 0;
        }
    }
}

void addGather(OpRegistry& registry) {
    registry.add("gather", [](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef x = b.input("x");
        const InputRef indices = b.input("indices");
        b.require(isInteger(b.dataTypeOf(indices)), "indices must be integers");
        const Shape xs = b.shapeOf(x);
        const auto axis = normalizeAxis(b.integer("axis", 0), static_cast<int64_t>(xs.size()));
        b.require(axis.has_value(), "axis is out of range for shape " + describe(xs));
        b.require(b.integer("batch_dims", 0) == 0, "gather with batch_dims is not supported");
        b.ignore("validate_indices");
        const auto a = static_cast<size_t>(*axis);
        Shape shape(xs.begin(), xs.begin() + static_cast<int64_t>(a));
        for (int64_t d : b.shapeOf(indices)) shape.push_back(d);
        shape.insert(shape.end(), xs.begin() + static_cast<int64_t>(a) + 1, xs.end());
        b.setOutput(0, b.dataTypeOf(x), shape);
        return makeKernel([x, indices, a](KernelContext& context) {
            const Tensor& input = context.input(x);
            const std::vector<int64_t> picks = context.input(indices).toInts();
            const Shape& s = input.shape();
            int64_t outer = 1, inner = 1;
            for (size_t d = 0; d < a; ++d) outer *= s[d];
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
            const auto count = static_cast<int64_t>(picks.size());
            for (int64_t o = 0; o < outer; ++o) {
                for (int64_t i = 0; i < count; ++i) {
                    const int64_t row = picks[static_cast<size_t>(i)] < 0 ? picks[static_cast<size_t>(i)] + length
                                                                          : picks[static_cast<size_t>(i)];
                    std::memcpy(output.mutableBytes() + ((o * count + i) * inner) * size,
                                input.bytes() + ((o * length + row) * inner) * size, static_cast<size_t>(inner * size));
                }
            }
        });
    });
}

void addSliceByIndex(OpRegistry& registry) {
    registry.add("slice_by_index", [](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef x = b.input("x");
        const Shape in = b.shapeOf(x);
        const size_t rank = in.size();
        std::vector<int64_t> begin = b.integers("begin");
        std::vector<int64_t> end = b.integers("end");
        std::vector<int64_t> stride = b.integers("stride", std::vector<int64_t>(rank, 1));
        const auto mask = [&](std::string_view name) {
            if (!b.has(name)) return std::vector<int64_t>(rank, 0);
            return b.constant(name).toInts();
        };
        const std::vector<int64_t> beginMask = mask("begin_mask");
        const std::vector<int64_t> endMask = mask("end_mask");
        const std::vector<int64_t> squeezeMask = mask("squeeze_mask");
        b.require(begin.size() == rank && end.size() == rank && stride.size() == rank && beginMask.size() == rank &&
                      endMask.size() == rank && squeezeMask.size() == rank,
                  "begin, end, stride and masks need one entry per dimension of " + describe(in));
        Shape box(rank), shape;
        for (size_t d = 0; d < rank; ++d) {
            const int64_t n = in[d];
            const int64_t s = stride[d];
            b.require(s != 0, "stride must not be 0");
            b.require(n != kUnknownDim, "slicing an open dimension is not supported");
            // Python slice rules: negative positions count from the end, and
            // positions clamp to the dimension.
            const auto clampPosition = [&](int64_t p) {
                if (p < 0) p += n;
                return s > 0 ? std::clamp<int64_t>(p, 0, n) : std::clamp<int64_t>(p, -1, n - 1);
            };
            int64_t first = beginMask[d] ? (s > 0 ? 0 : n - 1) : clampPosition(begin[d]);
            int64_t last = endMask[d] ? (s > 0 ? n : -1) : clampPosition(end[d]);
            if (squeezeMask[d]) {
                first = begin[d] < 0 ? begin[d] + n : begin[d];
                b.require(first >= 0 && first < n, "squeezed index is outside dimension " + std::to_string(d));
                last = first + 1;
                stride[d] = 1;
            }
            const int64_t span = stride[d] > 0 ? (last - first + stride[d] - 1) / stride[d]
                                               : (first - last + (-stride[d]) - 1) / (-stride[d]);
            box[d] = std::max<int64_t>(span, 0);
            begin[d] = first;
            if (!squeezeMask[d]) shape.push_back(box[d]);
        }
        b.setOutput(0, b.dataTypeOf(x), shape);
        return makeKernel([x, box, begin, stride](KernelContext& context) {
            Tensor& output = context.allocateOutput(0);
            copyBox(context.input(x), output, box, begin, stride);
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
            Tensor& output = context.allocateOutput(0);
            const Shape& box = output.shape();
            for (size_t d = 0; d < box.size(); ++d) {
                if (start[d] < 0 || start[d] + box[d] > input.shape()[d]) {
                    throw PredictionError(PredictionError::Kind::invalidInputValue, "",
                                          "slice start " + std::to_string(start[d]) + " is outside dimension " +
                                              std::to_string(input.shape()[d]));
                }
            }
            copyBox(input, output, box, start, std::vector<int64_t>(box.size(), 1));
        });
    });
}

}  // namespace

void registerGatherSliceOps(OpRegistry& registry) {
    addGather(registry);
    addSliceByIndex(registry);
    addSliceBySize(registry);
}

}  // namespace platform::coreml::runtime
