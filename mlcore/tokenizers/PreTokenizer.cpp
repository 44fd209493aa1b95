#include "mlcore/tokenizers/PreTokenizer.h"

#include "mlcore/tokenizers/ByteEncoder.h"
#include "mlcore/tokenizers/ComponentSettings.h"
#include "mlcore/tokenizers/SplitExpressions.h"

#include <array>
#include <utility>

namespace celvan {
namespace {

using platform::text::Regex;

constexpr std::array<std::pair<std::string_view, PreTokenizerType>, 10> kPreTokenizerTypes = {{
    {"Sequence", PreTokenizerType::Sequence},
    {"ByteLevel", PreTokenizerType::ByteLevel},
    {"Punctuation", PreTokenizerType::Punctuation},
    {"Digits", PreTokenizerType::Digits},
    {"Split", PreTokenizerType::Split},
    {"Whitespace", PreTokenizerType::Whitespace},
    {"WhitespaceSplit", PreTokenizerType::WhitespaceSplit},
    {"Metaspace", PreTokenizerType::Metaspace},
    {"BertPreTokenizer", PreTokenizerType::BertPreTokenizer},
    {"", PreTokenizerType::empty},
}};

constexpr std::array<std::pair<std::string_view, SplitDelimiterBehavior>, 5> kBehaviors = {{
    {"Removed", SplitDelimiterBehavior::removed},
    {"Isolated", SplitDelimiterBehavior::isolated},
    {"MergedWithPrevious", SplitDelimiterBehavior::mergedWithPrevious},
    {"MergedWithNext", SplitDelimiterBehavior::mergedWithNext},
    {"Contiguous", SplitDelimiterBehavior::contiguous},
}};

// ASCII symbols such as "$" and "+" are not Unicode punctuation, yet the
// vocabularies treat them as punctuation.
constexpr std::string_view kPunctuation = R"(\p{P}\u0021-\u002F\u003A-\u0040\u005B-\u0060\u007B-\u007E)";

const Regex& bertExpression() {
    static const Regex re("[^\\s" + std::string(kPunctuation) + "]+|[" + std::string(kPunctuation) + "]");
    return re;
}

const Regex& punctuationCharacter() {
    static const Regex re("[" + std::string(kPunctuation) + "]");
    return re;
}

const Regex& wordsOrSymbols() {
    static const Regex re(R"(\w+|[^\w\s]+)");
    return re;
}

const Regex& nonWhitespace() {
    static const Regex re(R"(\S+)");
    return re;
}

const Regex& digit() {
    static const Regex re(R"(\p{N})");
    return re;
}

SplitDelimiterBehavior behaviorSetting(const Config& config) {
    const auto name = config["behavior"].string();
    if (!name) return SplitDelimiterBehavior::isolated;
    if (const auto behavior = namedValue(kBehaviors, *name)) return *behavior;
    rejectConfiguration("Unsupported split behavior: " + *name);
}

} // namespace

std::vector<std::string> PreTokenizer::preTokenize(const std::vector<std::string>& texts,
                                                   const PreTokenizerOptions& options) const {
    std::vector<std::string> pieces;
    for (const auto& text : texts) {
        auto more = preTokenize(text, options);
        pieces.insert(pieces.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
    }
    return pieces;
}

std::optional<PreTokenizerType> preTokenizerType(std::string_view name) { return namedValue(kPreTokenizerTypes, name); }

std::optional<StringSplitPattern> StringSplitPattern::from(const Config& config) {
    const Config pattern = config["pattern"];
    if (const auto literal = pattern["String"].string()) return string(*literal);
    const auto expression = pattern["Regex"].string();
    if (!expression) return std::nullopt;
    try {
        return regexp(Regex(*expression));
    } catch (const Regex::Error&) {
        rejectConfiguration("Cannot build regexp from " + *expression);
    }
}

std::vector<TextRange> StringSplitPattern::ranges(std::string_view text) const {
    if (const auto* literal = std::get_if<std::string>(&form_)) return celvan::ranges(text, *literal);
    const Regex& expression = std::get<Regex>(form_);
    if (expression.pattern() == kLlama3SplitExpression) return llama3Ranges(text);
    return celvan::ranges(text, expression);
}

std::shared_ptr<const PreTokenizer> PreTokenizerFactory::fromConfig(const Config& config) {
    const auto name = componentType(config);
    if (!name) return nullptr;
    const auto type = preTokenizerType(*name);
    if (!type) rejectConfiguration("Unsupported PreTokenizer type: " + *name);
    switch (*type) {
    case PreTokenizerType::Sequence: return std::make_shared<PreTokenizerSequence>(config);
    case PreTokenizerType::ByteLevel: return std::make_shared<ByteLevelPreTokenizer>(config);
    case PreTokenizerType::Punctuation: return std::make_shared<PunctuationPreTokenizer>(behaviorSetting(config));
    case PreTokenizerType::Digits:
        return std::make_shared<DigitsPreTokenizer>(booleanSetting(config, "individualDigits", false));
    case PreTokenizerType::Split:
        return std::make_shared<SplitPreTokenizer>(StringSplitPattern::from(config), behaviorSetting(config),
                                                   booleanSetting(config, "invert", false));
    case PreTokenizerType::Whitespace: return std::make_shared<WhitespacePreTokenizer>(false);
    case PreTokenizerType::WhitespaceSplit: return std::make_shared<WhitespacePreTokenizer>(true);
    case PreTokenizerType::Metaspace: return std::make_shared<MetaspacePreTokenizer>(config);
    case PreTokenizerType::BertPreTokenizer: return std::make_shared<BertPreTokenizer>();
    case PreTokenizerType::empty: break;
    }
    rejectConfiguration("Unsupported PreTokenizer type: " + *name);
}

std::vector<std::string> MatchingPreTokenizer::preTokenize(const std::string& text, const PreTokenizerOptions&) const {
    std::vector<std::string> pieces;
    for (const auto& range : ranges(text, re_)) pieces.emplace_back(text, range.begin, range.size());
    return pieces;
}

BertPreTokenizer::BertPreTokenizer() : MatchingPreTokenizer(bertExpression()) {}

WhitespacePreTokenizer::WhitespacePreTokenizer(bool splitOnWhitespaceOnly)
    : MatchingPreTokenizer(splitOnWhitespaceOnly ? nonWhitespace() : wordsOrSymbols()) {}

std::vector<std::string> PunctuationPreTokenizer::preTokenize(const std::string& text, const PreTokenizerOptions&) const {
    return split(text, ranges(text, punctuationCharacter()), behavior_);
}

std::vector<std::string> DigitsPreTokenizer::preTokenize(const std::string& text, const PreTokenizerOptions&) const {
    return split(text, ranges(text, digit()),
                 individualDigits_ ? SplitDelimiterBehavior::isolated : SplitDelimiterBehavior::contiguous);
}

PreTokenizerSequence::PreTokenizerSequence(const Config& config) {
    const auto elements = config["pretokenizers"].array();
    if (!elements) rejectConfiguration("No pretokenizers in Sequence");
    for (const auto& element : *elements) {
        if (auto preTokenizer = PreTokenizerFactory::fromConfig(element)) preTokenizers_.push_back(std::move(preTokenizer));
    }
}

std::vector<std::string> PreTokenizerSequence::preTokenize(const std::string& text,
                                                           const PreTokenizerOptions& options) const {
    std::vector<std::string> pieces{text};
    for (const auto& preTokenizer : preTokenizers_) pieces = preTokenizer->preTokenize(pieces, options);
    return pieces;
}

MetaspacePreTokenizer::MetaspacePreTokenizer(const Config& config)
    : replacement_(config["replacement"].string().value_or(" ")),
      stringReplacement_(config["strRep"].string().value_or(replacement_)),
      prependScheme_(PrependScheme::always),
      split_(booleanSetting(config, "split", true)) {
    const auto scheme = config["prependScheme"].string();
    if (scheme == "first") prependScheme_ = PrependScheme::first;
    if (scheme == "never") prependScheme_ = PrependScheme::never;
    // Files written before "prepend_scheme" existed say "add_prefix_space";
    // newer ones give only the scheme, which then decides alone.
    addPrefixSpace_ = booleanSetting(config, "addPrefixSpace", scheme.has_value());
}

std::vector<std::string> MetaspacePreTokenizer::preTokenize(const std::string& text,
                                                            const PreTokenizerOptions& options) const {
    // Nothing is there to mark as a word's start: a section that the
    // normalizer stripped to nothing, between two added tokens or of a text
    // of spaces only, gives no piece, so no lone "▁" token.
    if (text.empty()) return {};
    std::string replaced = replacingOccurrences(text, " ", stringReplacement_);
    bool prefixed = false;
    if (addPrefixSpace_ && !replaced.starts_with(replacement_)) {
        switch (prependScheme_) {
        case PrependScheme::always: prefixed = true; break;
        case PrependScheme::first: prefixed = options.contains(PreTokenizerOption::firstSection); break;
        case PrependScheme::never: break;
        }
    }
    if (prefixed) replaced.insert(0, stringReplacement_);
    if (!split_) return replaced.empty() ? std::vector<std::string>{} : std::vector<std::string>{replaced};
    return split(replaced, ranges(replaced, replacement_), SplitDelimiterBehavior::mergedWithNext);
}

ByteLevelPreTokenizer::ByteLevelPreTokenizer(const Config& config)
    : addPrefixSpace_(booleanSetting(config, "addPrefixSpace", false)),
      useRegex_(booleanSetting(config, "useRegex", true)) {}

std::vector<std::string> ByteLevelPreTokenizer::preTokenize(const std::string& text, const PreTokenizerOptions&) const {
    // The prefix space goes in front of the section, not of every piece: a
    // piece such as "," after "Hello" keeps its own spelling.
    const bool prefixed = addPrefixSpace_ && !text.starts_with(' ');
    const std::string withPrefix = prefixed ? " " + text : std::string();
    const std::string_view section = prefixed ? std::string_view(withPrefix) : std::string_view(text);
    std::vector<std::string> pieces;
    if (!useRegex_) {
        if (!section.empty()) pieces.push_back(byteLevelEncoded(section));
        return pieces;
    }
    const auto matches = byteLevelRanges(section);
    pieces.reserve(matches.size());
    for (const auto& match : matches) pieces.push_back(byteLevelEncoded(section.substr(match.begin, match.size())));
    return pieces;
}

std::vector<std::string> SplitPreTokenizer::preTokenize(const std::string& text, const PreTokenizerOptions&) const {
    if (!pattern_) return {text};
    return split(text, pattern_->ranges(text), behavior_, invert_);
}

const Regex& byteLevelExpression() {
    // The contractions share their apostrophe: the same alternatives in the
    // same order, which the regex engine runs twice as fast.
    static const Regex re(R"('(?:s|t|re|ve|m|ll|d)| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+)");
    return re;
}

std::string byteLevelEncoded(std::string_view text) {
    const auto& encoder = byteEncoder();
    std::string encoded;
    encoded.reserve(text.size() * 2);
    for (const char byte : text) encoded.append(encoder[static_cast<unsigned char>(byte)]);
    return encoded;
}

} // namespace celvan
