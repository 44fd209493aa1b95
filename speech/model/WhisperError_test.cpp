#include "speech/model/WhisperError.h"

#include <gtest/gtest.h>

#include "tests/support/TestLogCapture.h"

namespace sonoscribe {
namespace {

using Kind = WhisperError::Kind;

TEST(WhisperError, EveryKindCarriesItsMessage) {
    struct Case {
        WhisperError error;
        Kind kind;
    };
    const Case cases[] = {
        {WhisperError::tokenizerUnavailable("Tokenizer is unavailable"), Kind::tokenizerUnavailable},
        {WhisperError::modelsUnavailable("Model folder is not set."), Kind::modelsUnavailable},
        {WhisperError::audioProcessingFailed("Failed to create audio converter"), Kind::audioProcessingFailed},
        {WhisperError::decodingLogitsFailed("Unable to decode logits"), Kind::decodingLogitsFailed},
        {WhisperError::segmentingFailed("Invalid alignment matrix shape"), Kind::segmentingFailed},
        {WhisperError::loadAudioFailed("Resource path does not exist /a.wav"), Kind::loadAudioFailed},
        {WhisperError::prepareDecoderInputsFailed("Input must be MLMultiArray"), Kind::prepareDecoderInputsFailed},
        {WhisperError::transcriptionFailed("Mel output is nil"), Kind::transcriptionFailed},
        {WhisperError::decodingFailed("Language detection failed"), Kind::decodingFailed},
        {WhisperError::microphoneUnavailable("No microphone"), Kind::microphoneUnavailable},
        {WhisperError::initializationError("Set-up failed"), Kind::initializationError},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.error.kind(), c.kind);
        EXPECT_EQ(std::string(c.error.what()), c.error.message());
    }
    EXPECT_EQ(std::string(cases[1].error.what()), "Model folder is not set.");
}

TEST(WhisperError, EqualWhenKindAndMessageAgree) {
    EXPECT_EQ(WhisperError::transcriptionFailed("x"), WhisperError::transcriptionFailed("x"));
    EXPECT_FALSE(WhisperError::transcriptionFailed("x") == WhisperError::decodingFailed("x"));
    EXPECT_FALSE(WhisperError::transcriptionFailed("x") == WhisperError::transcriptionFailed("y"));
}

TEST(WhisperError, ReadingTheDescriptionLogsItEveryTime) {
    WhisperError error = WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
    {
        TestLogCapture capture(celvan::Logging::LogLevel::error);
        EXPECT_EQ(error.errorDescription(), "Tokenizer is unavailable");
        EXPECT_EQ(error.errorDescription(), "Tokenizer is unavailable");
        EXPECT_EQ(capture.messages(), (std::vector<std::string>{"Tokenizer is unavailable", "Tokenizer is unavailable"}));
    }
    TestLogCapture silent(celvan::Logging::LogLevel::none);
    EXPECT_EQ(error.errorDescription(), "Tokenizer is unavailable");
    EXPECT_TRUE(silent.messages().empty());
}

}  // namespace
}  // namespace sonoscribe
