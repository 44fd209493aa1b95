#pragma once

#include <cstdint>

#include "platform/coreml/runtime/InstructionSet.h"
#include "platform/coreml/runtime/Operation.h"

namespace platform::coreml::runtime {

// Where row r of batch b starts, in elements: b * batch + r * row. The
// columns of a row are adjacent.
struct MatrixStrides {
    int64_t batch = 0;
    int64_t row = 0;
};

// out[b][r] = bias[r] + sum over c of matrix[b][r][c] * vector[b][c], for
// `batches` matrices of `rows` x `columns` read in place through `strides`
// (such as one head's keys inside a [keys, heads, width] cache), and as many
// adjacent vectors of `columns`. The matrix elements are read as stored
// (fp16 or fp32): a product with one vector is bound by reading the matrix,
// so no widened copy of it is made. `bias` may be null. Rows run on the
// worker threads.
//
// The sums land in `out`, a float tensor, at b * outStrides.batch +
// r * outStrides.row, each rounded once to the tensor's type.
template <typename Element>
void stridedMatrixVector(const Element* matrix, MatrixStrides strides, const float* vector, const float* bias, Tensor& out,
                         MatrixStrides outStrides, int64_t batches, int64_t rows, int64_t columns,
                         const KernelContext& context);

// out[r] = sum over c of matrix[r * rowStride + c] * vector[c] for `rows`
// rows of `columns` read as stored, on the calling thread alone: for kernels
// that split their work among the workers themselves.
template <typename Element>
void matrixVectorOnThisThread(const Element* matrix, int64_t rowStride, const float* vector, float* out, int64_t rows,
                              int64_t columns);

// out[c] = sum over r of weights[r] * matrix[r * rowStride + c] for `rows`
// rows of `columns` read as stored: the product with a matrix whose rows are
// the other operand's columns, each row read in one run, on the calling
// thread alone.
template <typename Element>
void weightedRowSumOnThisThread(const float* weights, const Element* matrix, int64_t rowStride, float* out,
                                int64_t rows, int64_t columns);

// The instructions the products above run.
InstructionSet matrixVectorInstructions();

}  // namespace platform::coreml::runtime
