#include <gtest/gtest.h>

#include "speech/decoding/ArrayElements.h"
#include "tests/support/DecodingTestSupport.h"
#include "speech/model/WhisperError.h"

namespace sonoscribe {
namespace {

using testing::englishTokenizer;
using testing::multilingualTokenizer;
using testing::ScriptedRun;
using testing::scriptFor;

std::vector<double> valuesOf(const platform::MLMultiArray& array) {
    std::vector<double> values;
    for (int64_t i = 0; i < array.count(); ++i) values.push_back(elementValue(array, i));
    return values;
}

TEST(TextDecoderInputs, StartWithOnlyTheFirstPositionOpenAndSizedByTheModel) {
    const auto decoderModel = scriptFor(51864);
    ScriptedRun run(decoderModel, englishTokenizer(), false);
    const auto prepared = run.decoder->prepareDecoderInputs({7});
    const auto& inputs = dynamic_cast<const DecodingInputs&>(*prepared);

    std::vector<double> padding(224, -10000), update(224, 0);
    padding[0] = 0;
    update[0] = 1;
    EXPECT_EQ(valuesOf(*inputs.decoderKeyPaddingMask), padding);
    EXPECT_EQ(valuesOf(*inputs.kvCacheUpdateMask), update);
    EXPECT_EQ(inputs.keyCache->shape(), (std::vector<int64_t>{1, 8, 1, 224}));
    EXPECT_EQ(inputs.alignmentWeights->shape(), (std::vector<int64_t>{224, 1500}));
    EXPECT_EQ(inputs.initialPrompt(), std::vector<int64_t>{7});
}

TEST(TextDecoderInputs, PrefillForcesThePromptForTheOptions) {
    const auto& en = englishTokenizer()->specialTokens();
    const auto& multi = multilingualTokenizer()->specialTokens();
    const int64_t german = *multilingualTokenizer()->convertTokenToId("<|de|>");
    ASSERT_EQ(multi.startOfTranscriptToken, 50258);
    ASSERT_EQ(german, 50261);

    std::vector<int64_t> longPrompt;
    for (int64_t i = 0; i < 200; ++i) longPrompt.push_back(1000 + i);
    longPrompt[150] = multi.endToken;  // special tokens in the prompt are dropped
    std::vector<int64_t> expectedPrompt{multi.startOfPreviousToken};
    for (int64_t i = 89; i < 200; ++i) {
        if (i != 150) expectedPrompt.push_back(1000 + i);
    }
    std::vector<int64_t> longPrefix(150, 42);
    std::vector<int64_t> withPrompt = expectedPrompt;
    withPrompt.insert(withPrompt.end(), {multi.startOfTranscriptToken, german, multi.transcribeToken, multi.timeTokenBegin});

    const auto options = [](auto change) {
        DecodingOptions o;
        change(o);
        return std::optional<DecodingOptions>(o);
    };
    const struct {
        const char* name;
        bool multilingual;
        std::optional<DecodingOptions> options;
        std::vector<int64_t> expected;
    } cases[] = {
        {"no options", false, std::nullopt, {en.startOfTranscriptToken}},
        {"english without timestamps", false, options([](auto& o) { o.withoutTimestamps = true; }),
         {en.startOfTranscriptToken, en.noTimestampsToken}},
        {"german transcription", true, options([](auto& o) { o.language = "de"; }),
         {multi.startOfTranscriptToken, german, multi.transcribeToken, multi.timeTokenBegin}},
        {"no language means english", true, options([](auto&) {}),
         {multi.startOfTranscriptToken, multi.englishToken, multi.transcribeToken, multi.timeTokenBegin}},
        {"unknown language and translation", true,
         options([](auto& o) {
             o.language = "xx";
             o.task = DecodingTask::translate;
         }),
         {multi.startOfTranscriptToken, multi.englishToken, multi.translateToken, multi.timeTokenBegin}},
        {"previous text keeps its last 111 tokens", true,
         options([&](auto& o) {
             o.language = "de";
             o.promptTokens = longPrompt;
         }),
         withPrompt},
        {"prefix keeps its last 112 tokens", false,
         options([&](auto& o) {
             o.withoutTimestamps = true;
             o.prefixTokens = longPrefix;
         }),
         [&] {
             std::vector<int64_t> expected{en.startOfTranscriptToken, en.noTimestampsToken};
             expected.insert(expected.end(), 112, 42);
             return expected;
         }()},
    };
    for (const auto& c : cases) {
        const auto decoderModel = scriptFor(c.multilingual ? 51865 : 51864);
        ScriptedRun run(decoderModel, c.multilingual ? multilingualTokenizer() : englishTokenizer(), c.multilingual);
        const auto prefilled = run.decoder->prefillDecoderInputs(run.decoder->prepareDecoderInputs({}), c.options);
        EXPECT_EQ(prefilled->initialPrompt(), c.expected) << c.name;
    }
}

TEST(TextDecoderInputs, APromptLongerThanTheCacheLosesItsOldestTextOrIsRefused) {
    const auto& special = englishTokenizer()->specialTokens();
    const auto decoderModel = scriptFor(51864, {}, 16);
    ScriptedRun run(decoderModel, englishTokenizer(), false);

    DecodingOptions options;
    options.promptTokens = std::vector<int64_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
    // 16 positions leave room for a prompt of 14: previous-text marker, the
    // newest 11 tokens, start and timestamp.
    std::vector<int64_t> expected{special.startOfPreviousToken};
    for (int64_t t = 10; t <= 20; ++t) expected.push_back(t);
    expected.insert(expected.end(), {special.startOfTranscriptToken, special.timeTokenBegin});
    EXPECT_EQ(run.prefilled(options)->initialPrompt(), expected);

    options.promptTokens.reset();
    options.prefixTokens = std::vector<int64_t>(20, 42);
    try {
        run.prefilled(options);
        ADD_FAILURE() << "a prefix past the cache was accepted";
    } catch (const WhisperError& error) {
        EXPECT_EQ(error.kind(), WhisperError::Kind::prepareDecoderInputsFailed);
        EXPECT_STREQ(error.what(), "Prompt of 22 tokens does not fit the decoder's cache");
    }
}

}  // namespace
}  // namespace sonoscribe
