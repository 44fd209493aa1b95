#pragma once

#include <cstdint>
#include <oneapi/dnnl/dnnl.hpp>

#include "platform/coreml/runtime/ops/Gemm.h"

namespace platform::coreml::runtime {

// Whether oneDNN's kernels may run at all. It generates them at run time, out
// of ThreadSanitizer's sight, so such builds keep to OpenBLAS and our own
// kernels.
bool dnnlKernelsAllowed();

// out = a b through oneDNN's matmul on the calling thread alone, so that the
// runtime's workers can each take a share of a larger product; oneDNN's own
// threads would go on spinning after every product and slow the work that
// follows it. oneDNN keeps compiled products by their descriptions: only a
// new shape compiles. A failure is a PredictionError naming the product.
void dnnlMatmulOnThisThread(const dnnl::memory::desc& a, const void* aData, const dnnl::memory::desc& b,
                            const void* bData, const dnnl::memory::desc& out, void* outData);

// Whether dnnlFloatProductOnThisThread runs oneDNN's fp32 kernels: on the
// AVX2 path and wider, where they ran attention's short products (64 deep,
// or 64 wide) a tenth to a fifth faster than OpenBLAS's, and a weight's blocks
// of 64 to 256 rows a few hundredths faster; elsewhere it is gemmOnThisThread.
bool dnnlFloatProductsRun();

// gemmOnThisThread's product (beta 0) through oneDNN's fp32 kernels where
// dnnlFloatProductsRun, else through OpenBLAS.
void dnnlFloatProductOnThisThread(const float* a, const MatrixLayout& aLayout, const float* b,
                                  const MatrixLayout& bLayout, float* out, int64_t outRowStride);

}  // namespace platform::coreml::runtime
