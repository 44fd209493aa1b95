#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mlcore/foundation/ModelUtilities.h"
#include "platform/foundation/URL.h"
#include "speech/decoding/WhisperTokenizer.h"
#include "speech/model/ModelSupport.h"
#include "speech/model/ModelVariant.h"

// The core's model helpers, plus the engine's own that tie model files and
// names to its variants and tokenizers.
namespace sonoscribe::ModelUtilities {

using namespace celvan::ModelUtilities;

// The support for the device from the configuration, or from the built-in
// table when there is none.
ModelSupport modelSupport(const std::string& deviceIdentifier, const std::optional<ModelSupportConfig>& config);

// The variant's tokenizer: from the first search folder holding
// "tokenizer.json" (the hub's local folder for the variant's tokenizer
// repository under tokenizerFolder, then tokenizerFolder, then the additional
// paths), else downloaded from the hub. Throws the hub's or the loader's
// error when the download fails.
std::shared_ptr<const WhisperTokenizer> loadTokenizer(ModelVariant variant,
                                                      const std::optional<platform::URL>& tokenizerFolder,
                                                      const std::vector<platform::URL>& additionalSearchPaths,
                                                      bool useBackgroundSession);

// The model names (top-level folders with a variant in their name) of a
// repository's file paths, smallest variants first.
std::vector<std::string> formatModelFiles(const std::vector<std::string>& modelFiles);

// The variant from the decoder's vocabulary size and the encoder's width.
ModelVariant detectVariant(int64_t logitsDim, int64_t encoderDim);

// The hub repository of the variant's tokenizer, e.g. "openai/whisper-base.en".
std::string tokenizerNameForVariant(ModelVariant variant);

}  // namespace sonoscribe::ModelUtilities
