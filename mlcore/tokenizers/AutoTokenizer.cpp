#include "mlcore/tokenizers/AutoTokenizer.h"

#include "mlcore/hub/LanguageModelConfigurationFromHub.h"
#include "mlcore/tokenizers/TokenizerError.h"
#include "mlcore/tokenizers/TokenizerModel.h"

namespace celvan {
namespace {

template <class Pipeline>
std::shared_ptr<const PreTrainedTokenizer> makePipeline(const Config& tokenizerConfig, const Config& tokenizerData,
                                                        bool strict) {
    return std::make_shared<const Pipeline>(tokenizerConfig, tokenizerData, strict);
}

// The configuration is awaited first: without it there is nothing to build,
// whatever the tokenizer data holds.
template <class Build>
std::shared_ptr<const Tokenizer> buildFrom(const LanguageModelConfigurationFromHub& loader, Build build) {
    const auto tokenizerConfig = loader.tokenizerConfig();
    if (!tokenizerConfig) throw TokenizerError::missingConfig();
    return build(*tokenizerConfig, loader.tokenizerData());
}

} // namespace

const std::map<std::string, PreTrainedTokenizerClasses::TokenizerClass>&
PreTrainedTokenizerClasses::tokenizerClasses() {
    static const std::map<std::string, TokenizerClass> classes = {
        {"LlamaTokenizer", makePipeline<LlamaPreTrainedTokenizer>},
    };
    return classes;
}

std::shared_ptr<const Tokenizer> AutoTokenizer::fromPretrained(const std::string& pretrained,
                                                               const HubApiWrapper& hubApi, bool strict) {
    const LanguageModelConfigurationFromHub loader(pretrained, "main", hubApi);
    return buildFrom(loader, [strict](const Config& tokenizerConfig, const Config& tokenizerData) {
        return tokenizerClass(tokenizerConfig)(tokenizerConfig, tokenizerData, strict);
    });
}

std::shared_ptr<const Tokenizer> AutoTokenizer::fromModelFolder(const platform::URL& modelFolder,
                                                                const HubApiWrapper& hubApi, bool strict) {
    const LanguageModelConfigurationFromHub loader(modelFolder, hubApi);
    return buildFrom(loader, [strict](const Config& tokenizerConfig, const Config& tokenizerData) {
        return makePipeline<PreTrainedTokenizer>(tokenizerConfig, tokenizerData, strict);
    });
}

AutoTokenizer::TokenizerClass AutoTokenizer::tokenizerClass(const Config& tokenizerConfig) {
    if (tokenizerConfig.dictionary()) {
        if (const auto name = tokenizerConfig["tokenizerClass"].string()) {
            const auto& classes = PreTrainedTokenizerClasses::tokenizerClasses();
            if (const auto found = classes.find(removingFast(*name)); found != classes.end()) return found->second;
        }
    }
    return makePipeline<PreTrainedTokenizer>;
}

} // namespace celvan
