#pragma once

#include "platform/coreml/runtime/Graph.h"

namespace platform::coreml::runtime {

// Replaces attention written out as einsum (or matmul), a scale by a
// constant, an optional mask added, softmax over the keys and a second einsum
// (or matmul) with one fused node, when the scores in between have no other
// reader. A 30-second encoder window otherwise writes and reads its
// [1500, 8, 1500] scores three times per layer, and a decoder step would make
// a call to the workers for each of five or more nodes per attention, with
// the key and value caches transposed on the way. Transposes that only move
// heads into place for the products, on the way in or out, are folded into
// the fused node's strides. For a single query, keys or values that are a
// cache merged with its new entry (cache * keep + entry * slot, read by the
// attention alone) are merged by the fused node head by head as it reads
// them, so that a decoder step does not write its whole cache out again.
void fuseAttention(Graph& graph);

}  // namespace platform::coreml::runtime
