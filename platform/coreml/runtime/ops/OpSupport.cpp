#include "platform/coreml/runtime/ops/OpSupport.h"

#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <numeric>

#include "platform/coreml/runtime/ops/FloatBlocks.h"

namespace platform::coreml::runtime {
namespace {

// Elements one worker converts at a time between fp16 and fp32.
constexpr int64_t kConversionGrain = 65536;

}  // namespace

Tensor floatInput(const KernelContext& context, InputRef input) {
    const Tensor& tensor = context.input(input);
    if (tensor.dataType() == DataType::Float32) return tensor;
    Tensor converted = Tensor::uninitialized(DataType::Float32, tensor.shape());
    float* target = converted.mutableData<float>();
    context.parallelFor(tensor.count(), kConversionGrain, [&](int64_t begin, int64_t end) {
        const float* values = readFloats(tensor, begin, end - begin, target + begin);
        if (values != target + begin) std::copy(values, values + (end - begin), target + begin);
    });
    return converted;
}

FloatOutput::FloatOutput(KernelContext& context, size_t index) : context_(context), index_(index) {
    if (context.outputType(index) == DataType::Float32) {
        values_ = context.allocateOutput(index).mutableData<float>();
    } else {
        scratch_ = Tensor::uninitialized(DataType::Float32, context.outputShape(index));
        values_ = scratch_.mutableData<float>();
    }
    count_ = countOf(context.outputShape(index));
}

void FloatOutput::commit() {
    if (!scratch_.isValid()) return;
    Tensor& output = context_.allocateOutput(index_);
    context_.parallelFor(count_, kConversionGrain,
                         [&](int64_t begin, int64_t end) { writeFloats(output, begin, end - begin, values_ + begin); });
}

std::vector<int64_t> broadcastStrides(const Shape& shape, const Shape& result) {
    std::vector<int64_t> strides(result.size(), 0);
    const Shape own = stridesOf(shape);
    const size_t offset = result.size() - shape.size();
    for (size_t i = 0; i < shape.size(); ++i) strides[offset + i] = shape[i] == 1 ? 0 : own[i];
    return strides;
}

Shape broadcastOrFail(const OpBuilder& builder, const Shape& a, const Shape& b) {
    const auto shape = broadcastShapes(a, b);
    if (!shape) builder.fail("shapes " + describe(a) + " and " + describe(b) + " cannot be broadcast");
    return *shape;
}

std::vector<int64_t> normalizedAxes(const OpBuilder& builder, const std::vector<int64_t>& axes, int64_t rank) {
    std::vector<int64_t> result;
    for (int64_t axis : axes) {
        const auto normalized = normalizeAxis(axis, rank);
        if (!normalized) builder.fail("axis " + std::to_string(axis) + " is out of range for rank " + std::to_string(rank));
        if (std::find(result.begin(), result.end(), *normalized) != result.end()) {
            builder.fail("axis " + std::to_string(axis) + " is named twice");
        }
        result.push_back(*normalized);
    }
    return result;
}

namespace {

// Elements one worker copies at a time when a permutation is split up. A
// decoder step's cache transposes (115k elements) read a cache just written
// by other threads, and finish sooner in four parts than on one thread.
constexpr int64_t kCopyGrain = 32768;
// Columns of the tiles a transpose moves at a time; a tile's rows span a
// cache line of the source, so that every line read is used whole.
constexpr int64_t kTile = 16;
constexpr int64_t kLineBytes = 64;

// A permutation as the copy it really is: the axes of size 1 dropped and the
// target axes that are neighbours in the source as well merged into one.
// Target axis i has size dims[i] and steps through the source by from[i].
struct CollapsedPermutation {
    Shape dims;
    std::vector<int64_t> from;

