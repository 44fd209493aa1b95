#include "mlcore/tokenizers/AutoTokenizerWrapper.h"

#include "mlcore/tokenizers/AutoTokenizer.h"

namespace celvan {

TokenizerWrapper AutoTokenizerWrapper::fromModelFolder(const std::filesystem::path& modelFolder, bool strict) {
    return TokenizerWrapper(AutoTokenizer::fromModelFolder(modelFolder, strict));
}

} // namespace celvan
