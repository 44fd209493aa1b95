#include "speech/model/TimingReport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "mlcore/foundation/Logging.h"
#include "platform/foundation/NumberFormatting.h"

namespace sonoscribe {
namespace {

// printf shows the sign of a NaN ("-nan" for 0/0 on this hardware); a
// report reads "nan" whatever the division produced.
std::string format(const char* pattern, double value) {
    if (std::isnan(value)) value = std::fabs(value);
    char buffer[64];
    int length = std::snprintf(buffer, sizeof buffer, pattern, value);
    return std::string(buffer, static_cast<std::size_t>(std::max(length, 0)));
}

std::string padded(std::string label, std::size_t width) {
    if (label.size() < width) label.append(width - label.size(), ' ');
    return label;
}

}  // namespace

std::string timingReport(const TranscriptionTimings& t, int64_t totalTokens) {
    // The larger of the two, and fullPipeline when either is NaN.
    double fullMs = (t.fullPipeline <= t.decodingLoop ? t.decodingLoop : t.fullPipeline) * 1000;

    std::string report = "---- Transcription Timings ----";
    auto stage = [&](const char* label, double time, double runs) {
        report += '\n';
        report += padded(label, 21);
        report += celvan::Logging::formatTimeWithPercentage(time, runs, fullMs);
    };
    auto figure = [&](const char* label, const std::string& value) {
        report += '\n';
        report += padded(label, 31);
        report += value;
    };
    auto seconds = [](double value) { return format("%.2f", value) + " seconds"; };

    stage("Audio Load:", t.audioLoading, 1);
    stage("Audio Processing:", t.audioProcessing, t.totalAudioProcessingRuns);
    stage("Mels:", t.logmels, t.totalLogmelRuns);
    stage("Encoding:", t.encoding, t.totalEncodingRuns);
    stage("Matrices Init:", t.decodingInit, 1);
    stage("Decoding:", t.decodingPredictions, t.totalDecodingLoops);
    stage("Non-inference:", t.decodingNonPrediction, t.totalDecodingLoops);
    stage("- Logit Filtering:", t.decodingFiltering, t.totalDecodingLoops);
    stage("- Sampling:", t.decodingSampling, t.totalDecodingLoops);
    stage("- Kv Caching:", t.decodingKvCaching, t.totalKVUpdateRuns);
    stage("- Word Timestamps:", t.decodingWordTimestamps, t.totalTimestampAlignmentRuns);
    stage("- Windowing:", t.decodingWindowing - t.decodingWordTimestamps, t.totalDecodingWindows);
    stage("Fallbacks:", t.decodingFallback, t.totalDecodingFallbacks);
    stage("Decoding Full Loop:", t.decodingLoop, t.totalDecodingLoops);
    report += "\n-------------------------------";
    figure("Model Load Time:", seconds(t.modelLoading));
    figure("- Prewarm:", seconds(t.prewarmLoadTime));
    figure("- Encoder:", seconds(t.encoderLoadTime));
    figure("- Decoder:", seconds(t.decoderLoadTime));
    figure("- Tokenizer:", seconds(t.tokenizerLoadTime));
    figure("Inference Duration (Global):", seconds(t.fullPipeline));
    figure("- Decoding Loop (Avg/window):", seconds(t.decodingLoop / t.totalAudioProcessingRuns));
    figure("- Audio Windows:", format("%.2f", t.totalAudioProcessingRuns));
    figure("Time to first token:", seconds(t.firstTokenTime - t.pipelineStart));
    figure("Total Tokens:", std::to_string(totalTokens));
    figure("Tokens per Second:", format("%.2f", t.totalDecodingLoops / t.fullPipeline) + " tok/s");
    figure("Real Time Factor:", format("%.3f", t.fullPipeline / t.inputAudioSeconds));
    figure("Speed Factor:", format("%.3f", 1 / (t.fullPipeline / t.inputAudioSeconds)));
    figure("Fallbacks:", platform::description(t.totalDecodingFallbacks));
    return report;
}

}  // namespace sonoscribe
