#include "mlcore/tokenizers/Tokenizer.h"

#include "mlcore/tokenizers/StringPreTokenization.h"
#include "mlcore/tokenizers/TokenizerError.h"
#include "mlcore/tokenizers/TokenizerModel.h"

#include <utility>

namespace celvan {
namespace {

const char* const kMetaspace = "\u2581";

bool isLegacyConfig(const Config& tokenizerConfig) { return tokenizerConfig["legacy"].boolean().value_or(true); }

Config tokenizerDataFor(const Config& tokenizerConfig, const Config& tokenizerData) {
    Config::Dictionary entries;
    if (const auto* data = tokenizerData.dictionary()) entries = *data;
    if (!isLegacyConfig(tokenizerConfig)) {
        entries.erase(BinaryDistinctString("normalizer"));
        entries.insert_or_assign(BinaryDistinctString("pre_tokenizer"),
                                 Config::dictionaryLiteral({{"type", "Metaspace"},
                                                            {"replacement", kMetaspace},
                                                            {"add_prefix_space", true},
                                                            {"prepend_scheme", "first"}}));
    }
    if (auto processor = maybeUpdatePostProcessor(tokenizerConfig, tokenizerData["postProcessor"])) {
        entries.insert_or_assign(BinaryDistinctString("post_processor"),
                                 processor->dictionary() ? *processor : Config(Config::Dictionary{}));
    }
    return Config(std::move(entries));
}

} // namespace

std::vector<std::optional<int64_t>> Tokenizer::convertTokensToIds(const std::vector<std::string>& tokens) const {
    std::vector<std::optional<int64_t>> ids;
    ids.reserve(tokens.size());
    for (const auto& token : tokens) ids.push_back(convertTokenToId(token));
    return ids;
}

std::vector<std::optional<std::string>> Tokenizer::convertIdsToTokens(const std::vector<int64_t>& ids) const {
    std::vector<std::optional<std::string>> tokens;
    tokens.reserve(ids.size());
    for (int64_t id : ids) tokens.push_back(convertIdToToken(id));
    return tokens;
}

PreTrainedTokenizer::PreTrainedTokenizer(const Config& tokenizerConfig, const Config& tokenizerData, bool strict)
    : addedTokenSplitter_(AddedTokenSplitter::fromAddedTokens(tokenizerData["addedTokens"])),
      tokenizerConfig_(tokenizerConfig) {
    AddedTokenIds addedTokenIds;
    if (const auto* entries = tokenizerData["addedTokens"].array()) {
        for (const Config& entry : *entries) {
            const auto id = entry["id"].integer();
            auto content = entry["content"].string();
            if (!id || !content) continue;
            if (entry["special"].boolean().value_or(false)) {
                specialTokens_.insert_or_assign(*content, *id);
            }
            addedTokenIds.insert_or_assign(std::move(*content), *id);
        }
    }
    for (const auto& [content, id] : addedTokenIds) addedTokens_.insert(content);
    for (const auto& [content, id] : specialTokens_) specialTokenIds_.insert(id);

    preTokenizer_ = PreTokenizerFactory::fromConfig(tokenizerData["preTokenizer"]);
    normalizer_ = NormalizerFactory::fromConfig(tokenizerData["normalizer"]);
    postProcessor_ = PostProcessorFactory::fromConfig(tokenizerData["postProcessor"]);
    decoder_ = DecoderFactory::fromConfig(tokenizerData["decoder"], addedTokens_);
    cleanUpTokenizationSpaces_ = tokenizerConfig["cleanUpTokenizationSpaces"].boolean().value_or(true);
    model_ = TokenizerModel::from(tokenizerConfig, tokenizerData, addedTokenIds, strict);
}

std::vector<std::string> PreTrainedTokenizer::preTokenize(const std::string& text,
                                                          const PreTokenizerOptions& options) const {
    return preTokenizer_ ? preTokenizer_->preTokenize(text, options) : std::vector<std::string>{text};
}

std::string PreTrainedTokenizer::normalize(const std::string& text) const {
    return normalizer_ ? normalizer_->normalize(text) : text;
}

std::vector<std::string> PreTrainedTokenizer::postProcess(std::vector<std::string> tokens,
                                                          bool addSpecialTokens) const {
    if (!postProcessor_) return tokens;
    return postProcessor_->postProcess(std::move(tokens), std::nullopt, addSpecialTokens);
}

std::vector<std::string> PreTrainedTokenizer::decodeTokens(const std::vector<std::string>& tokens) const {
    return decoder_ ? decoder_->decode(tokens) : tokens;
}

std::string PreTrainedTokenizer::cleanUp(const std::string& text) const {
    if (!cleanUpTokenizationSpaces_) return text;
    static const std::pair<const char*, const char*> replacements[] = {
        {" .", "."},   {" ?", "?"},     {" !", "!"},     {" ,", ","},     {" ' ", "'"},
        {" n't", "n't"}, {" 'm", "'m"}, {" 's", "'s"}, {" 've", "'ve"}, {" 're", "'re"},
    };
    std::string cleaned = text;
    // Most texts lack most targets; those passes need no copy of the text.
    for (const auto& [target, replacement] : replacements) {
        if (cleaned.find(target) != std::string::npos) cleaned = replacingOccurrences(cleaned, target, replacement);
    }
    return cleaned;
}

std::vector<std::string> PreTrainedTokenizer::fuseUnknown(std::vector<std::string> tokens) const {
    const auto unknownId = model_->unknownTokenId();
    std::vector<std::string> fused;
    fused.reserve(tokens.size());
    bool previousUnknown = false;
    for (auto& token : tokens) {
        const bool unknown = model_->convertTokenToId(token) == unknownId;
        if (!(unknown && previousUnknown)) fused.push_back(std::move(token));
        previousUnknown = unknown;
    }
    return fused;
}

std::vector<std::string> PreTrainedTokenizer::tokenize(const std::string& text) const {
    std::vector<std::string> tokens;
    const auto pieces = addedTokenSplitter_.split(text);
    const bool fuse = model_->fuseUnknownTokens();
    for (std::size_t position = 0; position < pieces.size(); ++position) {
        const std::string& piece = pieces[position];
        if (addedTokens_.contains(piece)) {
            tokens.push_back(piece);
            continue;
        }
        // A section that normalizes to nothing holds nothing to tokenize.
        const std::string normalized = normalize(piece);
        if (normalized.empty()) continue;
        const PreTokenizerOptions options =
            position == 0 ? PreTokenizerOptions{PreTokenizerOption::firstSection} : PreTokenizerOptions{};
        // Fusing never reaches across pieces, so only then does a piece
        // collect its tokens on its own first.
        std::vector<std::string> pieceTokens;
        std::vector<std::string>& into = fuse ? pieceTokens : tokens;
        const auto preTokens = preTokenize(normalized, options);
        // Words split into a few tokens at most, so this is nearly always enough.
        into.reserve(into.size() + preTokens.size() * 3 / 2);
        for (const auto& preToken : preTokens) {
            auto modelTokens = model_->tokenize(preToken);
            into.insert(into.end(), std::make_move_iterator(modelTokens.begin()),
                        std::make_move_iterator(modelTokens.end()));
        }
        if (fuse) {
            pieceTokens = fuseUnknown(std::move(pieceTokens));
            tokens.insert(tokens.end(), std::make_move_iterator(pieceTokens.begin()),
                          std::make_move_iterator(pieceTokens.end()));
        }
    }
    return tokens;
}

std::vector<int64_t> PreTrainedTokenizer::encode(const std::string& text, bool addSpecialTokens) const {
    const auto tokens = postProcess(tokenize(text), addSpecialTokens);
    std::vector<int64_t> ids;
    ids.reserve(tokens.size());
    // A token without an id (a post-processor's special token that the
    // vocabulary lacks, in a model without an unknown token) has nothing the
    // model could be given, so it is left out.
    for (const auto& token : tokens) {
        if (auto id = model_->convertTokenToId(token)) ids.push_back(*id);
    }
    return ids;
}

std::string PreTrainedTokenizer::decode(const std::vector<int64_t>& tokens, bool skipSpecialTokens) const {
    std::vector<std::string> strings;
    strings.reserve(tokens.size());
    for (int64_t id : tokens) {
        if (skipSpecialTokens && specialTokenIds_.contains(id)) continue;
        if (auto token = model_->convertIdToToken(id)) strings.push_back(std::move(*token));
    }
    std::string joined;
    for (const auto& piece : decodeTokens(strings)) joined += piece;
    return cleanUp(joined);
}

std::optional<int64_t> PreTrainedTokenizer::convertTokenToId(const std::string& token) const {
    return model_->convertTokenToId(token);
}

std::optional<std::string> PreTrainedTokenizer::convertIdToToken(int64_t id) const {
    return model_->convertIdToToken(id);
}

LlamaPreTrainedTokenizer::LlamaPreTrainedTokenizer(const Config& tokenizerConfig, const Config& tokenizerData,
                                                   bool strict)
    : PreTrainedTokenizer(tokenizerConfig, tokenizerDataFor(tokenizerConfig, tokenizerData), strict),
      isLegacy_(isLegacyConfig(tokenizerConfig)) {}

std::vector<std::string> LlamaPreTrainedTokenizer::tokenize(const std::string& text) const {
    if (isLegacy_ || text.empty()) return PreTrainedTokenizer::tokenize(text);
    auto tokens = PreTrainedTokenizer::tokenize(kMetaspace + replacingOccurrences(text, kMetaspace, " "));
    if (tokens.size() >= 2 && tokens[0] == kMetaspace && specialTokens().contains(tokens[1])) {
        tokens.erase(tokens.begin());
    }
    return tokens;
}

std::optional<Config> maybeUpdatePostProcessor(const Config& tokenizerConfig, const Config& processorConfig) {
    if (std::dynamic_pointer_cast<const TemplateProcessing>(PostProcessorFactory::fromConfig(processorConfig))) {
        return std::nullopt;
    }
    const bool addBos = tokenizerConfig["addBosToken"].boolean().value_or(false);
    const auto bos = addedTokenAsString(&tokenizerConfig["bosToken"]);
    if (addBos && !bos) throw TokenizerError::mismatchedConfig("add_bos_token is True but bos_token is nil");
    const bool addEos = tokenizerConfig["addEosToken"].boolean().value_or(false);
    const auto eos = addedTokenAsString(&tokenizerConfig["eosToken"]);
    if (addEos && !eos) throw TokenizerError::mismatchedConfig("add_eos_token is True but eos_token is nil");

    auto special = [](const std::string& token, int64_t typeId) {
        return Config::dictionaryLiteral(
            {{"SpecialToken", Config::dictionaryLiteral({{"id", std::string_view(token)}, {"type_id", typeId}})}});
    };
    auto sequence = [](const char* id, int64_t typeId) {
        return Config::dictionaryLiteral({{"Sequence", Config::dictionaryLiteral({{"id", id}, {"type_id", typeId}})}});
    };
    Config::Array single;
    if (addBos) single.push_back(special(*bos, 0));
    single.push_back(sequence("A", 0));
    if (addEos) single.push_back(special(*eos, 0));
    Config::Array pair = single;
    if (addBos) pair.push_back(special(*bos, 1));
    pair.push_back(sequence("B", 1));
    if (addEos) pair.push_back(special(*eos, 1));
    return Config::dictionaryLiteral(
        {{"type", "TemplateProcessing"}, {"single", Config(std::move(single))}, {"pair", Config(std::move(pair))}});
}

} // namespace celvan
