#include "tests/support/WhisperTokenizerFiles.h"

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace testsupport {
namespace {

nlohmann::json readJson(const std::filesystem::path& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("missing fixture " + path.string() + "; run scripts/fetch-fixtures");
    return nlohmann::json::parse(in);
}

void writeJson(const std::filesystem::path& path, const nlohmann::json& json) {
    std::ofstream(path) << json.dump();
}

}  // namespace

std::filesystem::path englishWhisperTokenizerFolder() {
    const char* root = std::getenv("DICTARO_FIXTURES");
    return std::filesystem::path(root ? root : "build/fixtures") / "whisper-en";
}

std::filesystem::path writeMultilingualWhisperTokenizer(const std::filesystem::path& folder) {
    const auto english = englishWhisperTokenizerFolder();
    nlohmann::json tokenizer = readJson(english / "tokenizer.json");
    const nlohmann::json config = readJson(english / "tokenizer_config.json");
    constexpr int64_t firstSpecial = 50256;

    // The multilingual text vocabulary is one entry longer; the end-of-text
    // entry of the English vocabulary stands in for that extra text token.
    auto& vocabulary = tokenizer["model"]["vocab"];
    vocabulary.erase("<|endoftext|>");
    vocabulary["\u0120multilingual"] = firstSpecial;
    for (auto& added : tokenizer["added_tokens"]) added["id"] = added["id"].get<int64_t>() + 1;
    for (auto& [name, special] : tokenizer["post_processor"]["special_tokens"].items()) {
        for (auto& id : special["ids"]) id = id.get<int64_t>() + 1;
    }
    std::filesystem::create_directories(folder);
    writeJson(folder / "tokenizer.json", tokenizer);
    writeJson(folder / "tokenizer_config.json", config);
    return folder;
}

}  // namespace testsupport
