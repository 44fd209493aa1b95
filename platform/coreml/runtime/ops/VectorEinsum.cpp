#include "platform/coreml/runtime/ops/VectorEinsum.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "platform/coreml/runtime/ops/FloatBlocks.h"
#include "platform/coreml/runtime/ops/MatrixVector.h"

namespace platform::coreml::runtime {
namespace {

// One evenly strided run of the dimensions `dims` (outermost first) of a
// tensor with `strides`, dimensions of size 1 left out: the stride of the
// run's innermost step, 0 when every dimension has size 1. Nullopt when the
// dimensions do not form one such run.
std::optional<int64_t> runStride(const Shape& shape, const Shape& strides, const std::vector<int64_t>& dims) {
    std::optional<int64_t> inner;
    int64_t extent = 1;
    for (size_t i = dims.size(); i-- > 0;) {
        const auto d = static_cast<size_t>(dims[i]);
        if (shape[d] == 1) continue;
        if (!inner) {
            inner = strides[d];
        } else if (strides[d] != *inner * extent) {
            return std::nullopt;
        }
        extent *= shape[d];
    }
    return inner.value_or(0);
}

// The matrix side read where it lies: its summed labels one adjacent run, its
// row labels and its batch labels each one evenly strided run. `order` lists
// the matrix's dimensions as [batch..., rows..., summed...].
std::optional<MatrixStrides> inPlaceStrides(const Shape& shape, const std::vector<int64_t>& order, size_t batchLabels,
                                            size_t summedLabels) {
    const Shape strides = stridesOf(shape);
    const auto group = [&](size_t from, size_t to) {
        return runStride(shape, strides, std::vector<int64_t>(order.begin() + static_cast<std::ptrdiff_t>(from),
                                                              order.begin() + static_cast<std::ptrdiff_t>(to)));
    };
    const size_t rowsEnd = order.size() - summedLabels;
    const auto batch = group(0, batchLabels), rows = group(batchLabels, rowsEnd), summed = group(rowsEnd, order.size());
    if (!batch || !rows || !summed || *summed > 1) return std::nullopt;
    return MatrixStrides{*batch, *rows};
}

// Where a vector product's sums go in the output, when its batch labels and
// its row labels each form one evenly strided run there: the product is then
// rounded straight into the output, with no reordering after it.
std::optional<MatrixStrides> productStrides(const EinsumPlan& plan) {
    Shape result, productStrides(plan.product.size());
    for (int64_t p : plan.outPerm) result.push_back(plan.product[static_cast<size_t>(p)]);
    const Shape resultStrides = stridesOf(result);
    for (size_t i = 0; i < plan.outPerm.size(); ++i) productStrides[static_cast<size_t>(plan.outPerm[i])] = resultStrides[i];
    std::vector<int64_t> batchDims, rowDims;
    for (size_t d = 0; d < plan.product.size(); ++d) (d < plan.batch.size() ? batchDims : rowDims).push_back(static_cast<int64_t>(d));
    const auto batch = runStride(plan.product, productStrides, batchDims);
    const auto rows = runStride(plan.product, productStrides, rowDims);
    if (!batch || !rows) return std::nullopt;
    return MatrixStrides{*batch, *rows};
}

}  // namespace

std::unique_ptr<Kernel> vectorEinsum(const EinsumPlan& plan, InputRef x, InputRef y, const Shape& matrixShape) {
    const bool vectorY = plan.n == 1;
    if ((!vectorY && plan.m != 1) || plan.xBatch != plan.batch || plan.yBatch != plan.batch) return nullptr;
    std::vector<int64_t> matrixOrder = vectorY ? plan.xPerm : plan.yPerm;
    if (!vectorY) {
        const auto first = matrixOrder.begin() + static_cast<std::ptrdiff_t>(plan.batch.size());
        std::rotate(first, first + static_cast<std::ptrdiff_t>(plan.summedLabels), matrixOrder.end());
    }
    const std::optional<MatrixStrides> inPlace = inPlaceStrides(matrixShape, matrixOrder, plan.batch.size(), plan.summedLabels);
    const std::optional<MatrixStrides> direct = productStrides(plan);
    return makeKernel([plan, x, y, vectorY, matrixOrder, inPlace, direct](KernelContext& context) {
        const InputRef matrixSide = vectorY ? x : y;
        const auto stored = [](const Tensor& t) { return t.dataType() == DataType::Float16 ? t : t.asFloat32(); };
        const auto reordered = [&](const Tensor& t) { return permuted(stored(t), matrixOrder, context); };
        Tensor matrix = inPlace ? context.settledInput(matrixSide, reordered) : context.preparedInput(matrixSide, reordered);
        MatrixStrides strides{(vectorY ? plan.m : plan.n) * plan.k, plan.k};
        if (!matrix.isValid()) {
            matrix = stored(context.input(matrixSide));
            strides = *inPlace;
        }
        // Reordered in its stored type, then widened: half the bytes to move.
        const Tensor vectorSide = permuted(context.input(vectorY ? y : x), vectorY ? plan.yPerm : plan.xPerm, context);
        std::vector<float> widened(static_cast<size_t>(vectorSide.count()));
        const float* vector = readFloats(vectorSide, 0, vectorSide.count(), widened.data());
        const int64_t batches = countOf(plan.batch), rows = vectorY ? plan.m : plan.n;
        const auto multiply = [&](Tensor& out, MatrixStrides at) {
            if (matrix.dataType() == DataType::Float16) {
                stridedMatrixVector(matrix.data<Float16>(), strides, vector, nullptr, out, at, batches, rows,
                                    plan.k, context);
            } else {
                stridedMatrixVector(matrix.data<float>(), strides, vector, nullptr, out, at, batches, rows,
                                    plan.k, context);
            }
        };
        if (direct) return multiply(context.allocateOutput(0), *direct);
        Tensor product(DataType::Float32, plan.product);
        multiply(product, MatrixStrides{rows, 1});
        storeProduct(product, plan, context);
    });
}

}  // namespace platform::coreml::runtime
