#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/coreml/runtime/Operation.h"
#include "platform/coreml/runtime/Shape.h"

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
    // The node's inputs: the queries first, then the keys, the values and the
    // mask at these positions.
    int keyInput = 1, valueInput = 2, maskInput = 3;
    // Keys or values the kernel computes itself, from the factors of a
    // product sum a * b + c * d that the node reads in their place, from
    // the operand's input position on: a decoder's cache merged with its new
    // entry through the update mask, which then is never written out and
    // read back.
    // `shape` is the merged tensor's, in whose elements the operand's
    // strides lie. Single queries only, where each batch index's matrix is
    // one run of those elements.
    struct Merged {
        Shape shape;
        std::vector<Shape> factors;
        DataType type = DataType::Float16;
    };
    std::optional<Merged> mergedKey, mergedValue;
};

// The kernel of a fused attention node whose inputs are the queries, keys,
// values and (when masked) the mask. Blocks of queries go through their
// scores, softmax and weighted sum while the scores stay in cache, in fp32
// throughout, instead of writing the whole [keys, heads, queries] score
// tensor three times. A single query (a decoder step) reads each batch
// index's keys and values once where they lie, on one worker per batch index.
std::unique_ptr<Kernel> fusedAttentionKernel(AttentionPlan plan);

}  // namespace platform::coreml::runtime
