#include "mlcore/tokenizers/Normalizer.h"

#include "mlcore/tokenizers/Characters.h"
#include "mlcore/tokenizers/ComponentSettings.h"
#include "mlcore/tokenizers/StringPreTokenization.h"
#include "platform/text/CaseMapping.h"
#include "platform/text/GeneralCategory.h"
#include "platform/text/Graphemes.h"
#include "platform/text/Normalization.h"
#include "platform/text/UnicodeProperties.h"
#include "platform/text/Utf.h"

#include <array>
#include <utility>

namespace celvan {
namespace {

using platform::text::NormalizationForm;

constexpr std::array<std::pair<std::string_view, NormalizerType>, 14> kNormalizerTypes = {{
    {"Sequence", NormalizerType::Sequence},
    {"Prepend", NormalizerType::Prepend},
    {"Replace", NormalizerType::Replace},
    {"Lowercase", NormalizerType::Lowercase},
    {"NFD", NormalizerType::NFD},
    {"NFC", NormalizerType::NFC},
    {"NFKD", NormalizerType::NFKD},
    {"NFKC", NormalizerType::NFKC},
    {"Bert", NormalizerType::Bert},
    {"BertNormalizer", NormalizerType::BertNormalizer},
    {"Precompiled", NormalizerType::Precompiled},
    {"StripAccents", NormalizerType::StripAccents},
    {"Strip", NormalizerType::Strip},
    {"", NormalizerType::empty},
}};

bool isChineseCharacter(char32_t c) {
    return (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x20000 && c <= 0x2A6DF) ||
           (c >= 0x2A700 && c <= 0x2CEAF) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0x2F800 && c <= 0x2FA1F);
}

std::string withoutNonspacingMarks(std::string_view text) {
    std::string kept;
    kept.reserve(text.size());
    for (const char32_t scalar : platform::text::toScalars(text)) {
        if (!platform::text::isNonspacingMark(scalar)) platform::text::appendUtf8(kept, scalar);
    }
    return kept;
}

} // namespace

std::optional<NormalizerType> normalizerType(std::string_view name) { return namedValue(kNormalizerTypes, name); }

StringReplacePattern StringReplacePattern::regexp(platform::text::Regex regexp, std::string replacement) {
    return StringReplacePattern(Regexp{std::move(regexp), std::move(replacement)});
}

StringReplacePattern StringReplacePattern::string(std::string pattern, std::string replacement) {
    return StringReplacePattern(Literal{std::move(pattern), std::move(replacement)});
}

std::optional<StringReplacePattern> StringReplacePattern::from(const Config& config) {
    const auto replacement = config["content"].string();
    if (!replacement) return std::nullopt;
    const Config pattern = config["pattern"];
    if (const auto literal = pattern["String"].string()) return string(*literal, *replacement);
    const auto expression = pattern["Regex"].string();
    if (!expression) return std::nullopt;
    std::optional<platform::text::Regex> compiled;
    try {
        compiled.emplace(*expression);
    } catch (const platform::text::Regex::Error&) {
        rejectConfiguration("Cannot build regexp from " + *expression);
    }
    if (!compiled->isValidTemplate(*replacement)) {
        rejectConfiguration("Cannot use " + *replacement + " as the replacement for regexp " + *expression);
    }
    return regexp(std::move(*compiled), *replacement);
}

std::string StringReplacePattern::replace(std::string_view text) const {
    if (const auto* literal = std::get_if<Literal>(&form_)) {
        return replacingOccurrences(text, literal->pattern, literal->replacement);
    }
    const auto& expression = std::get<Regexp>(form_);
    return expression.regexp.replacingMatches(text, expression.replacement);
}

std::shared_ptr<const Normalizer> NormalizerFactory::fromConfig(const Config& config) {
    const auto name = componentType(config);
    if (!name) return nullptr;
    const auto type = normalizerType(*name);
    if (!type || *type == NormalizerType::empty) rejectConfiguration("Unsupported Normalizer type: " + *name);
    switch (*type) {
    case NormalizerType::Sequence: return std::make_shared<NormalizerSequence>(config);
    case NormalizerType::Prepend:
        return std::make_shared<PrependNormalizer>(config["prepend"].string().value_or(""));
    case NormalizerType::Replace: return std::make_shared<ReplaceNormalizer>(StringReplacePattern::from(config));
    case NormalizerType::Lowercase: return std::make_shared<LowercaseNormalizer>();
    case NormalizerType::NFD: return std::make_shared<NFDNormalizer>();
    case NormalizerType::NFC: return std::make_shared<NFCNormalizer>();
    case NormalizerType::NFKD: return std::make_shared<NFKDNormalizer>();
    case NormalizerType::NFKC: return std::make_shared<NFKCNormalizer>();
    case NormalizerType::Bert:
    case NormalizerType::BertNormalizer: return std::make_shared<BertNormalizer>(config);
    case NormalizerType::Precompiled: return std::make_shared<PrecompiledNormalizer>();
    case NormalizerType::StripAccents: return std::make_shared<StripAccentsNormalizer>();
    case NormalizerType::Strip:
        return std::make_shared<StripNormalizer>(booleanSetting(config, "stripLeft", true),
                                                 booleanSetting(config, "stripRight", true));
    case NormalizerType::empty: break;
    }
    rejectConfiguration("Unsupported Normalizer type: " + *name);
}

