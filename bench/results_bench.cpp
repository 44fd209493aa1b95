// Encoding and decoding a one-hour transcription result to and from JSON,
// against nlohmann's own dump and parse of the same document.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "speech/model/TranscriptionResult.h"

namespace {

using sonoscribe::TranscriptionResult;
using sonoscribe::TranscriptionSegment;
using sonoscribe::WordTiming;

// About 1,000 segments of 3.6 s with ten words each, as an hour of speech
// gives with word timestamps on.
std::shared_ptr<TranscriptionResult> hourLongResult() {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> logProb(-2.0f, 0.0f);
    std::uniform_int_distribution<int64_t> token(220, 50000);
    const char* vocabulary[] = {" the", " quick", " brown", " fox", " jumps", " over", " lazy", " dog", " and",
                                " keeps", " running", " through", " fields", " of", " golden", " wheat"};
    std::vector<TranscriptionSegment> segments;
    std::string text;
    for (int64_t s = 0; s < 1000; ++s) {
        TranscriptionSegment segment;
        segment.id = s;
        segment.seek = s / 8 * 480000;
        segment.start = static_cast<float>(s) * 3.6f;
        segment.end = segment.start + 3.58f;
        segment.words.emplace();
        for (int w = 0; w < 10; ++w) {
            WordTiming word;
            word.word = vocabulary[(s * 10 + w) % 16];
            word.tokens = {token(random)};
            if (w % 3 == 0) word.tokens.push_back(token(random));
            word.start = segment.start + 0.358f * static_cast<float>(w);
            word.end = word.start + 0.3f;
            word.probability = -logProb(random) / 2.0f;
            segment.text += word.word;
            segment.tokens.insert(segment.tokens.end(), word.tokens.begin(), word.tokens.end());
            segment.words->push_back(std::move(word));
        }
        for (int64_t id : segment.tokens) segment.tokenLogProbs.push_back({{id, logProb(random)}});
        segment.temperature = 0.0f;
        segment.avgLogprob = logProb(random);
        segment.compressionRatio = 1.4f;
        segment.noSpeechProb = 0.02f;
        text += segment.text;
        segments.push_back(std::move(segment));
    }
    return std::make_shared<TranscriptionResult>(text, std::move(segments), "en", sonoscribe::TranscriptionTimings(),
                                                 std::nullopt);
}

// The median of several timed runs, in seconds.
double secondsPerRun(const std::function<void()>& run) {
    run();
    std::vector<double> samples;
    for (int i = 0; i < 9; ++i) {
        auto start = std::chrono::steady_clock::now();
        run();
        samples.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::nth_element(samples.begin(), samples.begin() + 4, samples.end());
    return samples[4];
}

}  // namespace

int main() {
    auto result = hourLongResult();
    const std::string text = sonoscribe::encodeJSON(*result);
    const nlohmann::json document = nlohmann::json::parse(text);
    const double megabytes = static_cast<double>(text.size()) / 1e6;

    std::size_t sink = 0;
    double encode = secondsPerRun([&] { sink += sonoscribe::encodeJSON(*result).size(); });
    double decode = secondsPerRun([&] { sink += sonoscribe::decodeJSON<TranscriptionResult>(text)->segments().size(); });
    double dump = secondsPerRun([&] { sink += document.dump().size(); });
    double parse = secondsPerRun([&] { sink += nlohmann::json::parse(text).size(); });

    std::printf("document: %.2f MB, %zu segments (checksum %zu)\n", megabytes, result->segments().size(), sink);
    std::printf("encode_mb_per_s: %.1f\n", megabytes / encode);
    std::printf("decode_mb_per_s: %.1f\n", megabytes / decode);
    std::printf("nlohmann_dump_mb_per_s: %.1f\n", megabytes / dump);
    std::printf("nlohmann_parse_mb_per_s: %.1f\n", megabytes / parse);
    std::printf("encode_time_ratio: %.2f\n", encode / dump);
    std::printf("decode_time_ratio: %.2f\n", decode / parse);
    std::printf("round_trip_time_ratio: %.2f\n", (encode + decode) / (dump + parse));
    return 0;
}
