#include "speech/engine/TranscriptionUtilities.h"

#include <gtest/gtest.h>

namespace sonoscribe {
namespace {

std::vector<WordTiming> words(std::initializer_list<const char*> texts, float start = 0) {
    std::vector<WordTiming> list;
    for (const char* text : texts) {
        list.push_back({text, {}, start, start + 1, 0.5f});
        start += 1;
    }
    return list;
}

std::vector<std::string> texts(const std::vector<WordTiming>& list) {
    std::vector<std::string> result;
    for (const WordTiming& word : list) result.push_back(word.word);
    return result;
}

TEST(TranscriptionUtilities, ShiftsSegmentsAndFormatsThem) {
    TranscriptionSegment segment;
    segment.start = 0.2f;
    segment.end = 0.9f;
    segment.text = " Hello";
    const TranscriptionSegment shifted = TranscriptionUtilities::updateSegmentTimings(segment, 1.5f);
    EXPECT_EQ(shifted.seek, 24000);
    EXPECT_FLOAT_EQ(shifted.start, 1.7f);
    EXPECT_FLOAT_EQ(shifted.end, 2.4f);
    EXPECT_EQ(shifted.words, std::nullopt);

    segment.words = words({" a", " b"}, 0.25f);
    const TranscriptionSegment withWords = TranscriptionUtilities::updateSegmentTimings(segment, 1.5f);
    ASSERT_TRUE(withWords.words);
    EXPECT_FLOAT_EQ((*withWords.words)[1].start, 2.75f);
    EXPECT_FLOAT_EQ((*withWords.words)[1].end, 3.75f);

    TranscriptionSegment timed;
    timed.start = 1.234f;
    timed.end = 5.0f;
    timed.text = " Hello";
    EXPECT_EQ(TranscriptionUtilities::formatSegments({timed}, true), std::vector<std::string>{"[1.23 --> 5.00]  Hello"});
    EXPECT_EQ(TranscriptionUtilities::formatSegments({timed}, false), std::vector<std::string>{" Hello"});
}

TEST(TranscriptionUtilities, ComparesWordsIgnoringCaseHyphensPunctuationAndSpacing) {
    struct Case {
        std::vector<WordTiming> first;
        std::vector<WordTiming> second;
        std::vector<std::string> prefix;
        std::vector<std::string> suffix;
    };
    const Case cases[] = {
        {words({"Hello,", "world"}), words({"hello", "World!", "again"}), {"hello", "World!"}, {"again"}},
        {words({"e-mail"}), words({"e mail", "x"}), {"e mail"}, {"x"}},
        {words({"email."}), words({"e-mail"}), {}, {"e-mail"}},
        {words({" Spaced  out "}), words({"spaced out"}), {"spaced out"}, {}},
        {{}, words({"all", "of", "it"}), {}, {"all", "of", "it"}},
        {words({"ÉCOLE"}), words({"école"}), {"école"}, {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(texts(TranscriptionUtilities::findLongestCommonPrefix(c.first, c.second)), c.prefix);
        EXPECT_EQ(texts(TranscriptionUtilities::findLongestDifferentSuffix(c.first, c.second)), c.suffix);
    }
    // The shared words carry the second list's timings.
    const auto prefix = TranscriptionUtilities::findLongestCommonPrefix(words({"a"}, 0), words({"A"}, 7));
    ASSERT_EQ(prefix.size(), 1u);
    EXPECT_FLOAT_EQ(prefix[0].start, 7);
}

TEST(TranscriptionUtilities, MergesResultsWithOverlappingIdsAndCombinedTimings) {
    auto result = [](std::string text, int segments, double start, double full, std::string language) {
        std::vector<TranscriptionSegment> list(static_cast<std::size_t>(segments));
        for (int i = 0; i < segments; ++i) {
            list[static_cast<std::size_t>(i)].id = 40 + i;
            list[static_cast<std::size_t>(i)].seek = 1000 * i;
        }
        TranscriptionTimings timings;
        timings.pipelineStart = start;
        timings.fullPipeline = full;
        timings.decoderLoadTime = start;
        timings.encoderSpecializationTime = 3;
        timings.totalDecodingWindows = 2;
        return std::make_shared<TranscriptionResult>(std::move(text), list, std::move(language), timings, 1.0f);
    };

    const auto merged = TranscriptionUtilities::mergeTranscriptionResults(
        {result("one", 3, 10, 5, "de"), nullptr, result("two", 2, 12, 5, "fr")});
    EXPECT_EQ(merged->text(), "one  two");
    std::vector<int64_t> ids;
    std::vector<int64_t> seeks;
    for (const auto& segment : merged->segments()) {
        ids.push_back(segment.id);
        seeks.push_back(segment.seek);
    }
    EXPECT_EQ(ids, (std::vector<int64_t>{0, 1, 2, 1, 2}));
    EXPECT_EQ(seeks, (std::vector<int64_t>{0, 1000, 2000, 0, 1000}));
    EXPECT_EQ(merged->language(), "de");
    EXPECT_EQ(merged->seekTime(), std::nullopt);
    const TranscriptionTimings timings = merged->timings();
    EXPECT_EQ(timings.pipelineStart, 10);
    EXPECT_EQ(timings.fullPipeline, 7);
    EXPECT_EQ(timings.decoderLoadTime, 12);
    EXPECT_EQ(timings.encoderSpecializationTime, 0);
    EXPECT_EQ(timings.totalDecodingWindows, 4);
    EXPECT_DOUBLE_EQ(timings.inputAudioSeconds, 0.002);

    const auto confirmed = TranscriptionUtilities::mergeTranscriptionResults({result("ignored", 1, 0, 1, "en")},
                                                                             words({" Hi", " there"}));
    EXPECT_EQ(confirmed->text(), " Hi there");

    const auto none = TranscriptionUtilities::mergeTranscriptionResults({});
    EXPECT_EQ(none->text(), "");
    EXPECT_TRUE(none->segments().empty());
    EXPECT_EQ(none->language(), "en");
    EXPECT_EQ(none->timings().pipelineStart, 0);
    EXPECT_EQ(none->timings().inputAudioSeconds, 0);
    EXPECT_EQ(TranscriptionUtilities::mergeTranscriptionResults({nullptr, nullptr})->text(), " ");
}

}  // namespace
}  // namespace sonoscribe
