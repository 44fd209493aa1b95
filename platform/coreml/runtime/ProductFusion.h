#pragma once

#include "platform/coreml/runtime/Graph.h"

namespace platform::coreml::runtime {

// Replaces the 1x1 convolutions with constant weights that read one input of
// many frames (the query, key and value projections of an encoder layer; the
// cross-attention keys and values every decoder layer takes from the encoder
// output) with one node computing all of them. Each would otherwise widen
// that input to fp32 on its own, and OpenBLAS would pack it again for every
// block of every weight. A single frame (a decoder step) stays as it is: its
// products are matrix-vector ones, which read the weights in place.
void fuseSharedInputProducts(Graph& graph);

}  // namespace platform::coreml::runtime
