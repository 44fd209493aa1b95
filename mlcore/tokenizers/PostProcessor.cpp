#include "mlcore/tokenizers/PostProcessor.h"

#include "mlcore/tokenizers/Characters.h"
#include "mlcore/tokenizers/ComponentSettings.h"
#include "platform/text/Graphemes.h"
#include "platform/text/UnicodeProperties.h"

#include <array>
#include <utility>

namespace celvan {
namespace {

constexpr std::array<std::pair<std::string_view, PostProcessorType>, 5> kPostProcessorTypes = {{
    {"TemplateProcessing", PostProcessorType::TemplateProcessing},
    {"ByteLevel", PostProcessorType::ByteLevel},
    {"RobertaProcessing", PostProcessorType::RobertaProcessing},
    {"BertProcessing", PostProcessorType::BertProcessing},
    {"Sequence", PostProcessorType::Sequence},
}};

std::vector<TemplateProcessing::Item> templateItems(const Config& config, const char* name, const std::string& missing) {
    const auto entries = config[name].array();
    if (!entries) rejectConfiguration(missing);
    std::vector<TemplateProcessing::Item> items;
    for (const auto& entry : *entries) {
        if (!entry.dictionary()) continue;
        if (const auto token = entry["SpecialToken"]["id"].string()) {
            items.push_back({TemplateProcessing::Item::Kind::specialToken, *token});
            continue;
        }
        const auto sequence = entry["Sequence"]["id"].string();
        if (!sequence) continue;
        if (*sequence == "A") items.push_back({TemplateProcessing::Item::Kind::sequenceA, {}});
        if (*sequence == "B") items.push_back({TemplateProcessing::Item::Kind::sequenceB, {}});
    }
    return items;
}

std::string specialToken(const Config& config, const char* name) {
    const auto token = config[name].token();
    if (!token) rejectConfiguration(std::string("Missing `") + name + "` processor configuration");
    return token->second;
}

void append(std::vector<std::string>& to, std::vector<std::string>&& tokens) {
    if (to.empty()) {
        to = std::move(tokens);
        return;
    }
    to.insert(to.end(), std::make_move_iterator(tokens.begin()), std::make_move_iterator(tokens.end()));
}

} // namespace

std::optional<PostProcessorType> postProcessorType(std::string_view name) { return namedValue(kPostProcessorTypes, name); }

std::shared_ptr<const PostProcessor> PostProcessorFactory::fromConfig(const Config& config) {
    const auto name = componentType(config);
    if (!name) return nullptr;
    const auto type = postProcessorType(*name);
    if (!type) rejectConfiguration("Unsupported PostProcessor type: " + *name);
    switch (*type) {
    case PostProcessorType::TemplateProcessing: return std::make_shared<TemplateProcessing>(config);
    case PostProcessorType::ByteLevel: return std::make_shared<ByteLevelPostProcessor>();
    case PostProcessorType::RobertaProcessing: return std::make_shared<RobertaProcessing>(config);
    case PostProcessorType::BertProcessing: return std::make_shared<BertProcessing>(config);
    case PostProcessorType::Sequence: return std::make_shared<SequenceProcessing>(config);
    }
    rejectConfiguration("Unsupported PostProcessor type: " + *name);
}

TemplateProcessing::TemplateProcessing(const Config& config)
    : single_(templateItems(config, "single", "Missing `single` processor configuration")),
      pair_(templateItems(config, "pair", "Missing `pair` processor configuration")) {}

std::vector<std::string> TemplateProcessing::postProcess(std::vector<std::string> tokens,
                                                         std::optional<std::vector<std::string>> tokensPair,
                                                         bool addSpecialTokens) const {
    const auto& items = tokensPair ? pair_ : single_;
    // A sequence named twice is copied until its last place, where it moves.
    auto lastOf = [&](Item::Kind kind) {
        std::size_t last = items.size();
        for (std::size_t index = 0; index < items.size(); ++index) {
            if (items[index].kind == kind) last = index;
        }
        return last;
    };
    const std::size_t lastA = lastOf(Item::Kind::sequenceA);
    const std::size_t lastB = lastOf(Item::Kind::sequenceB);
    auto place = [](std::vector<std::string>& output, std::vector<std::string>& sequence, bool last) {
        if (last) {
            append(output, std::move(sequence));
        } else {
            output.insert(output.end(), sequence.begin(), sequence.end());
        }
    };
    std::vector<std::string> output;
    for (std::size_t index = 0; index < items.size(); ++index) {
        switch (items[index].kind) {
        case Item::Kind::specialToken:
            if (addSpecialTokens) output.push_back(items[index].token);
            break;
        case Item::Kind::sequenceA: place(output, tokens, index == lastA); break;
        // Without a second text the template's second sequence stands for nothing.
        case Item::Kind::sequenceB:
            if (tokensPair) place(output, *tokensPair, index == lastB);
            break;
        }
    }
    return output;
}

std::vector<std::string> ByteLevelPostProcessor::postProcess(std::vector<std::string> tokens,
                                                             std::optional<std::vector<std::string>>,
                                                             bool) const {
    return tokens;
}

RobertaProcessing::RobertaProcessing(const Config& config)
    : sep_(specialToken(config, "sep")),
      cls_(specialToken(config, "cls")),
      trimOffset_(booleanSetting(config, "trimOffset", true)),
      addPrefixSpace_(booleanSetting(config, "addPrefixSpace", true)) {}

std::string RobertaProcessing::cleaned(const std::string& token) const {
    if (!trimOffset_) return token;
    if (!addPrefixSpace_) return std::string(platform::text::trimmingWhitespaces(token));
    // Keep at most one whitespace character at each end.
    const auto characters = platform::text::graphemeClusters(token);
    const auto isWhitespace = [&](std::size_t i) { return isWhitespaceCharacter(characters[i]); };
    std::size_t first = 0;
    while (first + 1 < characters.size() && isWhitespace(first) && isWhitespace(first + 1)) ++first;
    std::size_t last = characters.size();
    while (last >= first + 2 && isWhitespace(last - 1) && isWhitespace(last - 2)) --last;
    if (first >= last) return {};
    const auto begin = static_cast<std::size_t>(characters[first].data() - token.data());
    const auto end = static_cast<std::size_t>(characters[last - 1].data() + characters[last - 1].size() - token.data());
    return token.substr(begin, end - begin);
}

std::vector<std::string> RobertaProcessing::postProcess(std::vector<std::string> tokens,
                                                        std::optional<std::vector<std::string>> tokensPair,
                                                        bool addSpecialTokens) const {
    std::vector<std::string> output;
    if (addSpecialTokens) output.push_back(cls_);
    for (const auto& token : tokens) output.push_back(cleaned(token));
    if (addSpecialTokens) output.push_back(sep_);
    if (tokensPair && !tokensPair->empty()) {
        if (addSpecialTokens) output.push_back(sep_);
        for (const auto& token : *tokensPair) output.push_back(cleaned(token));
        if (addSpecialTokens) output.push_back(sep_);
    }
    return output;
}

BertProcessing::BertProcessing(const Config& config) : sep_(specialToken(config, "sep")), cls_(specialToken(config, "cls")) {}

std::vector<std::string> BertProcessing::postProcess(std::vector<std::string> tokens,
                                                     std::optional<std::vector<std::string>> tokensPair,
                                                     bool addSpecialTokens) const {
    std::vector<std::string> output;
    if (addSpecialTokens) output.push_back(cls_);
    append(output, std::move(tokens));
    if (addSpecialTokens) output.push_back(sep_);
    if (tokensPair && !tokensPair->empty()) {
        append(output, std::move(*tokensPair));
        if (addSpecialTokens) output.push_back(sep_);
    }
    return output;
}

SequenceProcessing::SequenceProcessing(const Config& config) {
    const auto elements = config["processors"].array();
    if (!elements) rejectConfiguration("Missing `processors` configuration");
    for (const auto& element : *elements) {
        if (auto processor = PostProcessorFactory::fromConfig(element)) processors_.push_back(std::move(processor));
    }
}

std::vector<std::string> SequenceProcessing::postProcess(std::vector<std::string> tokens,
                                                         std::optional<std::vector<std::string>> tokensPair,
                                                         bool addSpecialTokens) const {
    if (processors_.empty()) return tokens;
    std::vector<std::string> output =
        processors_.front()->postProcess(std::move(tokens), std::move(tokensPair), addSpecialTokens);
    for (std::size_t i = 1; i < processors_.size(); ++i) {
        output = processors_[i]->postProcess(std::move(output), std::nullopt, addSpecialTokens);
    }
    return output;
}

} // namespace celvan