    CollapsedPermutation(const Shape& in, const std::vector<int64_t>& perm) {
        const Shape strides = stridesOf(in);
        int64_t previous = -1;
        for (int64_t axis : perm) {
            const auto a = static_cast<size_t>(axis);
            if (in[a] == 1) continue;
            const bool follows = previous >= 0 && axis > previous &&
                                 std::all_of(in.begin() + previous + 1, in.begin() + axis, [](int64_t d) { return d == 1; });
            if (follows) {
                dims.back() *= in[a];
                from.back() = strides[a];
            } else {
                dims.push_back(in[a]);
                from.push_back(strides[a]);
            }
            previous = axis;
        }
    }
};

// Source and target offsets of position `index` over the target axes `axes`.
void offsetsOf(int64_t index, const std::vector<size_t>& axes, const CollapsedPermutation& p, const Shape& targetStrides,
               int64_t& source, int64_t& target) {
    source = 0;
    target = 0;
    for (size_t k = axes.size(); k-- > 0;) {
        const size_t d = axes[k];
        const int64_t i = index % p.dims[d];
        index /= p.dims[d];
        source += i * p.from[d];
        target += i * targetStrides[d];
    }
}

// Moves a [rows, columns] block whose rows are contiguous in the source and
// whose columns are contiguous in the target.
template <size_t Size>
void transposeBlock(const std::byte* source, std::byte* target, int64_t rows, int64_t columns, int64_t sourceStride,
                    int64_t targetStride, size_t) {
    constexpr auto size = static_cast<int64_t>(Size);
    for (int64_t j0 = 0; j0 < columns; j0 += kTile) {
        const int64_t j1 = std::min(columns, j0 + kTile);
        for (int64_t i = 0; i < rows; ++i) {
            for (int64_t j = j0; j < j1; ++j) {
                std::memcpy(target + (i * targetStride + j) * size, source + (i + j * sourceStride) * size, Size);
            }
        }
    }
}

// Eight source rows of eight 16-bit elements become eight target rows.
void transpose8x8(__m128i* r) {
    const __m128i a0 = _mm_unpacklo_epi16(r[0], r[1]), a1 = _mm_unpackhi_epi16(r[0], r[1]);
    const __m128i a2 = _mm_unpacklo_epi16(r[2], r[3]), a3 = _mm_unpackhi_epi16(r[2], r[3]);
    const __m128i a4 = _mm_unpacklo_epi16(r[4], r[5]), a5 = _mm_unpackhi_epi16(r[4], r[5]);
    const __m128i a6 = _mm_unpacklo_epi16(r[6], r[7]), a7 = _mm_unpackhi_epi16(r[6], r[7]);
    const __m128i b0 = _mm_unpacklo_epi32(a0, a2), b1 = _mm_unpackhi_epi32(a0, a2);
    const __m128i b2 = _mm_unpacklo_epi32(a1, a3), b3 = _mm_unpackhi_epi32(a1, a3);
    const __m128i b4 = _mm_unpacklo_epi32(a4, a6), b5 = _mm_unpackhi_epi32(a4, a6);
    const __m128i b6 = _mm_unpacklo_epi32(a5, a7), b7 = _mm_unpackhi_epi32(a5, a7);
    r[0] = _mm_unpacklo_epi64(b0, b4);
    r[1] = _mm_unpackhi_epi64(b0, b4);
    r[2] = _mm_unpacklo_epi64(b1, b5);
    r[3] = _mm_unpackhi_epi64(b1, b5);
    r[4] = _mm_unpacklo_epi64(b2, b6);
    r[5] = _mm_unpackhi_epi64(b2, b6);
    r[6] = _mm_unpacklo_epi64(b3, b7);
    r[7] = _mm_unpackhi_epi64(b3, b7);
}

// fp16 storage, the common case, in eight-by-eight register transposes.
template <>
void transposeBlock<2>(const std::byte* source, std::byte* target, int64_t rows, int64_t columns, int64_t sourceStride,
                       int64_t targetStride, size_t) {
    const auto* s = reinterpret_cast<const uint16_t*>(source);
    auto* d = reinterpret_cast<uint16_t*>(target);
    const auto single = [&](int64_t i, int64_t j) { d[i * targetStride + j] = s[i + j * sourceStride]; };
    int64_t j0 = 0;
    for (; j0 + 8 <= columns; j0 += 8) {
        int64_t i0 = 0;
        for (; i0 + 8 <= rows; i0 += 8) {
            __m128i r[8];
            for (int64_t k = 0; k < 8; ++k) r[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i0 + (j0 + k) * sourceStride));
            transpose8x8(r);
            for (int64_t k = 0; k < 8; ++k) _mm_storeu_si128(reinterpret_cast<__m128i*>(d + (i0 + k) * targetStride + j0), r[k]);
        }
        for (; i0 < rows; ++i0) {
            for (int64_t j = j0; j < j0 + 8; ++j) single(i0, j);
        }
    }
    for (; j0 < columns; ++j0) {
        for (int64_t i = 0; i < rows; ++i) single(i, j0);
    }
}

void transposeBlockOfAnySize(const std::byte* source, std::byte* target, int64_t rows, int64_t columns,
                             int64_t sourceStride, int64_t targetStride, size_t size) {
    const auto step = static_cast<int64_t>(size);
    for (int64_t i = 0; i < rows; ++i) {
        for (int64_t j = 0; j < columns; ++j) {
            std::memcpy(target + (i * targetStride + j) * step, source + (i + j * sourceStride) * step, size);
        }
    }
}

using BlockMover = void (*)(const std::byte*, std::byte*, int64_t, int64_t, int64_t, int64_t, size_t);

BlockMover blockMover(size_t size) {
    switch (size) {
        case 1: return transposeBlock<1>;
        case 2: return transposeBlock<2>;
        case 4: return transposeBlock<4>;
        case 8: return transposeBlock<8>;
        default: return transposeBlockOfAnySize;
    }
}

}  // namespace

