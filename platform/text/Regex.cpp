#include "platform/text/Regex.h"

#include "platform/text/Utf.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <limits>

namespace platform::text {

struct Regex::Compiled {
    std::unique_ptr<icu::RegexPattern> pattern;
    std::size_t groupCount;
};

namespace {

// ICU reports search progress in ticks of ten thousand engine steps. Ordinary
// patterns take far below one step per code unit on average; the budget lets
// a search spend hundreds per unit before it is judged hostile.
constexpr int64_t kBaseTickBudget = 2000;
constexpr int64_t kCodeUnitsPerExtraTick = 20;

// The searched text as UTF-16 with, for every UTF-16 index, the byte offset
// in the UTF-8 original where that code point starts.
struct SearchText {
    std::u16string storage;
    std::vector<uint32_t> byteOffsets;
    icu::UnicodeString units;

    explicit SearchText(std::string_view utf8) {
        if (utf8.size() >= static_cast<std::size_t>(std::numeric_limits<int32_t>::max() / 2)) {
            throw Regex::Error(Regex::Error::Kind::searchTooComplex, "text too long to search");
        }
        const auto* bytes = reinterpret_cast<const uint8_t*>(utf8.data());
        const auto length = static_cast<int32_t>(utf8.size());
        storage.reserve(utf8.size());
        byteOffsets.reserve(utf8.size() + 1);
        int32_t i = 0;
        while (i < length) {
            const auto start = static_cast<uint32_t>(i);
            UChar32 c;
            U8_NEXT(bytes, i, length, c);
            if (c < 0) c = 0xFFFD;
            if (U16_LENGTH(c) == 1) {
                storage.push_back(static_cast<char16_t>(c));
                byteOffsets.push_back(start);
            } else {
                storage.push_back(U16_LEAD(c));
                storage.push_back(U16_TRAIL(c));
                byteOffsets.push_back(start);
                byteOffsets.push_back(start);
            }
        }
        byteOffsets.push_back(static_cast<uint32_t>(utf8.size()));
        // A read-only alias: the matcher searches the storage in place.
        units.setTo(false, storage.data(), static_cast<int32_t>(storage.size()));
    }
    SearchText(const SearchText&) = delete;
    SearchText& operator=(const SearchText&) = delete;

    std::size_t byteOffset(int32_t unitIndex) const { return byteOffsets[static_cast<std::size_t>(unitIndex)]; }
};

struct TickBudget {
    int64_t remaining;
};

UBool spendTick(const void* context, int32_t) {
    auto* budget = static_cast<TickBudget*>(const_cast<void*>(context));
    return --budget->remaining > 0;
}

void throwIfSearchFailed(UErrorCode status) {
    if (U_SUCCESS(status)) return;
    if (status == U_REGEX_STOPPED_BY_CALLER || status == U_REGEX_TIME_OUT || status == U_REGEX_STACK_OVERFLOW) {
        throw Regex::Error(Regex::Error::Kind::searchTooComplex, "regular expression search is too complex");
    }
    throw Regex::Error(Regex::Error::Kind::searchTooComplex,
                       std::string("regular expression search failed: ") + u_errorName(status));
}

// A matcher over one text, with its budget attached.
class Search {
public:
    Search(const icu::RegexPattern& pattern, std::string_view utf8)
        : text_(utf8),
          budget_{kBaseTickBudget + text_.units.length() / kCodeUnitsPerExtraTick} {
        UErrorCode status = U_ZERO_ERROR;
        matcher_.reset(pattern.matcher(text_.units, status));
        if (U_SUCCESS(status)) matcher_->setMatchCallback(spendTick, &budget_, status);
        throwIfSearchFailed(status);
    }

    bool next() {
        UErrorCode status = U_ZERO_ERROR;
        const bool found = matcher_->find(status);
        throwIfSearchFailed(status);
        return found;
    }

    Regex::Match current() const {
        UErrorCode status = U_ZERO_ERROR;
        Regex::Match match;
        match.range = range(0, status);
        const int32_t groups = matcher_->groupCount();
        match.groups.reserve(static_cast<std::size_t>(groups));
        for (int32_t group = 1; group <= groups; ++group) {
            if (matcher_->start(group, status) < 0) {
                match.groups.emplace_back();
            } else {
                match.groups.emplace_back(range(group, status));
            }
        }
        throwIfSearchFailed(status);
        return match;
    }

    int32_t startUnit() const {
        UErrorCode status = U_ZERO_ERROR;
        return matcher_->start(status);
    }
    int32_t endUnit() const {
        UErrorCode status = U_ZERO_ERROR;
        return matcher_->end(status);
    }

    icu::RegexMatcher& matcher() { return *matcher_; }
    const SearchText& text() const { return text_; }

private:
    Regex::Range range(int32_t group, UErrorCode& status) const {
        const int32_t begin = matcher_->start(group, status);
        const int32_t end = matcher_->end(group, status);
        if (U_FAILURE(status)) return {};
        return {text_.byteOffset(begin), text_.byteOffset(end)};
    }

