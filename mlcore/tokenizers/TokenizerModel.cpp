#include "mlcore/tokenizers/TokenizerModel.h"

#include "mlcore/tokenizers/BPETokenizer.h"
#include "mlcore/tokenizers/BertTokenizer.h"
#include "mlcore/tokenizers/TokenizerError.h"
#include "mlcore/tokenizers/UnigramTokenizer.h"

#include <functional>
#include <iostream>
#include <string_view>
#include <unordered_map>

namespace celvan {
namespace {

using ModelFactory =
    std::function<std::shared_ptr<const TokenizingModel>(const Config&, const Config&, const AddedTokenIds&)>;

template <typename Model>
ModelFactory factory() {
    return [](const Config& tokenizerConfig, const Config& tokenizerData, const AddedTokenIds& addedTokens) {
        return std::make_shared<const Model>(tokenizerConfig, tokenizerData, addedTokens);
    };
}

const std::unordered_map<std::string_view, ModelFactory>& modelClasses() {
    static const std::unordered_map<std::string_view, ModelFactory> classes = {
        {"BertTokenizer", factory<BertTokenizer>()},
        {"CodeGenTokenizer", factory<BPETokenizer>()},
        {"CodeLlamaTokenizer", factory<BPETokenizer>()},
        {"CohereTokenizer", factory<BPETokenizer>()},
        {"DistilbertTokenizer", factory<BertTokenizer>()},
        {"DistilBertTokenizer", factory<BertTokenizer>()},
        {"FalconTokenizer", factory<BPETokenizer>()},
        {"GemmaTokenizer", factory<BPETokenizer>()},
        {"GPT2Tokenizer", factory<BPETokenizer>()},
        {"LlamaTokenizer", factory<BPETokenizer>()},
        {"RobertaTokenizer", factory<BPETokenizer>()},
        {"T5Tokenizer", factory<T5Tokenizer>()},
        {"TokenizersBackend", factory<BPETokenizer>()},
        {"PreTrainedTokenizer", factory<BPETokenizer>()},
        {"Qwen2Tokenizer", factory<BPETokenizer>()},
        {"WhisperTokenizer", factory<BPETokenizer>()},
        {"XLMRobertaTokenizer", factory<UnigramTokenizer>()},
    };
    return classes;
}

// What "model" "type" of the tokenizer data says the model is.
const std::unordered_map<std::string_view, ModelFactory>& modelTypes() {
    static const std::unordered_map<std::string_view, ModelFactory> types = {
        {"BPE", factory<BPETokenizer>()},
        {"Unigram", factory<UnigramTokenizer>()},
        {"WordPiece", factory<BertTokenizer>()},
    };
    return types;
}

// Class names that fit any model; the file itself then says which.
bool isGenericClass(std::string_view name) { return name == "PreTrainedTokenizer" || name == "TokenizersBackend"; }

} // namespace

std::string removingFast(std::string className) {
    for (std::size_t at; (at = className.find("Fast")) != std::string::npos;) className.erase(at, 4);
    return className;
}

std::shared_ptr<const TokenizingModel> TokenizerModel::from(const Config& tokenizerConfig, const Config& tokenizerData,
                                                            const AddedTokenIds& addedTokens, bool strict) {
    const auto className = tokenizerConfig["tokenizerClass"].string();
    if (!className) throw TokenizerError::missingTokenizerClassInConfig();
    const std::string name = removingFast(*className);
    const auto& classes = modelClasses();
    auto found = classes.find(name);
    if (found == classes.end() || isGenericClass(name)) {
        if (const auto type = tokenizerData["model"]["type"].string()) {
            const auto& types = modelTypes();
            if (auto typed = types.find(*type); typed != types.end()) {
                return typed->second(tokenizerConfig, tokenizerData, addedTokens);
            }
        }
    }
    if (found == classes.end()) {
        if (strict) throw TokenizerError::unsupportedTokenizer(name);
        std::cout << "Warning: Tokenizer model class " << name
                  << " is not registered, falling back to a standard BPE implementation." << std::endl;
        return std::make_shared<const BPETokenizer>(tokenizerConfig, tokenizerData, addedTokens);
    }
    return found->second(tokenizerConfig, tokenizerData, addedTokens);
}

std::optional<std::string> TokenizerModel::unknownToken(const Config& tokenizerConfig) {
    const Config& token = tokenizerConfig["unkToken"];
    if (token.dictionary()) return token["content"].string();
    return token.string();
}

std::optional<std::string> addedTokenAsString(const Config* value) {
    if (!value) return std::nullopt;
    if (auto text = value->string()) return text;
    if (value->dictionary()) return (*value)["content"].string();
    return std::nullopt;
}

} // namespace celvan