void permute(const Tensor& source, Tensor& target, const std::vector<int64_t>& perm, const KernelContext& context) {
    const int64_t count = target.count();
    if (count == 0) return;
    const CollapsedPermutation p(source.shape(), perm);
    const size_t size = elementSize(source.dataType());
    const auto step = static_cast<int64_t>(size);
    const std::byte* src = source.bytes();
    std::byte* dst = target.mutableBytes();
    // Only axes of size 1 move, or none: the order of the elements stays.
    if (p.dims.size() <= 1) {
        context.parallelFor(count, kCopyGrain, [&](int64_t begin, int64_t end) {
            std::memcpy(dst + begin * step, src + begin * step, static_cast<size_t>(end - begin) * size);
        });
        return;
    }
    const Shape targetStrides = stridesOf(p.dims);
    const size_t last = p.dims.size() - 1;
    const int64_t inner = p.dims[last];
    // The innermost axis stays innermost: whole runs move at once.
    if (p.from[last] == 1) {
        std::vector<size_t> rowAxes(last);
        std::iota(rowAxes.begin(), rowAxes.end(), size_t{0});
        context.parallelFor(count / inner, std::max<int64_t>(1, kCopyGrain / inner), [&](int64_t begin, int64_t end) {
            for (int64_t r = begin; r < end; ++r) {
                int64_t from = 0, to = 0;
                offsetsOf(r, rowAxes, p, targetStrides, from, to);
                std::memcpy(dst + to * step, src + from * step, static_cast<size_t>(inner) * size);
            }
        });
        return;
    }
    // A transpose: the axis that is contiguous in the source (rows) against
    // the one contiguous in the target (columns), in tiles, for every position
    // of the other axes.
    const auto rowAxis = static_cast<size_t>(std::find(p.from.begin(), p.from.end(), 1) - p.from.begin());
    std::vector<size_t> otherAxes;
    for (size_t d = 0; d < last; ++d) {
        if (d != rowAxis) otherAxes.push_back(d);
    }
    const int64_t rows = p.dims[rowAxis];
    const int64_t blockRows = std::max<int64_t>(kTile, kLineBytes / step);
    const int64_t rowBlocks = (rows + blockRows - 1) / blockRows;
    const BlockMover move = blockMover(size);
    const int64_t blockElements = blockRows * inner;
    context.parallelFor(count / (rows * inner) * rowBlocks, std::max<int64_t>(1, kCopyGrain / blockElements),
                        [&](int64_t begin, int64_t end) {
                            for (int64_t item = begin; item < end; ++item) {
                                int64_t from = 0, to = 0;
                                offsetsOf(item / rowBlocks, otherAxes, p, targetStrides, from, to);
                                const int64_t row = (item % rowBlocks) * blockRows;
                                move(src + (from + row) * step, dst + (to + row * targetStrides[rowAxis]) * step,
                                     std::min(blockRows, rows - row), inner, p.from[last], targetStrides[rowAxis], size);
                            }
                        });
}

}  // namespace platform::coreml::runtime
