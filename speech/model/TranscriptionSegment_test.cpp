#include "speech/model/TranscriptionSegment.h"

#include <cmath>
#include <functional>
#include <limits>

#include <gtest/gtest.h>

namespace sonoscribe {
namespace {

TranscriptionSegment sampleSegment() {
    return TranscriptionSegment{
        .id = 0,
        .seek = 0,
        .start = 0.0f,
        .end = 2.2f,
        .text = " Hello world.",
        .tokens = {50364, 2425, 1002, 13},
        .tokenLogProbs = {{{50364, -0.12f}}, {{2425, -0.5f}}, {{1002, -0.25f}}, {{13, -1.0e-5f}}},
        .temperature = 0.0f,
        .avgLogprob = -0.2f,
        .compressionRatio = 0.8f,
        .noSpeechProb = 0.1f,
        .words = std::vector<WordTiming>{{" Hello", {2425}, 0.0f, 1.0f, 0.9f}, {" world.", {1002, 13}, 1.0f, 2.2f, 0.8f}},
    };
}

TEST(TranscriptionSegment, EqualityAndHashingFollowTheFields) {
    const TranscriptionSegment base = sampleSegment();
    std::hash<TranscriptionSegment> hash;

    struct Case {
        const char* name;
        std::function<void(TranscriptionSegment&)> change;
        bool equal;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Case cases[] = {
        {"unchanged", [](TranscriptionSegment&) {}, true},
        {"noSpeechProb", [](TranscriptionSegment& s) { s.noSpeechProb = 0.2f; }, false},
        {"negative zero start", [](TranscriptionSegment& s) { s.start = -0.0f; }, true},
        {"token log-prob", [](TranscriptionSegment& s) { s.tokenLogProbs[0][50364] = -0.13f; }, false},
        {"words dropped", [](TranscriptionSegment& s) { s.words.reset(); }, false},
        {"words emptied", [](TranscriptionSegment& s) { s.words->clear(); }, false},
        {"word probability", [](TranscriptionSegment& s) { (*s.words)[1].probability = 0.7f; }, false},
        {"text", [](TranscriptionSegment& s) { s.text = " Hello world!"; }, false},
        {"seek", [](TranscriptionSegment& s) { s.seek = 1; }, false},
    };
    for (const Case& c : cases) {
        TranscriptionSegment changed = base;
        c.change(changed);
        EXPECT_EQ(changed == base, c.equal) << c.name;
        if (c.equal) {
            EXPECT_EQ(hash(changed), hash(base)) << c.name;
        }
    }

    TranscriptionSegment noWords = base;
    noWords.words.reset();
    TranscriptionSegment emptyWords = base;
    emptyWords.words->clear();
    EXPECT_NE(hash(noWords), hash(emptyWords));

    // Canonically equivalent texts are one text: an é typed as one character
    // or as e and a combining accent, a Hangul syllable or its jamo, in a
    // segment or in one of its words. Compatibility forms stay apart.
    struct TextCase {
        const char* a;
        const char* b;
        bool equal;
    };
    const TextCase texts[] = {
        {" caf\u00e9", " cafe\u0301", true},
        {" \uD55C", " \u1112\u1161\u11AB", true},
        {" a\u0323\u0307", " a\u0307\u0323", true},
        {" \uFB01", " fi", false},
        {" caf\u00e9", " cafe", false},
    };
    for (const TextCase& c : texts) {
        TranscriptionSegment first = base;
        TranscriptionSegment second = base;
        first.text = c.a;
        second.text = c.b;
        (*first.words)[0].word = c.a;
        (*second.words)[0].word = c.b;
        EXPECT_EQ(first == second, c.equal) << c.a;
        EXPECT_EQ((*first.words)[0] == (*second.words)[0], c.equal) << c.a;
        if (c.equal) {
            EXPECT_EQ(hash(first), hash(second)) << c.a;
            EXPECT_EQ(std::hash<WordTiming>{}((*first.words)[0]), std::hash<WordTiming>{}((*second.words)[0])) << c.a;
        }
    }

    TranscriptionSegment unordered = base;
    unordered.temperature = nan;
    EXPECT_FALSE(unordered == unordered);
}

TEST(TranscriptionSegment, DurationIsNotClamped) {
    TranscriptionSegment segment = sampleSegment();
    segment.start = 3.0f;
    segment.end = 1.0f;
    EXPECT_EQ(segment.duration(), -2.0f);
    WordTiming word{"x", {}, 0.5f, 2.0f, 1.0f};
    EXPECT_FLOAT_EQ(word.duration(), 1.5f);
}

TEST(TranscriptionSegment, JsonFormPinsKeysNumbersAndWords) {
    TranscriptionSegment segment = sampleSegment();
    EXPECT_EQ(encodeJSON(segment),
              R"({"id":0,"seek":0,"start":0.0,"end":2.2,"text":" Hello world.","tokens":[50364,2425,1002,13],)"
              R"("tokenLogProbs":[{"50364":-0.12},{"2425":-0.5},{"1002":-0.25},{"13":-1e-05}],"temperature":0.0,)"
              R"("avgLogprob":-0.2,"compressionRatio":0.8,"noSpeechProb":0.1,"words":[{"word":" Hello",)"
              R"("tokens":[2425],"start":0.0,"end":1.0,"probability":0.9},{"word":" world.","tokens":[1002,13],)"
              R"("start":1.0,"end":2.2,"probability":0.8}]})");

    struct Case {
        const char* name;
        std::optional<std::vector<WordTiming>> words;
    };
    const Case cases[] = {{"nil words", std::nullopt}, {"empty words", std::vector<WordTiming>{}}, {"words", segment.words}};
    for (const Case& c : cases) {
        segment.words = c.words;
        std::string text = encodeJSON(segment);
        EXPECT_EQ(text.find("\"words\"") != std::string::npos, c.words.has_value()) << c.name;
        EXPECT_EQ(decodeJSON<TranscriptionSegment>(text), segment) << c.name;
    }
}

TEST(TranscriptionSegment, NonFiniteNumbersStayReadable) {
    TranscriptionSegment segment = sampleSegment();
    segment.avgLogprob = -std::numeric_limits<float>::infinity();
    segment.compressionRatio = std::numeric_limits<float>::quiet_NaN();
    segment.tokenLogProbs[0][50364] = -std::numeric_limits<float>::infinity();
    std::string text = encodeJSON(segment);
    EXPECT_NE(text.find(R"("avgLogprob":null,"compressionRatio":null)"), std::string::npos) << text;
    EXPECT_NE(text.find(R"({"50364":null})"), std::string::npos) << text;

    TranscriptionSegment back = decodeJSON<TranscriptionSegment>(text);
    EXPECT_TRUE(std::isnan(back.avgLogprob));
    EXPECT_TRUE(std::isnan(back.compressionRatio));
    EXPECT_TRUE(std::isnan(back.tokenLogProbs[0].at(50364)));
}

TEST(TranscriptionSegment, DecodingFailsOnBadContent) {
    Json good = json::parse(encodeJSON(sampleSegment()));
    struct Case {
        const char* name;
        std::function<void(Json&)> change;
        DecodingError::Kind kind;
        std::string path;
    };
    const Case cases[] = {
        {"missing text", [](Json& j) { j.erase("text"); }, DecodingError::Kind::keyNotFound, ""},
        {"string seek", [](Json& j) { j["seek"] = "0"; }, DecodingError::Kind::typeMismatch, "seek"},
        {"log-prob key not a number", [](Json& j) { j["tokenLogProbs"][2] = {{"12a", -1.0}}; },
         DecodingError::Kind::dataCorrupted, "tokenLogProbs[2].12a"},
        {"empty log-prob key", [](Json& j) { j["tokenLogProbs"][0] = {{"", -1.0}}; },
         DecodingError::Kind::dataCorrupted, "tokenLogProbs[0]."},
        {"word without probability", [](Json& j) { j["words"][1].erase("probability"); },
         DecodingError::Kind::keyNotFound, "words[1]"},
        {"word start beyond Float", [](Json& j) { j["words"][0]["start"] = 1e300; },
         DecodingError::Kind::dataCorrupted, "words[0].start"},
        {"words not an array", [](Json& j) { j["words"] = Json::object(); }, DecodingError::Kind::typeMismatch,
         "words"},
        {"segment not an object", [](Json& j) { j = Json::array(); }, DecodingError::Kind::typeMismatch, ""},
    };
    for (const Case& c : cases) {
        Json changed = good;
        c.change(changed);
        try {
            JsonCoder<TranscriptionSegment>::decode(changed, {});
            ADD_FAILURE() << c.name;
        } catch (const DecodingError& error) {
            EXPECT_EQ(error.kind(), c.kind) << c.name;
            EXPECT_EQ(error.codingPath(), c.path) << c.name;
        }
    }

    Json extra = good;
    extra["speaker"] = "A";
    extra["words"] = nullptr;
    TranscriptionSegment expected = sampleSegment();
    expected.words.reset();
    EXPECT_EQ(JsonCoder<TranscriptionSegment>::decode(extra, {}), expected);
}

}  // namespace
}  // namespace sonoscribe
