#pragma once

#include "mlcore/foundation/Config.h"

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace celvan {

// Cuts text around the added tokens of a tokenizer file. At the leftmost
// place where any token matches, the longest token (in characters; of equal
// lengths the one listed first) is taken. A token marked "lstrip" also takes
// the whitespace before it, one marked "rstrip" the whitespace after it, and
// that whitespace is dropped.
//
// Unlike one alternation of every token, a lookup per position costs the same
// for two tokens as for two thousand.
class AddedTokenSplitter {
public:
    struct Entry {
        std::string content;
        bool lstrip = false;
        bool rstrip = false;
    };

    // Entries with empty content can match nowhere and are left out.
    explicit AddedTokenSplitter(std::vector<Entry> entries);
    // Every entry of "added_tokens" that has a string "content".
    static AddedTokenSplitter fromAddedTokens(const Config& addedTokens);

    bool empty() const { return entries_.empty(); }

    // The non-empty text between matches and each matched token's content,
    // in order; the whole text when nothing matches, nothing for empty text.
    std::vector<std::string> split(std::string_view text) const;

private:
    struct Match {
        std::size_t begin;
        std::size_t end;
        std::size_t entry;
    };
    bool findAt(std::string_view text, std::size_t position, bool lstripOnly, std::size_t& best,
                std::size_t& bestEnd) const;
    bool matchFrom(std::string_view text, std::size_t position, Match& match) const;

    // Ordered by preference: longest content first, then file order.
    std::vector<Entry> entries_;
    std::unordered_map<std::string_view, std::vector<std::size_t>> byContent_;
    // Per first byte, the distinct content lengths in bytes.
    std::array<std::vector<std::size_t>, 256> lengthsByFirstByte_;
    bool anyLstrip_ = false;
};

} // namespace celvan
