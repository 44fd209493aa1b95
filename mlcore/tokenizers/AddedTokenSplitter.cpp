#include "mlcore/tokenizers/AddedTokenSplitter.h"

#include "mlcore/tokenizers/Vocabulary.h"
#include "platform/text/Graphemes.h"
#include "platform/text/UnicodeProperties.h"

#include <algorithm>

namespace celvan {
namespace {

bool isWhiteSpaceAt(std::string_view text, std::size_t offset) {
    return platform::text::isWhiteSpace(scalarAt(text, offset));
}

std::size_t whiteSpaceEnd(std::string_view text, std::size_t offset) {
    while (offset < text.size() && isWhiteSpaceAt(text, offset)) offset += scalarLength(text, offset);
    return offset;
}

} // namespace

AddedTokenSplitter::AddedTokenSplitter(std::vector<Entry> entries) {
    std::erase_if(entries, [](const Entry& entry) { return entry.content.empty(); });
    std::vector<std::pair<std::size_t, std::size_t>> order;
    order.reserve(entries.size());
    for (std::size_t index = 0; index < entries.size(); ++index) {
        order.emplace_back(platform::text::graphemeCount(entries[index].content), index);
    }
    std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    entries_.reserve(entries.size());
    for (const auto& [length, index] : order) entries_.push_back(std::move(entries[index]));

    for (std::size_t index = 0; index < entries_.size(); ++index) {
        const Entry& entry = entries_[index];
        byContent_[entry.content].push_back(index);
        auto& lengths = lengthsByFirstByte_[static_cast<unsigned char>(entry.content.front())];
        if (std::find(lengths.begin(), lengths.end(), entry.content.size()) == lengths.end()) {
            lengths.push_back(entry.content.size());
        }
        anyLstrip_ = anyLstrip_ || entry.lstrip;
    }
}

AddedTokenSplitter AddedTokenSplitter::fromAddedTokens(const Config& addedTokens) {
    std::vector<Entry> entries;
    if (const auto* list = addedTokens.array()) {
        for (const Config& token : *list) {
            auto content = token["content"].string();
            if (!content) continue;
            entries.push_back({std::move(*content), token["lstrip"].boolean().value_or(false),
                               token["rstrip"].boolean().value_or(false)});
        }
    }
    return AddedTokenSplitter(std::move(entries));
}

bool AddedTokenSplitter::findAt(std::string_view text, std::size_t position, bool lstripOnly, std::size_t& best,
                                std::size_t& bestEnd) const {
    bool found = false;
    for (std::size_t length : lengthsByFirstByte_[static_cast<unsigned char>(text[position])]) {
        if (position + length > text.size()) continue;
        auto entries = byContent_.find(text.substr(position, length));
        if (entries == byContent_.end()) continue;
        for (std::size_t index : entries->second) {
            if (lstripOnly && !entries_[index].lstrip) continue;
            if (index < best) {
                best = index;
                bestEnd = position + length;
                found = true;
            }
        }
    }
    return found;
}

bool AddedTokenSplitter::matchFrom(std::string_view text, std::size_t position, Match& match) const {
    std::size_t best = entries_.size();
    std::size_t bestEnd = 0;
    findAt(text, position, false, best, bestEnd);
    // A token that takes the whitespace before it matches from where that
    // whitespace starts; of one token, the farthest start wins, as the
    // greedy whitespace of a pattern would have it.
    if (anyLstrip_ && isWhiteSpaceAt(text, position)) {
        const std::size_t end = whiteSpaceEnd(text, position);
        for (std::size_t at = position + scalarLength(text, position); at <= end && at < text.size();
             at += scalarLength(text, at)) {
            std::size_t candidate = best;
            std::size_t candidateEnd = 0;
            if (findAt(text, at, true, candidate, candidateEnd) && candidate <= best) {
                best = candidate;
                bestEnd = candidateEnd;
            }
        }
    }
    if (best == entries_.size()) return false;
    match = {position, entries_[best].rstrip ? whiteSpaceEnd(text, bestEnd) : bestEnd, best};
    return true;
}

std::vector<std::string> AddedTokenSplitter::split(std::string_view text) const {
    if (text.empty()) return {};
    if (entries_.empty()) return {std::string(text)};
    std::vector<std::string> pieces;
    std::size_t pieceStart = 0;
    // Past a whitespace run where no lstrip token starts, later positions of
    // that run cannot start one either, so the run is searched once.
    std::size_t searchedRunEnd = 0;
    for (std::size_t position = 0; position < text.size();) {
        Match match{};
        bool found;
        if (position < searchedRunEnd) {
            std::size_t best = entries_.size();
            std::size_t bestEnd = 0;
            found = findAt(text, position, false, best, bestEnd);
            if (found) match = {position, entries_[best].rstrip ? whiteSpaceEnd(text, bestEnd) : bestEnd, best};
        } else {
            found = matchFrom(text, position, match);
            if (!found && anyLstrip_ && isWhiteSpaceAt(text, position)) searchedRunEnd = whiteSpaceEnd(text, position);
        }
        if (!found) {
            position += scalarLength(text, position);
            continue;
        }
        if (match.begin > pieceStart) pieces.emplace_back(text.substr(pieceStart, match.begin - pieceStart));
        pieces.push_back(entries_[match.entry].content);
        pieceStart = position = match.end;
        searchedRunEnd = 0;
    }
    if (pieceStart < text.size()) pieces.emplace_back(text.substr(pieceStart));
    return pieces;
}

} // namespace celvan
