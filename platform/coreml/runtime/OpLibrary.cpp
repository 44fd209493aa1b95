#include "platform/coreml/runtime/OpLibrary.h"

namespace platform::coreml::runtime {

void registerOpLibrary(OpRegistry& registry) {
    registerElementwiseOps(registry);
    registerActivationOps(registry);
    registerReductionOps(registry);
    registerNormalizationOps(registry);
    registerLinearAlgebraOps(registry);
    registerConvolutionOps(registry);
    registerShapeOps(registry);
    registerGatherSliceOps(registry);
    registerAttentionOps(registry);
    registerCompressionOps(registry);
    registerPoolingOps(registry);
    registerConstructionOps(registry);
}

}  // namespace platform::coreml::runtime
