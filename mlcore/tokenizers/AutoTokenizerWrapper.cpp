#include "mlcore/tokenizers/AutoTokenizerWrapper.h"

#include "mlcore/tokenizers/AutoTokenizer.h"

namespace celvan {

TokenizerWrapper AutoTokenizerWrapper::fromPretrained(const std::string& pretrained, const HubApiWrapper& hubApi,
                                                      bool strict) {
    return TokenizerWrapper(AutoTokenizer::fromPretrained(pretrained, hubApi, strict));
}

TokenizerWrapper AutoTokenizerWrapper::fromModelFolder(const platform::URL& modelFolder, const HubApiWrapper& hubApi,
                                                       bool strict) {
    return TokenizerWrapper(AutoTokenizer::fromModelFolder(modelFolder, hubApi, strict));
}

} // namespace celvan
