#include "tests/support/SpeechModelRepository.h"

#include <fstream>

#include "tests/support/WhisperTokenizerFiles.h"

namespace testsupport {

TrioDimensions narrowWindowDimensions() {
    TrioDimensions dims;
    dims.width = 8;
    dims.heads = 1;
    dims.encoderLayers = 1;
    dims.decoderLayers = 1;
    return dims;
}

std::filesystem::path writeScriptedModelFolder(const std::filesystem::path& folder, const ScriptedDecoder& decoder) {
    std::filesystem::create_directories(folder);
    writeMelSpectrogram(folder / "MelSpectrogram.mlmodelc", decoder.dims);
    writeAudioEncoder(folder / "AudioEncoder.mlmodelc", decoder.dims, 7);
    decoder.write(folder / "TextDecoder.mlmodelc");
    if (decoder.dims.vocabulary == 51865) {
        writeMultilingualWhisperTokenizer(folder);
        return folder;
    }
    for (const char* file : {"tokenizer.json", "tokenizer_config.json"}) {
        std::filesystem::copy_file(englishWhisperTokenizerFolder() / file, folder / file,
                                   std::filesystem::copy_options::overwrite_existing);
    }
    return folder;
}

void writeModelRepository(const std::filesystem::path& repository, const std::vector<std::string>& variantFolders,
                          const ScriptedDecoder& decoder, const std::string& defaultModel) {
    for (const std::string& variant : variantFolders) writeScriptedModelFolder(repository / variant, decoder);
    std::string supported;
    for (const std::string& variant : variantFolders) supported += (supported.empty() ? "\"" : ", \"") + variant + "\"";
    std::ofstream(repository / "config.json")
        << "{\"name\": \"test\", \"version\": \"1\", \"device_support\": [{\"identifiers\": [\"\"], "
           "\"models\": {\"default\": \""
        << defaultModel << "\", \"supported\": [" << supported << "]}}]}";
}

}  // namespace testsupport
