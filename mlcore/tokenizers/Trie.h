#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace celvan {

// A trie of scalar sequences, each inserted sequence carrying a value.
class Trie {
public:
    struct Prefix {
        std::size_t length;
        int32_t value;
    };

    Trie();

    // A sequence inserted twice keeps its later value; the empty sequence
    // marks the root.
    void insert(std::u32string_view sequence, int32_t value);

    // Every inserted sequence that is a prefix of the text, shortest first.
    // One walk down the trie, ending at the first scalar that leaves it.
    std::vector<Prefix> commonPrefixes(std::u32string_view text) const;

private:
    struct Node {
        bool isLeaf = false;
        int32_t value = 0;
    };
    static uint64_t edge(std::size_t node, char32_t scalar) { return (static_cast<uint64_t>(node) << 32) | scalar; }

    std::vector<Node> nodes_;
    // One table for all edges keeps a large vocabulary compact.
    std::unordered_map<uint64_t, uint32_t> children_;
};

} // namespace celvan
