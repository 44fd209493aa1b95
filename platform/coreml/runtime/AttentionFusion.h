#pragma once

#include "platform/coreml/runtime/Graph.h"

namespace platform::coreml::runtime {

// Replaces attention written out as einsum (or matmul), a scale by a
// constant, an optional mask added, softmax over the keys and a second einsum
// (or matmul) with one
// fused node, when the scores in between have no other reader. A 30-second
// encoder window otherwise writes and reads its [1500, 8, 1500] scores three
// times per layer. Transposes that only move heads into place for the
// products, on the way in or out, are folded into the fused node's strides.
// Attention of a single query (a decoder step) stays as it
// is: its scores are small and its products are matrix-vector ones.
void fuseAttention(Graph& graph);

}  // namespace platform::coreml::runtime
