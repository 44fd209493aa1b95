#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/coreml/runtime/Operation.h"

namespace platform::coreml::runtime {

// Where one operand of attention lies: its strides along the batch
// dimensions (heads), its rows and its columns.
struct AttentionOperand {
    std::vector<int64_t> batch;
    int64_t rows = 0, cols = 0;
};

// softmax(queries keysᵀ * scale + mask) values, per batch index, with
// queries [queries, depth], keys [keys, depth], values [keys, valueDepth],
// mask [queries, keys] (strides 0 where it is broadcast) and output
// [queries, valueDepth], each read or written through its strides.
struct AttentionPlan {
    std::vector<int64_t> batch;
    int64_t queries = 0, keys = 0, depth = 0, valueDepth = 0;
    float scale = 1.0f;
    bool masked = false;
    // The softmaxed scores also go out, as the node's second output, when
    // other nodes read them (a decoder's alignment weights); single queries
    // only.
    bool writesProbabilities = false;
    AttentionOperand query, key, value, mask, output, probabilities;
};

// The kernel of a fused attention node whose inputs are the queries, keys,
// values and (when masked) the mask. Blocks of queries go through their
// scores, softmax and weighted sum while the scores stay in cache, in fp32
// throughout, instead of writing the whole [keys, heads, queries] score
// tensor three times. A single query (a decoder step) reads each batch
// index's keys and values once where they lie, on one worker per batch index.
std::unique_ptr<Kernel> fusedAttentionKernel(AttentionPlan plan);

}  // namespace platform::coreml::runtime
