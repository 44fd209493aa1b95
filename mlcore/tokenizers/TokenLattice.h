#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace celvan {

struct TokenLatticeNode {
    int64_t tokenId;
    std::size_t startOffset;
    std::size_t length;
    float score;
    // Set by the Viterbi pass: the best node ending where this one starts.
    int64_t prev = -1;
    // Summed in double: over a long text, single precision loses the small
    // differences between paths and picks another one.
    double backtraceScore = 0.0;

    std::string description() const;
};

// The candidate pieces of one sentence, by the character offsets where they
// begin and end, and the best-scoring path through them.
class TokenLattice {
public:
    TokenLattice(std::size_t characterCount, int64_t bosTokenId, int64_t eosTokenId);

    void insert(std::size_t startOffset, std::size_t length, float score, int64_t tokenId);

    // The pieces of the path of highest total score, first to last; empty
    // when no path covers the sentence. Of equal scores the node inserted
    // first wins.
    std::vector<TokenLatticeNode> viterbi();

private:
    std::size_t characterCount_;
    std::vector<TokenLatticeNode> nodes_;
    std::vector<std::vector<std::size_t>> beginNodes_;
    std::vector<std::vector<std::size_t>> endNodes_;
};

} // namespace celvan
