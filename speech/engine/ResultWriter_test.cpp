#include "speech/engine/ResultWriter.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "platform/foundation/URL.h"
#include "tests/support/TempDirectory.h"

namespace sonoscribe {
namespace {

std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::shared_ptr<TranscriptionResult> twoSegmentResult() {
    TranscriptionSegment first;
    first.start = 0.0f;
    first.end = 2.3f;
    first.text = " Hello big world.";
    first.words = std::vector<WordTiming>{{" Hello", {1}, 0.0f, 0.5f, 0.9f},
                                          {" big", {2}, 0.5f, 1.1f, 0.8f},
                                          {" world.", {3}, 1.1f, 2.3f, 0.7f}};
    TranscriptionSegment second;
    second.id = 1;
    second.start = 3661.5f;
    second.end = 3662.0f;
    second.text = " Again.";
    TranscriptionSegment emptyWords;
    emptyWords.id = 2;
    emptyWords.start = 3662.0f;
    emptyWords.end = 3663.0f;
    emptyWords.text = " Silent words.";
    emptyWords.words = std::vector<WordTiming>{};
    return std::make_shared<TranscriptionResult>("Hello big world. Again.",
                                                 std::vector<TranscriptionSegment>{first, second, emptyWords}, "en",
                                                 TranscriptionTimings{}, std::nullopt);
}

TEST(ResultWriting, FormatsTimesInSinglePrecisionByTruncation) {
    const WriteSRT writer("/tmp");
    struct Case {
        float seconds;
        bool alwaysIncludeHours;
        const char* marker;
        const char* expected;
    };
    const Case cases[] = {
        {3661.5f, false, ",", "01:01:01,500"}, {65.25f, false, ".", "01:05.250"}, {65.25f, true, ",", "00:01:05,250"},
        {2.3f, false, ".", "00:02.299"},       {1.1f, false, ".", "00:01.100"},   {-0.5f, false, ".", "00:00.500"},
        {0.0f, true, ",", "00:00:00,000"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(writer.formatTime(c.seconds, c.alwaysIncludeHours, c.marker), c.expected) << c.seconds;
    }
    // A time no cue can show must not turn into undefined arithmetic.
    EXPECT_FALSE(writer.formatTime(std::numeric_limits<float>::infinity(), false, ".").empty());
    EXPECT_FALSE(writer.formatTime(std::numeric_limits<float>::quiet_NaN(), false, ".").empty());
}

TEST(ResultWriting, SubtitleFilesNumberWordAndSegmentCuesAndReadBack) {
    testsupport::TempDirectory folder;
    const auto result = twoSegmentResult();

    const Result<std::string> srt = WriteSRT(folder.path().string()).write(*result, "talk");
    ASSERT_TRUE(srt.isSuccess());
    EXPECT_EQ(srt.get(), platform::URL::fileURLWithPath((folder.path() / "talk.srt").string()).absoluteString());
    EXPECT_EQ(readText(folder.path() / "talk.srt"),
              "1\n00:00:00,000 --> 00:00:00,500\n Hello\n\n"
              "2\n00:00:00,500 --> 00:00:01,100\n big\n\n"
              "3\n00:00:01,100 --> 00:00:02,299\n world.\n\n"
              "4\n01:01:01,500 --> 01:01:02,000\n Again.\n\n"
              "5\n01:01:02,000 --> 01:01:03,000\n Silent words.\n\n");

    ASSERT_TRUE(WriteVTT(folder.path().string()).write(*result, "talk").isSuccess());
    EXPECT_EQ(readText(folder.path() / "talk.vtt"),
              "WEBVTT\n\n"
              "00:00.000 --> 00:00.500\n Hello\n\n"
              "00:00.500 --> 00:01.100\n big\n\n"
              "00:01.100 --> 00:02.299\n world.\n\n"
              "01:01:01.500 --> 01:01:02.000\n Again.\n\n"
              "01:01:02.000 --> 01:01:03.000\n Silent words.\n\n");

    const TranscriptionResult empty("", {}, "en", {}, std::nullopt);
    ASSERT_TRUE(WriteVTT(folder.path().string()).write(empty, "empty").isSuccess());
    EXPECT_EQ(readText(folder.path() / "empty.vtt"), "WEBVTT\n\n");
    ASSERT_TRUE(WriteSRT(folder.path().string()).write(empty, "empty").isSuccess());
    EXPECT_EQ(readText(folder.path() / "empty.srt"), "");
}

TEST(ResultWriting, JsonFileIsIndentedAndReadsBackAsTheSameResult) {
    testsupport::TempDirectory folder;
    const auto result = twoSegmentResult();
    std::filesystem::path target = folder.path() / "talk.json";
    std::ofstream(target) << "older and much longer content that must be replaced entirely";

    ASSERT_TRUE(WriteJSON(folder.path().string()).write(*result, "talk").isSuccess());
    const std::string text = readText(target);
    EXPECT_NE(text.find("\n  \"text\": "), std::string::npos) << text;
    const auto back = decodeJSON<TranscriptionResult>(text);
    EXPECT_EQ(back->text(), result->text());
    EXPECT_EQ(back->segments(), result->segments());
    EXPECT_EQ(back->timings(), result->timings());
    EXPECT_EQ(back->seekTime(), std::nullopt);
    EXPECT_LT(text.find("\"text\""), text.find("\"segments\"")) << "keys keep the result's order";
}

TEST(ResultWriting, RefusesNamesThatLeaveTheFolderAndMissingFolders) {
    testsupport::TempDirectory folder;
    const auto result = twoSegmentResult();
    for (const char* name : {"../escape", "a/b", "..", ".", ""}) {
        for (const Result<std::string>& outcome :
             {WriteSRT(folder.path().string()).write(*result, name), WriteVTT(folder.path().string()).write(*result, name),
              WriteJSON(folder.path().string()).write(*result, name)}) {
            ASSERT_FALSE(outcome.isSuccess()) << name;
            try {
                outcome.get();
            } catch (const ResultWritingError& error) {
                EXPECT_EQ(error.kind(), ResultWritingError::Kind::invalidFileName) << name;
            }
        }
    }
    EXPECT_TRUE(std::filesystem::is_empty(folder.path()));
    EXPECT_FALSE(std::filesystem::exists(folder.path().parent_path() / "escape.srt"));

    const Result<std::string> missing = WriteSRT((folder.path() / "absent").string()).write(*result, "talk");
    ASSERT_FALSE(missing.isSuccess());
    EXPECT_THROW(missing.get(), ResultWritingError);
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "absent"));
}

}  // namespace
}  // namespace sonoscribe
