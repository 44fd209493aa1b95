#include "platform/coreml/runtime/ops/FusedAttention.h"

#include <algorithm>
#include <utility>

#include "platform/coreml/runtime/ops/DnnlMatmul.h"
#include "platform/coreml/runtime/ops/FloatBlocks.h"
#include "platform/coreml/runtime/ops/Gemm.h"
#include "platform/coreml/runtime/ops/MatrixVector.h"
#include "platform/coreml/runtime/ops/OpSupport.h"
#include "platform/coreml/runtime/ops/ProductSum.h"
#include "platform/coreml/runtime/ops/Softmax.h"
#include "platform/coreml/runtime/ops/VectorMath.h"

namespace platform::coreml::runtime {
namespace {

// Scores of one block of queries: small enough to stay in the second-level
// cache between the two products.
constexpr int64_t kScoresPerBlock = int64_t{1} << 17;
constexpr int64_t kQueryAlign = 16;

int64_t queriesPerBlock(int64_t queries, int64_t keys) {
    const int64_t fitting = kScoresPerBlock / std::max<int64_t>(keys, 1) / kQueryAlign * kQueryAlign;
    return std::clamp<int64_t>(fitting, kQueryAlign, std::max<int64_t>(queries, 1));
}

// A [rows, cols] matrix of `tensor` from `offset`, widened into `target` along
// whichever of its strides is 1, so that the copy is read in runs; returns the
// copy's layout.
MatrixLayout widenMatrix(const Tensor& tensor, int64_t offset, int64_t rows, int64_t rowStride, int64_t cols,
                         int64_t colStride, float* target) {
    if (rowStride == 1 && colStride != 1 && rows > 1) {
        for (int64_t c = 0; c < cols; ++c) readStrided(tensor, offset + c * colStride, rows, 1, target + c * rows);
        return MatrixLayout{rows, cols, 1, rows};
    }
    for (int64_t r = 0; r < rows; ++r) readStrided(tensor, offset + r * rowStride, cols, colStride, target + r * cols);
    return MatrixLayout{rows, cols, cols, 1};
}

MatrixLayout transposed(const MatrixLayout& l) {
    return MatrixLayout{l.cols, l.rows, l.colStride, l.rowStride};
}

int64_t batchOffset(const std::vector<int64_t>& sizes, const std::vector<int64_t>& strides, int64_t index) {
    int64_t offset = 0;
    for (size_t d = sizes.size(); d-- > 0;) {
        offset += index % sizes[d] * strides[d];
        index /= sizes[d];
    }
    return offset;
}

// The factors of a merged key or value operand, as one run reads them.
struct MergedTensors {
    const BroadcastLayout* layout = nullptr;
    ProductFactor factors[4];
    std::vector<float> widened;  // the fp16 factors broadcast over the merged shape, one after another
};

// The tensors one run of a fused attention node reads and writes. Merged
// keys or values have no tensor of their own.
struct AttentionTensors {
    const Tensor& queries;
    const Tensor* keys;
    const Tensor* values;
    const MergedTensors* mergedKeys;
    const MergedTensors* mergedValues;
    const Tensor* mask;
    Tensor& output;
    Tensor* probabilities;
};

// Blocks of queries, with every batch index's keys and values widened once
// for the blocks' products.
void attendInBlocks(const AttentionPlan& p, const AttentionTensors& t, int64_t batches, const KernelContext& context) {
    // Keys and values are read by every block of their batch index:
    // widened once.
    const int64_t keyCount = p.keys * p.depth, valueCount = p.keys * p.valueDepth;
    std::vector<float> wideKeys(static_cast<size_t>(batches * keyCount));
    std::vector<float> wideValues(static_cast<size_t>(batches * valueCount));
    std::vector<MatrixLayout> keyLayouts(static_cast<size_t>(batches)), valueLayouts(static_cast<size_t>(batches));
    context.parallelFor(batches, 1, [&](int64_t begin, int64_t end) {
        for (int64_t b = begin; b < end; ++b) {
            keyLayouts[static_cast<size_t>(b)] =
                widenMatrix(*t.keys, batchOffset(p.batch, p.key.batch, b), p.keys, p.key.rows, p.depth, p.key.cols,
                            wideKeys.data() + b * keyCount);
            valueLayouts[static_cast<size_t>(b)] =
                widenMatrix(*t.values, batchOffset(p.batch, p.value.batch, b), p.keys, p.value.rows, p.valueDepth,
                            p.value.cols, wideValues.data() + b * valueCount);
        }
    });

    const int64_t blockRows = queriesPerBlock(p.queries, p.keys);
    const int64_t blocks = (p.queries + blockRows - 1) / blockRows;
    // The output's queries adjacent: the weighted sum is taken transposed,
    // so that each of its rows is one run of the output.
    const bool transposedOut = p.output.rows == 1 && p.output.cols != 1;
    context.parallelFor(batches * blocks, 1, [&](int64_t begin, int64_t end) {
        std::vector<float> block(static_cast<size_t>(blockRows * p.depth));
        std::vector<float> scores(static_cast<size_t>(blockRows * p.keys));
        std::vector<float> maskRow(static_cast<size_t>(t.mask ? p.keys : 0));
        std::vector<float> mixed(static_cast<size_t>(blockRows * p.valueDepth));
        for (int64_t task = begin; task < end; ++task) {
            const int64_t b = task / blocks, first = task % blocks * blockRows;
            const int64_t rows = std::min(blockRows, p.queries - first);
            const MatrixLayout queryLayout =
                widenMatrix(t.queries, batchOffset(p.batch, p.query.batch, b) + first * p.query.rows, rows, p.query.rows,
                            p.depth, p.query.cols, block.data());
            // Scaling the queries scales every score, at a fraction of the cost.
            for (int64_t i = 0; i < rows * p.depth; ++i) block[static_cast<size_t>(i)] *= p.scale;
            const float* keyMatrix = wideKeys.data() + b * keyCount;
            dnnlFloatProductOnThisThread(block.data(), queryLayout, keyMatrix,
                                         transposed(keyLayouts[static_cast<size_t>(b)]), scores.data(), p.keys);
            const int64_t maskBase = t.mask ? batchOffset(p.batch, p.mask.batch, b) : 0;
            for (int64_t r = 0; r < rows; ++r) {
                float* line = scores.data() + r * p.keys;
                if (t.mask) {
                    readStrided(*t.mask, maskBase + (first + r) * p.mask.rows, p.keys, p.mask.cols, maskRow.data());
                    for (int64_t j = 0; j < p.keys; ++j) line[j] += maskRow[static_cast<size_t>(j)];
                }
                softmaxRow(line, p.keys);
            }
            const float* valueMatrix = wideValues.data() + b * valueCount;
            const MatrixLayout& valueLayout = valueLayouts[static_cast<size_t>(b)];
            const MatrixLayout scoreLayout{rows, p.keys, p.keys, 1};
            const int64_t outBase = batchOffset(p.batch, p.output.batch, b) + first * p.output.rows;
            if (transposedOut) {
                dnnlFloatProductOnThisThread(valueMatrix, transposed(valueLayout), scores.data(),
                                             transposed(scoreLayout), mixed.data(), rows);
                for (int64_t c = 0; c < p.valueDepth; ++c) {
                    writeFloats(t.output, outBase + c * p.output.cols, rows, mixed.data() + c * rows);
                }
            } else {
                dnnlFloatProductOnThisThread(scores.data(), scoreLayout, valueMatrix, valueLayout, mixed.data(),
                                             p.valueDepth);
                for (int64_t r = 0; r < rows; ++r) {
                    writeStrided(t.output, outBase + r * p.output.rows, p.valueDepth, p.output.cols,
                             mixed.data() + r * p.valueDepth);
                }
            }
        }
    });
}

// out[rows] = M vector for the [rows, cols] matrix M of `tensor` at `offset`,
// read where it lies in its stored type when one of its strides is 1 (the
// product runs along whichever that is), else from a widened copy in
// `scratch`.
void matrixTimesVector(const Tensor& tensor, int64_t offset, int64_t rows, int64_t rowStride, int64_t cols,
                       int64_t colStride, const float* vector, float* out, std::vector<float>& scratch) {
    const auto multiply = [&](const auto* m, int64_t rowStep, int64_t colStep) {
        if (colStep == 1 || cols == 1) return matrixVectorOnThisThread(m, rowStep, vector, out, rows, cols);
        weightedRowSumOnThisThread(vector, m, colStep, out, cols, rows);
    };
    const bool inPlace = colStride == 1 || cols == 1 || rowStride == 1 || rows == 1;
    if (inPlace && tensor.dataType() == DataType::Float16) return multiply(tensor.data<Float16>() + offset, rowStride, colStride);
    if (inPlace && tensor.dataType() == DataType::Float32) return multiply(tensor.data<float>() + offset, rowStride, colStride);
    scratch.resize(static_cast<size_t>(rows * cols));
    const MatrixLayout copy = widenMatrix(tensor, offset, rows, rowStride, cols, colStride, scratch.data());
    multiply(static_cast<const float*>(scratch.data()), copy.rowStride, copy.colStride);
}

// A single query per batch index (a decoder step): each batch index is one
// task that reads its keys and values once, where they lie and in their
// stored type, and takes its scores through softmax and the weighted sum
// while they sit in its first-level cache. Nothing is widened or transposed
// beforehand, and the whole attention is one call to the workers.
void attendSingleQuery(const AttentionPlan& p, const AttentionTensors& t, int64_t batches,
                       const KernelContext& context) {
    context.parallelFor(batches, 1, [&](int64_t begin, int64_t end) {
        std::vector<float> query(static_cast<size_t>(p.depth)), scores(static_cast<size_t>(p.keys));
        std::vector<float> maskRow(static_cast<size_t>(t.mask ? p.keys : 0)), mixed(static_cast<size_t>(p.valueDepth));
        std::vector<float> scratch;
        Tensor mergedKeys = p.mergedKey ? Tensor::uninitialized(p.mergedKey->type, {p.keys * p.depth}) : Tensor();
        Tensor mergedValues = p.mergedValue ? Tensor::uninitialized(p.mergedValue->type, {p.keys * p.valueDepth}) : Tensor();
        // A merged operand's matrix of batch index b, computed into `target`:
        // it is one run of the merged elements from the matrix's offset.
        const auto matrixOf = [](const Tensor* given, const MergedTensors* merged, Tensor& target, int64_t& offset) {
            if (!merged) return given;
            productSumOver(*merged->layout, merged->factors, offset, offset + target.count(), target, 0);
            offset = 0;
            return static_cast<const Tensor*>(&target);
        };
        for (int64_t b = begin; b < end; ++b) {
            readStrided(t.queries, batchOffset(p.batch, p.query.batch, b), p.depth, p.query.cols, query.data());
            // Scaling the query scales every score, at a fraction of the cost.
            scaleInPlace(query.data(), p.depth, p.scale);
            int64_t keyOffset = batchOffset(p.batch, p.key.batch, b);
            const Tensor* keys = matrixOf(t.keys, t.mergedKeys, mergedKeys, keyOffset);
            matrixTimesVector(*keys, keyOffset, p.keys, p.key.rows, p.depth, p.key.cols, query.data(), scores.data(),
                              scratch);
            if (t.mask) {
                readStrided(*t.mask, batchOffset(p.batch, p.mask.batch, b), p.keys, p.mask.cols, maskRow.data());
                for (int64_t k = 0; k < p.keys; ++k) scores[static_cast<size_t>(k)] += maskRow[static_cast<size_t>(k)];
            }
            softmaxRow(scores.data(), p.keys);
            if (t.probabilities) {
                writeStrided(*t.probabilities, batchOffset(p.batch, p.probabilities.batch, b), p.keys,
                             p.probabilities.cols, scores.data());
            }
            int64_t valueOffset = batchOffset(p.batch, p.value.batch, b);
            const Tensor* values = matrixOf(t.values, t.mergedValues, mergedValues, valueOffset);
            matrixTimesVector(*values, valueOffset, p.valueDepth, p.value.cols, p.keys, p.value.rows, scores.data(),
                              mixed.data(), scratch);
            writeStrided(t.output, batchOffset(p.batch, p.output.batch, b), p.valueDepth, p.output.cols, mixed.data());
        }
    });
}

// The layout of a merged operand's factors over the merged shape.
std::optional<BroadcastLayout> layoutOf(const std::optional<AttentionPlan::Merged>& merged) {
    if (!merged) return std::nullopt;
    return BroadcastLayout(merged->factors, merged->shape);
}

class FusedAttentionKernel final : public Kernel {
public:
    explicit FusedAttentionKernel(AttentionPlan plan)
        : plan_(std::move(plan)), keyLayout_(layoutOf(plan_.mergedKey)), valueLayout_(layoutOf(plan_.mergedValue)) {}

