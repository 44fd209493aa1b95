#pragma once

#include "mlcore/foundation/Config.h"
#include "mlcore/tokenizers/StringPreTokenization.h"
#include "platform/text/Regex.h"

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace celvan {

enum class PreTokenizerOption { firstSection };
using PreTokenizerOptions = std::set<PreTokenizerOption>;

// Cuts one normalized text section into pre-tokens, the units the token model
// encodes one by one. Pre-tokenizers hold no mutable state.
class PreTokenizer {
public:
    virtual ~PreTokenizer() = default;
    virtual std::vector<std::string> preTokenize(const std::string& text, const PreTokenizerOptions& options) const = 0;

    // Every text pre-tokenized with the same options, the results joined in order.
    std::vector<std::string> preTokenize(const std::vector<std::string>& texts, const PreTokenizerOptions& options) const;

    std::vector<std::string> operator()(const std::string& text, const PreTokenizerOptions& options = {}) const {
        return preTokenize(text, options);
    }
    std::vector<std::string> operator()(const std::vector<std::string>& texts,
                                        const PreTokenizerOptions& options = {}) const {
        return preTokenize(texts, options);
    }
};

// The literal or the (compiled) expression a "Split" cuts at.
class StringSplitPattern {
public:
    static StringSplitPattern regexp(platform::text::Regex regexp) { return StringSplitPattern(std::move(regexp)); }
    static StringSplitPattern string(std::string pattern) { return StringSplitPattern(std::move(pattern)); }

    // No pattern when "pattern" holds neither a "String" nor a "Regex"
    // string. Throws UnsupportedConfigurationError when the expression does not compile.
    static std::optional<StringSplitPattern> from(const Config& config);

    std::vector<TextRange> ranges(std::string_view text) const;

private:
    explicit StringSplitPattern(std::variant<platform::text::Regex, std::string> form) : form_(std::move(form)) {}
    std::variant<platform::text::Regex, std::string> form_;
};

enum class PreTokenizerType {
    Sequence,
    ByteLevel,
    Punctuation,
    Digits,
    Split,
    Whitespace,
    WhitespaceSplit,
    Metaspace,
    BertPreTokenizer,
    empty,
};

std::optional<PreTokenizerType> preTokenizerType(std::string_view name);

class PreTokenizerFactory {
public:
    // No pre-tokenizer when the configuration is absent or has no string
    // "type". Throws UnsupportedConfigurationError for a type that is unknown or cannot be
    // served.
    static std::shared_ptr<const PreTokenizer> fromConfig(const Config& config);
};

// The texts of every match of a fixed expression; the text between matches
// is dropped.
class MatchingPreTokenizer : public PreTokenizer {
public:
    std::vector<std::string> preTokenize(const std::string& text, const PreTokenizerOptions& options) const override;

protected:
    explicit MatchingPreTokenizer(const platform::text::Regex& re) : re_(re) {}

private:
    const platform::text::Regex& re_;
};

// Runs of letters and digits, or single punctuation characters.
class BertPreTokenizer : public MatchingPreTokenizer {
public:
    BertPreTokenizer();
};

// "Whitespace" keeps runs of word characters and runs of other non-space
// characters apart; "WhitespaceSplit" cuts at whitespace only.
class WhitespacePreTokenizer : public MatchingPreTokenizer {
public:
    explicit WhitespacePreTokenizer(bool splitOnWhitespaceOnly);
};

class PunctuationPreTokenizer : public PreTokenizer {
public:
    explicit PunctuationPreTokenizer(SplitDelimiterBehavior behavior) : behavior_(behavior) {}
    std::vector<std::string> preTokenize(const std::string& text, const PreTokenizerOptions& options) const override;

private:
    SplitDelimiterBehavior behavior_;
};

class DigitsPreTokenizer : public PreTokenizer {
public:
    explicit DigitsPreTokenizer(bool individualDigits) : individualDigits_(individualDigits) {}
    std::vector<std::string> preTokenize(const std::string& text, const PreTokenizerOptions& options) const override;

private:
    bool individualDigits_;
};

class PreTokenizerSequence : public PreTokenizer {
public:
    explicit PreTokenizerSequence(const Config& config);
    std::vector<std::string> preTokenize(const std::string& text, const PreTokenizerOptions& options) const override;

private:
    std::vector<std::shared_ptr<const PreTokenizer>> preTokenizers_;
};

class MetaspacePreTokenizer : public PreTokenizer {
public:
    enum class PrependScheme { first, never, always };

    explicit MetaspacePreTokenizer(const Config& config);
    std::vector<std::string> preTokenize(const std::string& text, const PreTokenizerOptions& options) const override;

private:
    bool addPrefixSpace_;
    std::string replacement_;
    std::string stringReplacement_;
    PrependScheme prependScheme_;
    bool split_;
};

class ByteLevelPreTokenizer : public PreTokenizer {
public:
    explicit ByteLevelPreTokenizer(const Config& config);
    std::vector<std::string> preTokenize(const std::string& text, const PreTokenizerOptions& options) const override;

private:
    bool addPrefixSpace_;
    bool useRegex_;
};

class SplitPreTokenizer : public PreTokenizer {
public:
    SplitPreTokenizer(std::optional<StringSplitPattern> pattern, SplitDelimiterBehavior behavior, bool invert)
        : pattern_(std::move(pattern)), behavior_(behavior), invert_(invert) {}
    std::vector<std::string> preTokenize(const std::string& text, const PreTokenizerOptions& options) const override;

private:
    std::optional<StringSplitPattern> pattern_;
    SplitDelimiterBehavior behavior_;
    bool invert_;
};

// GPT-2's split of text into contractions, letter runs, digit runs, other
// symbols and whitespace, each with at most one leading space. The
// pre-tokenizer finds its matches with byteLevelRanges, which must agree.
const platform::text::Regex& byteLevelExpression();

// Each byte of the text as the printable character that stands for it.
std::string byteLevelEncoded(std::string_view text);

} // namespace celvan
