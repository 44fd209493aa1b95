#include "mlcore/tokenizers/StringPreTokenization.h"

#include <algorithm>
#include <utility>

namespace celvan {
namespace {

struct Segment {
    TextRange range;
    bool isDelimiter;
};

// The whole text as alternating pieces and delimiters, in order.
std::vector<Segment> segments(std::size_t textSize, const std::vector<TextRange>& delimiters, bool invert) {
    std::vector<Segment> all;
    all.reserve(delimiters.size() * 2 + 1);
    std::size_t position = 0;
    for (const auto& delimiter : delimiters) {
        if (delimiter.begin > position) all.push_back({{position, delimiter.begin}, invert});
        all.push_back({delimiter, !invert});
        position = delimiter.end;
    }
    if (position < textSize) all.push_back({{position, textSize}, invert});
    return all;
}

std::vector<TextRange> merged(const std::vector<Segment>& all, SplitDelimiterBehavior behavior) {
    std::vector<TextRange> pieces;
    pieces.reserve(all.size());
    switch (behavior) {
    case SplitDelimiterBehavior::removed:
        for (const auto& segment : all) {
            if (!segment.isDelimiter) pieces.push_back(segment.range);
        }
        break;
    case SplitDelimiterBehavior::isolated:
        for (const auto& segment : all) pieces.push_back(segment.range);
        break;
    case SplitDelimiterBehavior::mergedWithPrevious: {
        bool previousWasDelimiter = false;
        for (const auto& segment : all) {
            if (segment.isDelimiter && !previousWasDelimiter && !pieces.empty()) {
                pieces.back().end = segment.range.end;
            } else {
                pieces.push_back(segment.range);
            }
            previousWasDelimiter = segment.isDelimiter;
        }
        break;
    }
    case SplitDelimiterBehavior::mergedWithNext: {
        bool nextIsDelimiter = false;
        for (auto segment = all.rbegin(); segment != all.rend(); ++segment) {
            if (segment->isDelimiter && !nextIsDelimiter && !pieces.empty()) {
                pieces.back().begin = segment->range.begin;
            } else {
                pieces.push_back(segment->range);
            }
            nextIsDelimiter = segment->isDelimiter;
        }
        std::reverse(pieces.begin(), pieces.end());
        break;
    }
    case SplitDelimiterBehavior::contiguous: {
        bool previousWasDelimiter = false;
        for (const auto& segment : all) {
            if (segment.isDelimiter && previousWasDelimiter) {
                pieces.back().end = segment.range.end;
            } else {
                pieces.push_back(segment.range);
            }
            previousWasDelimiter = segment.isDelimiter;
        }
        break;
    }
    }
    return pieces;
}

} // namespace

std::vector<TextRange> ranges(std::string_view text, const platform::text::Regex& pattern) {
    return pattern.matchRanges(text);
}

std::vector<TextRange> ranges(std::string_view text, std::string_view literal) {
    std::vector<TextRange> found;
    if (literal.empty()) return found;
    for (std::size_t at = text.find(literal); at != std::string_view::npos; at = text.find(literal, at + literal.size())) {
        found.push_back({at, at + literal.size()});
    }
    return found;
}

std::vector<std::string> split(std::string_view text, const std::vector<TextRange>& delimiters,
                               SplitDelimiterBehavior behavior, bool invert) {
    std::vector<std::string> pieces;
    for (const auto& range : merged(segments(text.size(), delimiters, invert), behavior)) {
        if (!range.empty()) pieces.emplace_back(text.substr(range.begin, range.size()));
    }
    return pieces;
}

std::vector<std::string> split(std::string_view text, const platform::text::Regex& pattern) {
    // Capture groups slow every search down, so an expression without any
    // is searched for its ranges alone.
    std::vector<std::pair<TextRange, TextRange>> matches;  // whole match, kept text
    if (pattern.groupCount() == 0) {
        for (const auto& range : pattern.matchRanges(text)) matches.emplace_back(range, range);
    } else {
        for (const auto& match : pattern.matches(text)) {
            TextRange kept = match.range;
            for (auto group = match.groups.rbegin(); group != match.groups.rend(); ++group) {
                if (*group) {
                    kept = **group;
                    break;
                }
            }
            matches.emplace_back(match.range, kept);
        }
    }
    if (matches.empty()) return {std::string(text)};
    std::vector<std::string> pieces;
    std::size_t position = 0;
    for (const auto& [range, kept] : matches) {
        if (range.begin > position) pieces.emplace_back(text.substr(position, range.begin - position));
        pieces.emplace_back(text.substr(kept.begin, kept.size()));
        position = range.end;
    }
    if (position < text.size()) pieces.emplace_back(text.substr(position));
    return pieces;
}

std::string replacingOccurrences(std::string_view text, std::string_view target, std::string_view replacement) {
    if (target.empty()) return std::string(text);
    std::string result;
    result.reserve(text.size());
    std::size_t position = 0;
    for (std::size_t at = text.find(target); at != std::string_view::npos; at = text.find(target, position)) {
        result.append(text.substr(position, at - position));
        result.append(replacement);
        position = at + target.size();
    }
    result.append(text.substr(position));
    return result;
}

} // namespace celvan
