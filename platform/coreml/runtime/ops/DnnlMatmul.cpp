#include "platform/coreml/runtime/ops/DnnlMatmul.h"

#include <omp.h>

#include <algorithm>
#include <string>

#include "platform/coreml/runtime/InstructionSet.h"
#include "platform/coreml/runtime/RuntimeError.h"

namespace platform::coreml::runtime {
namespace {

dnnl::engine& cpuEngine() {
    static dnnl::engine engine(dnnl::engine::kind::cpu, 0);
    return engine;
}

std::string dimsText(const dnnl::memory::desc& desc) {
    std::string text = "[";
    for (const auto d : desc.dims()) text += (text.size() > 1 ? ", " : "") + std::to_string(d);
    return text + "]";
}

// A matrix layout as oneDNN describes it; a dimension of size 1 takes the
// stride of a dense one, since any other means nothing and oneDNN might
// refuse it.
dnnl::memory::desc floatMatrix(const MatrixLayout& l) {
    const int64_t rowStride = l.rows == 1 ? l.cols * std::max<int64_t>(l.colStride, 1) : l.rowStride;
    const int64_t colStride = l.cols == 1 ? 1 : l.colStride;
    return dnnl::memory::desc({l.rows, l.cols}, dnnl::memory::data_type::f32, {rowStride, colStride});
}

}  // namespace

bool dnnlKernelsAllowed() {
#if defined(__SANITIZE_THREAD__)
    return false;
#else
    return true;
#endif
}

void dnnlMatmulOnThisThread(const dnnl::memory::desc& a, const void* aData, const dnnl::memory::desc& b,
                            const void* bData, const dnnl::memory::desc& out, void* outData) {
    // oneDNN sizes its work by the OpenMP thread count of the thread that
    // calls it; one keeps the product on this thread.
    omp_set_num_threads(1);
    try {
        dnnl::engine& engine = cpuEngine();
        const dnnl::matmul product(dnnl::matmul::primitive_desc(dnnl::matmul::desc(a, b, out), engine));
        dnnl::memory aMemory(a, engine, const_cast<void*>(aData));
        dnnl::memory bMemory(b, engine, const_cast<void*>(bData));
        dnnl::memory outMemory(out, engine, outData);
        dnnl::stream stream(engine);
        product.execute(stream, {{DNNL_ARG_SRC, aMemory}, {DNNL_ARG_WEIGHTS, bMemory}, {DNNL_ARG_DST, outMemory}});
        stream.wait();
    } catch (const dnnl::error& e) {
        throw PredictionError(PredictionError::Kind::computationFailed, {},
                              "oneDNN product " + dimsText(a) + " x " + dimsText(b) + " failed: " + e.what());
    }
}

bool dnnlFloatProductsRun() {
    static const bool run = dnnlKernelsAllowed() && instructionSet() != InstructionSet::plain;
    return run;
}

void dnnlFloatProductOnThisThread(const float* a, const MatrixLayout& aLayout, const float* b,
                                  const MatrixLayout& bLayout, float* out, int64_t outRowStride) {
    // Empty products are settled as gemmOnThisThread settles them.
    if (!dnnlFloatProductsRun() || aLayout.rows * aLayout.cols * bLayout.cols == 0) {
        return gemmOnThisThread(a, aLayout, b, bLayout, out, outRowStride);
    }
    const MatrixLayout outLayout{aLayout.rows, bLayout.cols, outRowStride, 1};
    dnnlMatmulOnThisThread(floatMatrix(aLayout), a, floatMatrix(bLayout), b, floatMatrix(outLayout), out);
}

}  // namespace platform::coreml::runtime