    void run(KernelContext& context) const override {
        const AttentionPlan& p = plan_;
        Tensor& output = context.allocateOutput(0);
        std::optional<MergedTensors> mergedKeys, mergedValues;
        if (p.mergedKey) readMerged(*keyLayout_, p.keyInput, context, mergedKeys.emplace());
        if (p.mergedValue) readMerged(*valueLayout_, p.valueInput, context, mergedValues.emplace());
        const AttentionTensors tensors{context.input(InputRef{0}),
                                       p.mergedKey ? nullptr : &context.input(InputRef{p.keyInput}),
                                       p.mergedValue ? nullptr : &context.input(InputRef{p.valueInput}),
                                       mergedKeys ? &*mergedKeys : nullptr,
                                       mergedValues ? &*mergedValues : nullptr,
                                       p.masked ? &context.input(InputRef{p.maskInput}) : nullptr,
                                       output,
                                       p.writesProbabilities ? &context.allocateOutput(1) : nullptr};
        int64_t batches = 1;
        for (int64_t size : p.batch) batches *= size;
        if (batches == 0 || p.queries == 0) return;
        if (p.queries == 1) return attendSingleQuery(p, tensors, batches, context);
        if (p.valueDepth > 0) attendInBlocks(p, tensors, batches, context);
    }

private:
    // A factor broadcast over the merged shape is widened once here, not by
    // every batch index that reads it.
    static void readMerged(const BroadcastLayout& layout, int firstInput, const KernelContext& context,
                           MergedTensors& tensors) {
        tensors.layout = &layout;
        const auto broadcast = [&](size_t i) { return !layout.isDense(i) && !layout.isUniform(i); };
        const auto given = [&](size_t i) -> const Tensor& { return context.input(InputRef{firstInput + static_cast<int>(i)}); };
        size_t count = 0;
        for (size_t i = 0; i < 4; ++i) {
            if (broadcast(i)) count += static_cast<size_t>(given(i).count());
        }
        tensors.widened.resize(count);
        float* next = tensors.widened.data();
        for (size_t i = 0; i < 4; ++i) {
            const Tensor& tensor = given(i);
            tensors.factors[i] = ProductFactor{i, &tensor, nullptr};
            if (!broadcast(i)) continue;
            // fp32 factors are read where they lie.
            tensors.factors[i].widened = readFloats(tensor, 0, tensor.count(), next);
            next += tensor.count();
        }
    }

    AttentionPlan plan_;
    std::optional<BroadcastLayout> keyLayout_, valueLayout_;
};

}  // namespace

std::unique_ptr<Kernel> fusedAttentionKernel(AttentionPlan plan) {
    return std::make_unique<FusedAttentionKernel>(std::move(plan));
}

}  // namespace platform::coreml::runtime
