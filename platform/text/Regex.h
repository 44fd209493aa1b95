#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace platform::text {

// A regular expression in ICU syntax (Unicode classes, look-around, inline
// flags, capture groups) that searches UTF-8 text and reports UTF-8 byte
// offsets. Ill-formed bytes in the searched text each read as U+FFFD, so a
// match never splits a sequence the text already had.
//
// Compiled once, then shared: every search runs on its own matcher, so one
// Regex may be used from many threads at once, and copies are cheap.
class Regex {
public:
    struct Range {
        std::size_t begin = 0;
        std::size_t end = 0;
        std::size_t size() const { return end - begin; }
        bool empty() const { return begin == end; }
        friend bool operator==(const Range&, const Range&) = default;
    };

    struct Match {
        Range range;
        // One entry per capture group, from group 1 on; a group that took no
        // part in the match has none.
        std::vector<std::optional<Range>> groups;
    };

    class Error : public std::runtime_error {
    public:
        enum class Kind { invalidPattern, invalidTemplate, searchTooComplex };
        Error(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
        Kind kind() const { return kind_; }

    private:
        Kind kind_;
    };

    // Throws Error(invalidPattern) when the pattern does not compile.
    explicit Regex(std::string_view pattern);

    const std::string& pattern() const { return pattern_; }
    std::size_t groupCount() const;

    // Every match in order. A search continues after each match; after an
    // empty match it moves on by one code point, so patterns that can match
    // nothing still end. Throws Error(searchTooComplex) when one search step
    // backtracks beyond a fixed budget, which bounds hostile patterns.
    std::vector<Match> matches(std::string_view text) const;
    std::optional<Match> firstMatch(std::string_view text) const;
    // The ranges of matches() alone, for callers that need no groups.
    std::vector<Range> matchRanges(std::string_view text) const;

    // Replaces every match by the template, where "$n" is capture group n and
    // a backslash takes the next character literally. Throws
    // Error(invalidTemplate) for a reference to a group that does not exist.
    std::string replacingMatches(std::string_view text, std::string_view replacementTemplate) const;
    // Whether replacingMatches accepts the template for this expression.
    bool isValidTemplate(std::string_view replacementTemplate) const;

    // A pattern that matches exactly the given text.
    static std::string escapedPattern(std::string_view literal);
    // A template that inserts exactly the given text.
    static std::string escapedTemplate(std::string_view literal);

private:
    struct Compiled;
    std::string pattern_;
    std::shared_ptr<const Compiled> compiled_;
};

} // namespace platform::text