    SearchText text_;
    TickBudget budget_;
    std::unique_ptr<icu::RegexMatcher> matcher_;
};

} // namespace

Regex::Regex(std::string_view pattern) : pattern_(pattern) {
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError{};
    const auto source = icu::UnicodeString::fromUTF8(icu::StringPiece(pattern.data(), static_cast<int32_t>(pattern.size())));
    std::unique_ptr<icu::RegexPattern> compiled(icu::RegexPattern::compile(source, 0, parseError, status));
    if (U_FAILURE(status)) {
        throw Error(Error::Kind::invalidPattern,
                    "invalid regular expression '" + pattern_ + "': " + u_errorName(status));
    }
    std::unique_ptr<icu::RegexMatcher> matcher(compiled->matcher(status));
    const std::size_t groups = U_SUCCESS(status) ? static_cast<std::size_t>(matcher->groupCount()) : 0;
    compiled_ = std::make_shared<const Compiled>(Compiled{std::move(compiled), groups});
}

std::size_t Regex::groupCount() const { return compiled_->groupCount; }

std::vector<Regex::Match> Regex::matches(std::string_view text) const {
    Search search(*compiled_->pattern, text);
    std::vector<Match> found;
    while (search.next()) found.push_back(search.current());
    return found;
}

std::vector<Regex::Range> Regex::matchRanges(std::string_view text) const {
    Search search(*compiled_->pattern, text);
    std::vector<Range> found;
    while (search.next()) {
        found.push_back({search.text().byteOffset(search.startUnit()), search.text().byteOffset(search.endUnit())});
    }
    return found;
}

std::optional<Regex::Match> Regex::firstMatch(std::string_view text) const {
    Search search(*compiled_->pattern, text);
    if (!search.next()) return std::nullopt;
    return search.current();
}

std::string Regex::replacingMatches(std::string_view text, std::string_view replacementTemplate) const {
    Search search(*compiled_->pattern, text);
    const auto templateUnits = icu::UnicodeString::fromUTF8(
        icu::StringPiece(replacementTemplate.data(), static_cast<int32_t>(replacementTemplate.size())));
    std::string result;
    std::size_t copiedUpTo = 0;
    int32_t previousEnd = 0;
    icu::UnicodeString expanded;
    // appendReplacement adds the text since the previous match and then the
    // expanded template; only the template part is kept, so the bytes outside
    // the matches reach the result exactly as they were.
    while (search.next()) {
        const int32_t start = search.startUnit();
        UErrorCode status = U_ZERO_ERROR;
        expanded.remove();
        search.matcher().appendReplacement(expanded, templateUnits, status);
        if (U_FAILURE(status)) {
            throw Error(Error::Kind::invalidTemplate,
                        "invalid replacement template '" + std::string(replacementTemplate) + "': " + u_errorName(status));
        }
        const std::size_t matchBegin = search.text().byteOffset(start);
        result.append(text.substr(copiedUpTo, matchBegin - copiedUpTo));
        result.append(toUtf8(std::u16string_view(expanded.getBuffer() + (start - previousEnd),
                                                 static_cast<std::size_t>(expanded.length() - (start - previousEnd)))));
        previousEnd = search.endUnit();
        copiedUpTo = search.text().byteOffset(previousEnd);
    }
    result.append(text.substr(copiedUpTo));
    return result;
}

bool Regex::isValidTemplate(std::string_view replacementTemplate) const {
    const std::size_t groups = groupCount();
    for (std::size_t i = 0; i < replacementTemplate.size(); ++i) {
        const char c = replacementTemplate[i];
        if (c == '\\') {
            ++i;
        } else if (c == '$') {
            if (i + 1 >= replacementTemplate.size()) return false;
            const char next = replacementTemplate[i + 1];
            if (next == '{') {
                // A named group: only the search can tell whether the name exists.
                if (replacementTemplate.find('}', i + 2) == std::string_view::npos) return false;
            } else if (next < '0' || next > '9' || static_cast<std::size_t>(next - '0') > groups) {
                return false;
            }
        }
    }
    return true;
}

std::string Regex::escapedPattern(std::string_view literal) {
    std::string escaped;
    escaped.reserve(literal.size() * 2);
    for (const char c : literal) {
        const auto byte = static_cast<unsigned char>(c);
        const bool plain = byte >= 0x80 || (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') ||
                           (byte >= 'a' && byte <= 'z');
        if (!plain) escaped.push_back('\\');
        escaped.push_back(c);
    }
    return escaped;
}

std::string Regex::escapedTemplate(std::string_view literal) {
    std::string escaped;
    escaped.reserve(literal.size() + 4);
    for (const char c : literal) {
        if (c == '$' || c == '\\') escaped.push_back('\\');
        escaped.push_back(c);
    }
    return escaped;
}

} // namespace platform::text
