#pragma once

#include "platform/coreml/runtime/Graph.h"
#include "platform/coreml/runtime/InstructionSet.h"

namespace platform::coreml::runtime {

// Merges trees of float `add`, `sub` and `mul` whose inner results have the
// tree's shape and no other reader into one node that makes a single pass
// over the result: a decoder merges its key-value cache with the new entry
// through the update mask as cache * keep + entry * slot, three passes over
// the whole cache otherwise. Inner results stay fp32; only the tree's result
// is rounded to its declared type.
void fuseElementwise(Graph& graph);

// The instructions the merged nodes run.
InstructionSet elementwiseFusionInstructions();

}  // namespace platform::coreml::runtime
