#include <cmath>
#include <cstring>

#include "platform/coreml/runtime/OpLibrary.h"
#include "platform/coreml/runtime/RuntimeError.h"
#include "platform/coreml/runtime/ops/OpSupport.h"

namespace platform::coreml::runtime {
namespace {

// fill(shape, value): the shape is usually known at load; when it comes from
// the inputs, the program's declared shape is what the output takes.
void addFill(OpRegistry& registry) {
    registry.add("fill", [](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef shapeInput = b.input("shape");
        b.require(isInteger(b.dataTypeOf(shapeInput)) && b.shapeOf(shapeInput).size() == 1, "shape must be a list of integers");
        const std::optional<Tensor> value = b.optionalConstant("value");
        b.require(!value || (value->count() == 1 && isNumeric(value->dataType())), "value must be one number");
        const DataType type = value ? value->dataType() : DataType::Float32;
        const double fillValue = value ? value->number(0) : 0.0;
        Shape shape = b.declaredOutput(0).shape;
        if (const Tensor* fixed = b.constantOf(shapeInput)) {
            shape = fixed->toInts();
            for (int64_t d : shape) b.require(d >= 0, "shape entries must not be negative");
        }
        b.setOutput(0, type, shape);
        return makeKernel([shapeInput, fillValue](KernelContext& context) {
            if (context.input(shapeInput).toInts() != context.outputShape(0)) {
                throw PredictionError(PredictionError::Kind::invalidInputValue, "",
                                      "fill shape " + describe(context.input(shapeInput).toInts()) +
                                          " differs from the declared " + describe(context.outputShape(0)));
            }
            Tensor& output = context.allocateOutput(0);
            if (output.dataType() == DataType::Float32) {
                std::fill_n(output.mutableData<float>(), output.count(), static_cast<float>(fillValue));
            } else {
                for (int64_t i = 0; i < output.count(); ++i) setNumber(output, i, fillValue);
            }
        });
    });
}

int64_t rangeLength(double start, double end, double step) {
    return std::max<int64_t>(0, static_cast<int64_t>(std::ceil((end - start) / step)));
}

void addRange(OpRegistry& registry) {
    registry.add("range_1d", [](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef start = b.input("start");
        const InputRef end = b.input("end");
        const InputRef step = b.input("step");
        const DataType type = b.dataTypeOf(start);
        for (const InputRef r : {start, end, step}) {
            b.require(b.dataTypeOf(r) == type && isNumeric(type), "start, end and step must be numbers of one type");
            b.require(elementCount(b.shapeOf(r)).value_or(0) == 1, "start, end and step must be scalars");
        }
        const Tensor *s = b.constantOf(start), *e = b.constantOf(end), *st = b.constantOf(step);
        if (st) b.require(st->number(0) != 0, "step must not be 0");
        Shape shape = b.declaredOutput(0).shape;
        if (s && e && st) shape = {rangeLength(s->number(0), e->number(0), st->number(0))};
        b.setOutput(0, type, shape);
        return makeKernel([start, end, step](KernelContext& context) {
            const double first = context.input(start).number(0);
            const double increment = context.input(step).number(0);
            const int64_t length = increment == 0 ? -1 : rangeLength(first, context.input(end).number(0), increment);
            if (Shape{length} != context.outputShape(0)) {
                throw PredictionError(PredictionError::Kind::invalidInputValue, "",
                                      "range_1d makes " + std::to_string(length) + " values, the program declares " +
                                          describe(context.outputShape(0)));
            }
            Tensor& output = context.allocateOutput(0);
            for (int64_t i = 0; i < length; ++i) setNumber(output, i, first + static_cast<double>(i) * increment);
        });
    });
}

void addShape(OpRegistry& registry) {
    registry.add("shape", [](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef x = b.input("x");
        const DataType type = b.declaredOutput(0).dataType;
        b.require(type == DataType::Int32 || type == DataType::Int64, "shape gives int32 values");
        b.setOutput(0, type, {static_cast<int64_t>(b.shapeOf(x).size())});
        return makeKernel([x](KernelContext& context) {
            const Shape& shape = context.input(x).shape();
            Tensor& output = context.allocateOutput(0);
            for (size_t d = 0; d < shape.size(); ++d) setNumber(output, static_cast<int64_t>(d), static_cast<double>(shape[d]));
        });
    });
}

// Output position p along dimension d reads input position p mod x.shape[d].
void addTile(OpRegistry& registry) {
    registry.add("tile", [](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef x = b.input("x");
        const Shape in = b.shapeOf(x);
        const std::vector<int64_t> reps = b.integers("reps");
        b.require(reps.size() == in.size(), "reps needs one entry per dimension of " + describe(in));
        Shape shape = in;
        for (size_t d = 0; d < in.size(); ++d) {
            b.require(reps[d] >= 0, "reps must not be negative");
            if (in[d] != kUnknownDim) shape[d] = in[d] * reps[d];
        }
        b.setOutput(0, b.dataTypeOf(x), shape);
        return makeKernel([x](KernelContext& context) {
            const Tensor& input = context.input(x);
            Tensor& output = context.allocateOutput(0);
            const Shape& in = input.shape();
            const Shape& out = output.shape();
            const size_t rank = out.size();
            const auto size = static_cast<int64_t>(elementSize(input.dataType()));
            if (output.count() == 0) return;
            if (rank == 0) {
                std::memcpy(output.mutableBytes(), input.bytes(), static_cast<size_t>(size));
                return;
            }
            const Shape inStrides = stridesOf(in);
            const int64_t inner = in[rank - 1];
            const int64_t rows = output.count() / out[rank - 1];
            context.parallelFor(rows, 64, [&](int64_t begin, int64_t end) {
                for (int64_t r = begin; r < end; ++r) {
                    int64_t source = 0, rest = r;
                    for (size_t d = rank - 1; d-- > 0;) {
                        source += (rest % out[d]) % in[d] * inStrides[d];
                        rest /= out[d];
                    }
                    std::byte* row = output.mutableBytes() + r * out[rank - 1] * size;
                    for (int64_t copy = 0; copy < out[rank - 1] / inner; ++copy) {
                        std::memcpy(row + copy * inner * size, input.bytes() + source * size, static_cast<size_t>(inner * size));
                    }
                }
            });
        });
    });
}

// Keeps the band of the last two dimensions within `lower` diagonals below
// and `upper` above the main one (negative: the whole triangle), zeroing the rest.
void addBandPart(OpRegistry& registry) {
    registry.add("band_part", [](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef x = b.input("x");
        b.require(b.shapeOf(x).size() >= 2, "x must have rank 2 or more, has shape " + describe(b.shapeOf(x)));
        const int64_t lower = b.integer("lower", -1);
        const int64_t upper = b.integer("upper", -1);
        b.setOutput(0, b.dataTypeOf(x), b.shapeOf(x));
        return makeKernel([x, lower, upper](KernelContext& context) {
            const Tensor& input = context.input(x);
            Tensor& output = context.allocateOutput(0);
            const Shape& s = input.shape();
            const int64_t rows = s[s.size() - 2], cols = s.back();
            const auto size = static_cast<int64_t>(elementSize(input.dataType()));
            const int64_t matrices = rows * cols == 0 ? 0 : input.count() / (rows * cols);
            std::memcpy(output.mutableBytes(), input.bytes(), input.byteSize());
            for (int64_t m = 0; m < matrices; ++m) {
                for (int64_t i = 0; i < rows; ++i) {
                    std::byte* row = output.mutableBytes() + (m * rows + i) * cols * size;
                    for (int64_t j = 0; j < cols; ++j) {
                        const bool inside = (lower < 0 || i - j <= lower) && (upper < 0 || j - i <= upper);
                        if (!inside) std::memset(row + j * size, 0, static_cast<size_t>(size));
                    }
                }
            }
        });
    });
}

}  // namespace

void registerConstructionOps(OpRegistry& registry) {
    addFill(registry);
    addRange(registry);
    addShape(registry);
    addTile(registry);
    addBandPart(registry);
}

}  // namespace platform::coreml::runtime