NormalizerSequence::NormalizerSequence(const Config& config) {
    const auto elements = config["normalizers"].array();
    if (!elements) rejectConfiguration("No normalizers in Sequence");
    for (const auto& element : *elements) {
        if (auto normalizer = NormalizerFactory::fromConfig(element)) normalizers_.push_back(std::move(normalizer));
    }
}

std::string NormalizerSequence::normalize(const std::string& text) const {
    std::string result = text;
    for (const auto& normalizer : normalizers_) result = normalizer->normalize(result);
    return result;
}

std::string ReplaceNormalizer::normalize(const std::string& text) const {
    return pattern_ ? pattern_->replace(text) : text;
}

std::string LowercaseNormalizer::normalize(const std::string& text) const { return platform::text::lowercased(text); }

std::string NFDNormalizer::normalize(const std::string& text) const {
    return platform::text::normalized(text, NormalizationForm::D);
}

std::string NFCNormalizer::normalize(const std::string& text) const {
    return platform::text::normalized(text, NormalizationForm::C);
}

std::string NFKDNormalizer::normalize(const std::string& text) const {
    return platform::text::normalized(text, NormalizationForm::KD);
}

std::string NFKCNormalizer::normalize(const std::string& text) const {
    return platform::text::normalized(text, NormalizationForm::KC);
}

std::string StripAccentsNormalizer::normalize(const std::string& text) const { return withoutNonspacingMarks(text); }

std::string PrecompiledNormalizer::normalize(const std::string& text) const {
    std::string rewritten;
    rewritten.reserve(text.size());
    bool hasFullwidthTilde = false;
    for (const char32_t c : platform::text::toScalars(text)) {
        if ((c >= 0x0001 && c <= 0x0008) || c == 0x000B || (c >= 0x000E && c <= 0x001F) || c == 0x007F ||
            c == 0x008F || c == 0x009F) {
            continue;
        }
        if (c == 0x0009 || c == 0x000A || c == 0x000C || c == 0x000D || c == 0x1680 || (c >= 0x200B && c <= 0x200F) ||
            c == 0x2028 || c == 0x2029 || c == 0x2581 || c == 0xFEFF || c == 0xFFFD) {
            rewritten.push_back(' ');
            continue;
        }
        if (c == 0xFF5E) hasFullwidthTilde = true;
        platform::text::appendUtf8(rewritten, c);
    }
    if (!hasFullwidthTilde) return platform::text::normalized(rewritten, NormalizationForm::KC);
    // Compatibility composition would fold the fullwidth tilde into "~", which
    // the vocabularies keep apart, so it is left out of the composition.
    static constexpr std::string_view kTilde = "\uFF5E";
    std::string result;
    for (const auto& piece : split(rewritten, ranges(rewritten, kTilde), SplitDelimiterBehavior::removed)) {
        if (!result.empty()) result.append(kTilde);
        result.append(platform::text::normalized(piece, NormalizationForm::KC));
    }
    return result;
}

BertNormalizer::BertNormalizer(const Config& config)
    : shouldCleanText_(booleanSetting(config, "cleanText", true)),
      shouldHandleChineseChars_(booleanSetting(config, "handleChineseChars", true)),
      shouldStripAccents_(false),
      shouldLowercase_(booleanSetting(config, "lowercase", true)) {
    shouldStripAccents_ = booleanSetting(config, "stripAccents", shouldLowercase_);
}

std::string BertNormalizer::normalize(const std::string& text) const {
    std::string result;
    result.reserve(text.size() + text.size() / 4);
    for (const char32_t c : platform::text::toScalars(text)) {
        if (shouldCleanText_) {
            if (c == '\t' || c == '\n' || c == '\r' || platform::text::isInWhitespaces(c)) {
                result.push_back(' ');
                continue;
            }
            // Control, format, private and unassigned characters carry no
            // text; the models were trained with them removed.
            if (c == 0 || c == 0xFFFD || platform::text::isOtherCategory(c)) continue;
        }
        if (shouldHandleChineseChars_ && isChineseCharacter(c)) {
            result.push_back(' ');
            platform::text::appendUtf8(result, c);
            result.push_back(' ');
            continue;
        }
        platform::text::appendUtf8(result, c);
    }
    if (shouldStripAccents_) result = withoutNonspacingMarks(platform::text::normalized(result, NormalizationForm::D));
    if (shouldLowercase_) result = platform::text::lowercased(result);
    return result;
}

std::string StripNormalizer::normalize(const std::string& text) const {
    const auto characters = platform::text::graphemeClusters(text);
    std::size_t first = 0;
    std::size_t last = characters.size();
    const auto isWhitespace = [&](std::size_t index) { return isWhitespaceCharacter(characters[index]); };
    if (leftStrip_) {
        while (first < last && isWhitespace(first)) ++first;
    }
    if (rightStrip_) {
        while (last > first && isWhitespace(last - 1)) --last;
    }
    if (first == last) return {};
    const std::size_t begin = static_cast<std::size_t>(characters[first].data() - text.data());
    const std::size_t end = static_cast<std::size_t>(characters[last - 1].data() + characters[last - 1].size() - text.data());
    return text.substr(begin, end - begin);
}

} // namespace celvan
