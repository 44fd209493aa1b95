#include "speech/engine/ModelUtilities.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "tests/support/HubTestEnvironment.h"
#include "speech/model/Constants.h"
#include "tests/support/TestLogCapture.h"
#include "tests/support/WhisperTokenizerFiles.h"

namespace sonoscribe {
namespace {

namespace fs = std::filesystem;

TEST(EngineModelUtilities, DetectsVariantsFromModelWidths) {
    struct Case {
        int64_t logits;
        int64_t encoder;
        ModelVariant expected;
    };
    const Case cases[] = {
        {51865, 1280, ModelVariant::largev2}, {51866, 384, ModelVariant::largev3}, {51864, 1280, ModelVariant::baseEn},
        {51865, 640, ModelVariant::base},     {51864, 384, ModelVariant::tinyEn},  {51864, 1024, ModelVariant::mediumEn},
        {51865, 768, ModelVariant::small},    {51864, 512, ModelVariant::baseEn},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ModelUtilities::detectVariant(c.logits, c.encoder), c.expected) << c.logits << " " << c.encoder;
    }
    TestLogCapture log(celvan::Logging::LogLevel::error);
    EXPECT_EQ(ModelUtilities::detectVariant(50000, 384), ModelVariant::base);
    EXPECT_EQ(log.messages(),
              std::vector<std::string>{"Unrecognized vocabulary size: 50000, defaulting to base variant"});
    EXPECT_EQ(ModelUtilities::tokenizerNameForVariant(ModelVariant::largev2), "openai/whisper-large-v2");
    EXPECT_EQ(ModelUtilities::tokenizerNameForVariant(ModelVariant::tinyEn), "openai/whisper-tiny.en");
}

TEST(EngineModelUtilities, FormatsRepositoryFilesIntoOrderedModelNames) {
    EXPECT_EQ(ModelUtilities::formatModelFiles({"openai_whisper-small/a", "openai_whisper-tiny.en/b",
                                                "openai_whisper-tiny/c", "distil-whisper_distil-large-v3/d",
                                                "openai_whisper-tiny/e", "config.json"}),
              (std::vector<std::string>{"openai_whisper-tiny", "openai_whisper-tiny.en", "openai_whisper-small",
                                        "distil-whisper_distil-large-v3"}));
    EXPECT_TRUE(ModelUtilities::formatModelFiles({"config.json", "README.md"}).empty());
    EXPECT_TRUE(ModelUtilities::formatModelFiles({}).empty());
    // The core's helpers are reachable under the same name.
    EXPECT_EQ(ModelUtilities::detectModelURL(platform::URL::fileURLWithPath("/nowhere", true), "TextDecoder").path(),
              "/nowhere/TextDecoder.mlmodelc");
}

TEST(EngineModelUtilities, ModelSupportFallsBackToTheBuiltInTable) {
    const ModelSupportConfig& builtIn = Constants::fallbackModelSupportConfig();
    EXPECT_EQ(ModelUtilities::modelSupport("Standard PC (Q35 + ICH9, 2009)", std::nullopt), builtIn.defaultSupport.models);
    const ModelSupportConfig own("someone/repo", "1", {DeviceSupport(std::nullopt, {"Standard PC"},
                                                                     ModelSupport("tiny-one", {"tiny-one"}))},
                                 false);
    EXPECT_EQ(ModelUtilities::modelSupport("Standard PC (Q35 + ICH9, 2009)", own).defaultModel(), "tiny-one");
}

class TokenizerLoading : public celvan::testing::HubTestEnvironment {};

TEST_F(TokenizerLoading, PrefersALocalFolderAndFallsBackToTheHub) {
    const fs::path fixture = testsupport::englishWhisperTokenizerFolder();
    const fs::path base = scratch() / "tokenizers";
    const fs::path local = base / "models" / "openai" / "whisper-base.en";
    fs::create_directories(local);
    fs::copy(fixture, local, fs::copy_options::recursive);

    const auto url = [](const fs::path& path) { return platform::URL::fileURLWithPath(path.string(), true); };
    const auto fromLocal = ModelUtilities::loadTokenizer(ModelVariant::baseEn, url(base), {}, false);
    EXPECT_EQ(fromLocal->specialTokens().endToken, 50256);
    EXPECT_EQ(server().requestCount("GET"), 0);

    // A broken local copy is replaced by the hub's files.
    std::ofstream(local / "tokenizer.json") << "{ broken";
    for (const char* file : {"tokenizer.json", "tokenizer_config.json"}) {
        writeFile(serverRoot() / "models" / "openai" / "whisper-base.en" / file, readFile(fixture / file));
    }
    const auto fromHub = ModelUtilities::loadTokenizer(ModelVariant::baseEn, url(base), {}, false);
    EXPECT_EQ(fromHub->specialTokens().endToken, 50256);
    EXPECT_GT(server().requestCount("GET"), 0);

    // An additional search path is used when the repository folder has nothing.
    const fs::path elsewhere = scratch() / "elsewhere";
    fs::create_directories(elsewhere);
    fs::copy(fixture, elsewhere, fs::copy_options::recursive);
    server().clearRequests();
    const auto fromExtra =
        ModelUtilities::loadTokenizer(ModelVariant::baseEn, url(scratch() / "empty"), {url(elsewhere)}, false);
    EXPECT_EQ(fromExtra->specialTokens().startOfTranscriptToken, 50257);
    EXPECT_EQ(server().requestCount("GET"), 0);

    // No copy anywhere and none on the hub: the hub's error comes through.
    EXPECT_ANY_THROW(ModelUtilities::loadTokenizer(ModelVariant::tiny, url(scratch() / "none"), {}, false));
}

}  // namespace
}  // namespace sonoscribe
