#include <cmath>
#include <cstring>

#include "platform/coreml/runtime/OpLibrary.h"
#include "platform/coreml/runtime/RuntimeError.h"
#include "platform/coreml/runtime/ops/OpSupport.h"

namespace platform::coreml::runtime {
namespace {

// The compression ops describe constants: every input is known at load, so
// their kernels run once while the program is built and never at prediction.

// Bit `bit` of a byte array, least significant bit first.
unsigned bitAt(const uint8_t* bytes, uint64_t bit) {
    return (bytes[bit / 8] >> (bit % 8)) & 1u;
}

std::vector<int64_t> outputShapeParameter(OpBuilder& b) {
    const std::vector<int64_t> shape = b.integers("shape");
    for (int64_t d : shape) b.require(d >= 0, "shape entries must not be negative");
    b.require(elementCount(shape).has_value(), "shape is too large");
    return shape;
}

void requireConstant(const OpBuilder& b, InputRef input, std::string_view what) {
    b.require(b.constantOf(input) != nullptr, std::string(what) + " must be a constant");
}

// Index of the parameter block that element `index` of `shape` falls in,
// where `blocks` gives the number of blocks along each dimension.
int64_t blockOf(const Shape& shape, const Shape& blocks, int64_t index) {
    int64_t block = 0;
    int64_t rest = index;
    Shape strides = stridesOf(shape);
    for (size_t d = 0; d < shape.size(); ++d) {
        const int64_t i = rest / strides[d];
        rest %= strides[d];
        block = block * blocks[d] + i / (shape[d] / blocks[d]);
    }
    return block;
}

void addAffineDequantize(OpRegistry& registry) {
    registry.add("constexpr_affine_dequantize", [](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef data = b.input("quantized_data");
        const InputRef zero = b.input("zero_point");
        const InputRef scale = b.input("scale");
        for (InputRef in : {data, zero, scale}) requireConstant(b, in, "every argument");
        const Shape shape = b.shapeOf(data);
        const auto axis = normalizeAxis(b.integer("axis", 0), static_cast<int64_t>(shape.size()));
        b.require(axis.has_value() || shape.empty(), "axis is out of range for " + describe(shape));
        const int64_t along = axis.value_or(0);
        for (InputRef p : {zero, scale}) {
            const int64_t count = countOf(b.shapeOf(p));
            b.require(count == 1 || (!shape.empty() && count == shape[static_cast<size_t>(along)]),
                      "zero_point and scale must be scalars or run along axis " + std::to_string(along));
        }
        b.requireFloat(scale, "scale");
        b.setOutput(0, b.dataTypeOf(scale), shape);
        return makeKernel([data, zero, scale, along](KernelContext& context) {
            const Tensor& q = context.input(data);
            const std::vector<float> z = context.input(zero).toFloats();
            const std::vector<float> s = context.input(scale).toFloats();
            FloatOutput output(context, 0);
            const Shape& shape = q.shape();
            int64_t inner = 1;
            for (size_t d = static_cast<size_t>(along) + 1; d < shape.size(); ++d) inner *= shape[d];
            const int64_t length = shape.empty() ? 1 : shape[static_cast<size_t>(along)];
            for (int64_t i = 0; i < q.count(); ++i) {
                const auto channel = static_cast<size_t>((i / inner) % length);
                const float zp = z.size() == 1 ? z[0] : z[channel];
                const float sc = s.size() == 1 ? s[0] : s[channel];
                output.data()[i] = sc * (static_cast<float>(q.number(i)) - zp);
            }
            output.commit();
        });
    });
}

void addCastConstant(OpRegistry& registry) {
    registry.add("constexpr_cast", [](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef source = b.input("source_val");
        requireConstant(b, source, "source_val");
        const std::string target = b.string("output_dtype");
        const auto type = dataTypeNamed(target);
        b.require(type && isNumeric(*type), "cannot cast to '" + target + "'");
        b.setOutput(0, *type, b.shapeOf(source));
        return makeKernel([source](KernelContext& context) {
            context.setOutput(0, context.input(source).castTo(context.outputType(0)));
        });
    });
}

// Up to ios17 the indices are a byte array packing one log2(palette)-bit
// index per element and the table is one list; from ios18 the indices are a
// typed tensor and tables may differ per block of elements and hold vectors.
void addLutToDense(OpRegistry& registry) {
    registry.add("constexpr_lut_to_dense", [](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef indices = b.input("indices");
        const InputRef lut = b.input("lut");
        requireConstant(b, indices, "indices");
        requireConstant(b, lut, "lut");
        const Shape lutShape = b.shapeOf(lut);
        if (b.opset() < Opset::iOS18) {
            const Shape shape = outputShapeParameter(b);
            const int64_t palette = countOf(lutShape);
            b.require(lutShape.size() == 1 && (palette == 2 || palette == 4 || palette == 16 || palette == 64 || palette == 256),
                      "lut must list 2, 4, 16, 64 or 256 entries, has shape " + describe(lutShape));
            b.require(b.dataTypeOf(indices) == DataType::UInt8, "packed indices must be uint8");
            const auto bits = static_cast<unsigned>(std::log2(static_cast<double>(palette)));
            const int64_t needed = (countOf(shape) * bits + 7) / 8;
            b.require(countOf(b.shapeOf(indices)) >= needed, "indices hold " + std::to_string(countOf(b.shapeOf(indices))) +
                                                                 " bytes, the shape needs " + std::to_string(needed));
            b.setOutput(0, b.dataTypeOf(lut), shape);
            return makeKernel([indices, lut, bits](KernelContext& context) {
                const auto* packed = context.input(indices).data<uint8_t>();
                const Tensor& table = context.input(lut);
                Tensor& output = context.allocateOutput(0);
                const size_t size = elementSize(table.dataType());
                for (int64_t i = 0; i < output.count(); ++i) {
                    unsigned index = 0;
                    for (unsigned k = 0; k < bits; ++k) index |= bitAt(packed, static_cast<uint64_t>(i) * bits + k) << k;
                    std::memcpy(output.mutableBytes() + i * static_cast<int64_t>(size), table.bytes() + index * size, size);
                }
            });
        }
        const Shape shape = b.shapeOf(indices);
        b.require(isInteger(b.dataTypeOf(indices)) && !isSigned(b.dataTypeOf(indices)), "indices must be unsigned integers");
        b.require(lutShape.size() == shape.size() + 2, "lut must be [blocks..., palette, vector size], has shape " +
                                                           describe(lutShape));
        const int64_t palette = lutShape[shape.size()];
        const int64_t vector = lutShape[shape.size() + 1];
        Shape blocks(lutShape.begin(), lutShape.begin() + static_cast<int64_t>(shape.size()));
        Shape result = shape;
        const auto vectorAxis = normalizeAxis(b.integer("vector_axis", 0), static_cast<int64_t>(shape.size()));
        if (vector > 1) {
            b.require(vectorAxis.has_value(), "vector_axis is out of range");
            result[static_cast<size_t>(*vectorAxis)] *= vector;
        } else {
            b.ignore("vector_axis");
        }
        for (size_t d = 0; d < shape.size(); ++d) {
            b.require(blocks[d] > 0 && shape[d] % blocks[d] == 0, "lut blocks do not divide the indices' shape");
        }
        b.setOutput(0, b.dataTypeOf(lut), result);
        const int64_t va = vectorAxis.value_or(0);
        return makeKernel([indices, lut, shape, blocks, palette, vector, va](KernelContext& context) {
            const Tensor& picks = context.input(indices);
            const Tensor& table = context.input(lut);
            Tensor& output = context.allocateOutput(0);
            const size_t size = elementSize(table.dataType());
            const Shape outStrides = stridesOf(output.shape());
            const Shape inStrides = stridesOf(shape);
            for (int64_t i = 0; i < picks.count(); ++i) {
                const auto pick = static_cast<int64_t>(picks.number(i));
                if (pick >= palette) {
                    throw ModelLoadError(ModelLoadError::Kind::invalidProgram, "a lut index lies outside the palette");
                }
                const int64_t block = blockOf(shape, blocks, i);
                int64_t target = 0, rest = i;
                for (size_t d = 0; d < shape.size(); ++d) {
                    int64_t at = rest / inStrides[d];
                    rest %= inStrides[d];
                    if (static_cast<int64_t>(d) == va) at *= vector;
                    target += at * outStrides[d];
                }
                for (int64_t v = 0; v < vector; ++v) {
                    std::memcpy(output.mutableBytes() + (target + v * outStrides[static_cast<size_t>(va)]) * static_cast<int64_t>(size),
                                table.bytes() + ((block * palette + pick) * vector + v) * static_cast<int64_t>(size), size);
                }
            }
        });
    });
}

void addSparseToDense(OpRegistry& registry) {
    registry.add("constexpr_sparse_to_dense", [](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef values = b.input("nonzero_data");
        const InputRef mask = b.input("mask");
        requireConstant(b, values, "nonzero_data");
        requireConstant(b, mask, "mask");
        const bool packed = b.opset() < Opset::iOS18;
        const Shape shape = packed ? outputShapeParameter(b) : b.shapeOf(mask);
        if (packed) {
            b.require(b.dataTypeOf(mask) == DataType::UInt8, "a packed mask must be uint8");
            b.require(countOf(b.shapeOf(mask)) * 8 >= countOf(shape), "the mask is shorter than the shape");
        }
        // The number of set bits must match the values given; counted here so
        // a bad bundle fails at load rather than reading past the values.
        const Tensor& maskValue = *b.constantOf(mask);
        int64_t ones = 0;
        for (int64_t i = 0; i < countOf(shape); ++i) {
            ones += packed ? bitAt(maskValue.data<uint8_t>(), static_cast<uint64_t>(i)) : (maskValue.number(i) != 0);
        }
        b.require(ones == countOf(b.shapeOf(values)), "the mask sets " + std::to_string(ones) + " elements, nonzero_data has " +
                                                          std::to_string(countOf(b.shapeOf(values))));
        b.setOutput(0, b.dataTypeOf(values), shape);
        return makeKernel([values, mask, packed](KernelContext& context) {
            const Tensor& data = context.input(values);
            const Tensor& bits = context.input(mask);
            Tensor& output = context.allocateOutput(0);
            const size_t size = elementSize(data.dataType());
            std::memset(output.mutableBytes(), 0, output.byteSize());
            int64_t next = 0;
            for (int64_t i = 0; i < output.count(); ++i) {
                const bool set = packed ? bitAt(bits.data<uint8_t>(), static_cast<uint64_t>(i)) : bits.number(i) != 0;
                if (!set) continue;
                std::memcpy(output.mutableBytes() + i * static_cast<int64_t>(size), data.bytes() + next++ * static_cast<int64_t>(size), size);
            }
        });
    });
}

void addBlockwiseShiftScale(OpRegistry& registry) {
    registry.add("constexpr_blockwise_shift_scale", [](OpBuilder& b) -> std::unique_ptr<Kernel> {
        const InputRef data = b.input("data");
        const InputRef scale = b.input("scale");
        const std::optional<InputRef> offset = b.optionalInput("offset");
        requireConstant(b, data, "data");
        requireConstant(b, scale, "scale");
        if (offset) requireConstant(b, *offset, "offset");
        const Shape shape = b.shapeOf(data);
        const Shape blocks = b.shapeOf(scale);
        b.requireFloat(scale, "scale");
        b.require(blocks.size() == shape.size(), "scale must have the rank of data");
        for (size_t d = 0; d < shape.size(); ++d) {
            b.require(blocks[d] > 0 && shape[d] % blocks[d] == 0, "scale's shape must divide data's shape");
        }
        if (offset) b.require(b.shapeOf(*offset) == blocks, "offset must have scale's shape");
        b.setOutput(0, b.dataTypeOf(scale), shape);
        return makeKernel([data, scale, offset, shape, blocks](KernelContext& context) {
            const Tensor& q = context.input(data);
            const std::vector<float> s = context.input(scale).toFloats();
            const std::vector<float> z = offset ? context.input(*offset).toFloats() : std::vector<float>();
            FloatOutput output(context, 0);
            for (int64_t i = 0; i < q.count(); ++i) {
                const auto block = static_cast<size_t>(blockOf(shape, blocks, i));
                output.data()[i] = s[block] * (static_cast<float>(q.number(i)) - (z.empty() ? 0.0f : z[block]));
            }
            output.commit();
        });
    });
}

}  // namespace

void registerCompressionOps(OpRegistry& registry) {
    addAffineDequantize(registry);
    addCastConstant(registry);
    addLutToDense(registry);
    addSparseToDense(registry);
    addBlockwiseShiftScale(registry);
}

}  // namespace platform::coreml::runtime
