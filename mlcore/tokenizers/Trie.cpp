#include "mlcore/tokenizers/Trie.h"

namespace celvan {

Trie::Trie() : nodes_(1) {}

void Trie::insert(std::u32string_view sequence, int32_t value) {
    std::size_t node = 0;
    for (char32_t scalar : sequence) {
        auto [child, added] = children_.try_emplace(edge(node, scalar), static_cast<uint32_t>(nodes_.size()));
        if (added) nodes_.emplace_back();
        node = child->second;
    }
    nodes_[node].isLeaf = true;
    nodes_[node].value = value;
}

std::vector<Trie::Prefix> Trie::commonPrefixes(std::u32string_view text) const {
    std::vector<Prefix> prefixes;
    std::size_t node = 0;
    for (std::size_t length = 1; length <= text.size(); ++length) {
        auto child = children_.find(edge(node, text[length - 1]));
        if (child == children_.end()) break;
        node = child->second;
        if (nodes_[node].isLeaf) prefixes.push_back({length, nodes_[node].value});
    }
    return prefixes;
}

} // namespace celvan
