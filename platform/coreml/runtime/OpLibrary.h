#pragma once

#include "platform/coreml/runtime/Operation.h"

namespace platform::coreml::runtime {

// Every op family lives in its own file under ops/ and adds its ops through
// one register function, declared here and called from registerOpLibrary.
// A new family: write ops/<Family>Ops.cpp with register<Family>Ops, declare
// it below, call it in OpLibrary.cpp and list the file in CMakeLists.txt.

void registerElementwiseOps(OpRegistry& registry);
void registerActivationOps(OpRegistry& registry);
void registerReductionOps(OpRegistry& registry);
void registerNormalizationOps(OpRegistry& registry);
void registerLinearAlgebraOps(OpRegistry& registry);
void registerConvolutionOps(OpRegistry& registry);
void registerShapeOps(OpRegistry& registry);
void registerGatherSliceOps(OpRegistry& registry);
void registerAttentionOps(OpRegistry& registry);
void registerCompressionOps(OpRegistry& registry);
void registerPoolingOps(OpRegistry& registry);
void registerConstructionOps(OpRegistry& registry);

void registerOpLibrary(OpRegistry& registry);

}  // namespace platform::coreml::runtime
