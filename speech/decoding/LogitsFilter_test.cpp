#include "speech/decoding/LogitsFilter.h"

#include <gtest/gtest.h>

#include <cmath>

#include "tests/support/DecodingTestSupport.h"

namespace sonoscribe {
namespace {

using platform::Float16;
using platform::MLMultiArray;

// Scores of one step: `base` everywhere, with some tokens raised.
std::shared_ptr<MLMultiArray> logits(int64_t vocabulary, float base, std::map<int64_t, float> raised = {}) {
    auto array = std::make_shared<MLMultiArray>(std::vector<int64_t>{1, 1, vocabulary}, platform::MLMultiArrayDataType::float16);
    auto values = array->buffer<Float16>();
    for (int64_t t = 0; t < vocabulary; ++t) values[static_cast<std::size_t>(t)] = static_cast<Float16>(base);
    for (const auto& [token, score] : raised) values[static_cast<std::size_t>(token)] = static_cast<Float16>(score);
    return array;
}

bool suppressed(const MLMultiArray& array, int64_t token) {
    const float value = static_cast<float>(array.buffer<Float16>()[static_cast<std::size_t>(token)]);
    return std::isinf(value) && value < 0;
}

// Which of the probed tokens a filter ruled out.
std::vector<int64_t> suppressedAmong(const MLMultiArray& array, const std::vector<int64_t>& probes) {
    std::vector<int64_t> out;
    for (const int64_t token : probes) {
        if (suppressed(array, token)) out.push_back(token);
    }
    return out;
}

TEST(TimestampRulesFilter, EnforcesTheTimestampGrammar) {
    const auto& en = testing::englishTokenizer()->specialTokens();
    const auto& multi = testing::multilingualTokenizer()->specialTokens();
    const int64_t german = *testing::multilingualTokenizer()->convertTokenToId("<|de|>");
    const int64_t text = 400;
    const int64_t e = en.timeTokenBegin;
    const int64_t m = multi.timeTokenBegin;
    // A text token that clearly outweighs all timestamps together, so that
    // only the grammar decides.
    const std::map<int64_t, float> confidentText{{text, 20}};
    const struct {
        const char* name;
        bool multilingual;
        int64_t sampleBegin;
        std::vector<int64_t> tokens;
        std::map<int64_t, float> raised;
        std::vector<int64_t> probes;
        std::vector<int64_t> expected;
    } cases[] = {
        {"english prompt alone", false, 2, {en.startOfTranscriptToken, e}, confidentText,
         {text, en.endToken, en.noTimestampsToken, e, e + 1}, {en.noTimestampsToken}},
        {"timestamp then text", false, 2, {en.startOfTranscriptToken, e, e + 50, text}, confidentText,
         {text, en.endToken, e + 49, e + 50, e + 51}, {en.noTimestampsToken, e + 49, e + 50}},
        // The end token is the likely one here, as text is ruled out.
        {"text then timestamp", false, 2, {en.startOfTranscriptToken, e, text, e + 50}, {{en.endToken, 20}},
         {0, text, en.endToken - 1, en.endToken, e + 49, e + 50}, {0, text, en.endToken - 1, en.noTimestampsToken, e + 49}},
        {"two timestamps", false, 2, {en.startOfTranscriptToken, e, e + 10, e + 20}, confidentText,
         {text, en.endToken, e, e + 21, e + 1500}, {en.noTimestampsToken, e, e + 21, e + 1500}},
        {"timestamps outweigh every text token", false, 2, {en.startOfTranscriptToken, e}, {},
         {0, text, en.endToken, en.startOfTranscriptToken, e, e + 1500}, {0, text, en.endToken, en.startOfTranscriptToken, en.noTimestampsToken}},
        {"multilingual task found after start", true, 4, {multi.startOfTranscriptToken, german, multi.transcribeToken, m},
         confidentText, {text, multi.noTimestampsToken, m}, {multi.noTimestampsToken}},
        {"multilingual behind previous text", true, 7,
         {multi.startOfPreviousToken, 500, 501, multi.startOfTranscriptToken, german, multi.translateToken, m, m + 5, text},
         confidentText, {text, m + 5, m + 6, multi.noTimestampsToken}, {m + 5, multi.noTimestampsToken}},
        {"multilingual without a task token", true, 2, {multi.startOfTranscriptToken, m}, {},
         {text, multi.endToken, multi.noTimestampsToken}, {}},
    };
    for (const auto& c : cases) {
        const auto& special = c.multilingual ? multi : en;
        const int64_t vocabulary = c.multilingual ? 51865 : 51864;
        TimestampRulesFilter filter(special, c.sampleBegin, std::nullopt, c.multilingual);
        auto scores = logits(vocabulary, 0, c.raised);
        const auto filtered = filter.filterLogits(scores, c.tokens);
        EXPECT_EQ(filtered, scores) << c.name;
        auto probes = c.probes;
        probes.push_back(special.noTimestampsToken);
        std::sort(probes.begin(), probes.end());
        probes.erase(std::unique(probes.begin(), probes.end()), probes.end());
        auto expected = c.expected;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(suppressedAmong(*filtered, probes), expected) << c.name;
    }
}

TEST(LogitsFilters, SuppressOnlyInsideTheVocabularyAndAtTheirPositions) {
    const auto& special = testing::englishTokenizer()->specialTokens();
    SuppressTokensFilter suppress({-5, 10, 51864, 1 << 30});
    auto scores = logits(51864, 1);
    suppress.filterLogits(scores, {});
    EXPECT_EQ(suppressedAmong(*scores, {0, 9, 10, 11, 51863}), std::vector<int64_t>{10});

    // Built by the decoder, the blank filter acts right after the forced
    // prompt, on the first sampled position only.
    testing::ScriptedRun run(testing::scriptFor(51864), testing::englishTokenizer(), false);
    run.decoder->setLogitsFilters(std::vector<std::shared_ptr<LogitsFiltering>>{std::make_shared<SuppressTokensFilter>(std::vector<int64_t>{7})});
    DecodingOptions options;
    options.suppressBlank = true;
    options.suppressTokens = {3, special.endToken, special.timeTokenBegin + 1};
    const auto filters = run.decoder->createLogitsFilters(options, 0, 2, *testing::englishTokenizer());
    ASSERT_EQ(filters.size(), 4u);
    EXPECT_TRUE(dynamic_cast<SuppressTokensFilter*>(filters[0].get()));
    EXPECT_EQ(dynamic_cast<SuppressTokensFilter&>(*filters[2]).suppressTokens, std::vector<int64_t>{3});
    EXPECT_TRUE(dynamic_cast<TimestampRulesFilter*>(filters[3].get()));
    const std::vector<int64_t> blank{special.whitespaceToken, special.endToken};
    for (const auto& [tokens, expected] : std::vector<std::pair<std::vector<int64_t>, std::vector<int64_t>>>{
             {{special.startOfTranscriptToken, special.timeTokenBegin}, blank},
             {{special.startOfTranscriptToken, special.timeTokenBegin, 400}, {}}}) {
        auto step = logits(51864, 1);
        filters[1]->filterLogits(step, tokens);
        EXPECT_EQ(suppressedAmong(*step, blank), expected);
    }

    options = DecodingOptions();
    options.withoutTimestamps = true;
    EXPECT_EQ(run.decoder->createLogitsFilters(options, 0, 2, *testing::englishTokenizer()).size(), 1u);
}

}  // namespace
}  // namespace sonoscribe
