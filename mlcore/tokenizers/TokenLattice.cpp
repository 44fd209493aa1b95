#include "mlcore/tokenizers/TokenLattice.h"

#include <algorithm>
#include <stdexcept>

namespace celvan {

std::string TokenLatticeNode::description() const {
    return "TokenLatticeNode(tokenId: " + std::to_string(tokenId) + ", startOffset: " + std::to_string(startOffset) +
           ", length: " + std::to_string(length) + ", score: " + std::to_string(score) +
           ", prev: " + (prev >= 0 ? "set" : "nil") + ", backtraceScore: " + std::to_string(backtraceScore) + ")";
}

TokenLattice::TokenLattice(std::size_t characterCount, int64_t bosTokenId, int64_t eosTokenId)
    : characterCount_(characterCount), beginNodes_(characterCount + 1), endNodes_(characterCount + 1) {
    nodes_.push_back({bosTokenId, 0, 0, 0.0f});
    nodes_.push_back({eosTokenId, characterCount, 0, 0.0f});
    beginNodes_[characterCount].push_back(1);
    endNodes_[0].push_back(0);
}

void TokenLattice::insert(std::size_t startOffset, std::size_t length, float score, int64_t tokenId) {
    if (startOffset + length > characterCount_ || length == 0) throw std::out_of_range("Lattice node out of bounds");
    const std::size_t index = nodes_.size();
    nodes_.push_back({tokenId, startOffset, length, score});
    beginNodes_[startOffset].push_back(index);
    endNodes_[startOffset + length].push_back(index);
}

std::vector<TokenLatticeNode> TokenLattice::viterbi() {
    if (beginNodes_[0].empty()) return {};
    for (std::size_t position = 0; position <= characterCount_; ++position) {
        for (std::size_t right : beginNodes_[position]) {
            TokenLatticeNode& node = nodes_[right];
            node.prev = -1;
            for (std::size_t left : endNodes_[position]) {
                const double candidate = nodes_[left].backtraceScore + static_cast<double>(node.score);
                if (node.prev < 0 || candidate > node.backtraceScore) {
                    node.prev = static_cast<int64_t>(left);
                    node.backtraceScore = candidate;
                }
            }
        }
        if (position < characterCount_ && beginNodes_[position + 1].empty()) return {};
    }
    const TokenLatticeNode* node = &nodes_[beginNodes_[characterCount_].front()];
    if (node->prev < 0) return {};
    std::vector<TokenLatticeNode> path;
    for (node = &nodes_[node->prev]; node->prev >= 0; node = &nodes_[node->prev]) path.push_back(*node);
    std::reverse(path.begin(), path.end());
    return path;
}

} // namespace celvan
