#pragma once

#include <limits>

#include "speech/model/JsonCoding.h"

namespace sonoscribe {

// How long each stage of one transcription run took and how often it ran.
// Durations are seconds; counts are whole numbers kept as doubles so they
// divide without casts. pipelineStart and firstTokenTime are time points of
// which only the difference means anything; until a run sets them they are
// equal, so the time to the first token reads 0.
struct TranscriptionTimings {
    double pipelineStart = std::numeric_limits<double>::max();
    double firstTokenTime = std::numeric_limits<double>::max();
    double inputAudioSeconds = 0.001;
    double modelLoading = 0;
    double prewarmLoadTime = 0;
    double encoderLoadTime = 0;
    double decoderLoadTime = 0;
    double encoderSpecializationTime = 0;
    double decoderSpecializationTime = 0;
    double tokenizerLoadTime = 0;
    double audioLoading = 0;
    double audioProcessing = 0;
    double logmels = 0;
    double encoding = 0;
    double decodingInit = 0;
    double decodingLoop = 0;
    double decodingPredictions = 0;
    double decodingFiltering = 0;
    double decodingSampling = 0;
    double decodingFallback = 0;
    double decodingWindowing = 0;
    double decodingKvCaching = 0;
    double decodingWordTimestamps = 0;
    double decodingNonPrediction = 0;
    double totalAudioProcessingRuns = 0;
    double totalLogmelRuns = 0;
    double totalEncodingRuns = 0;
    double totalDecodingLoops = 0;
    double totalKVUpdateRuns = 0;
    double totalTimestampAlignmentRuns = 0;
    double totalDecodingFallbacks = 0;
    double totalDecodingWindows = 0;
    double fullPipeline = 0;

    // Plain IEEE division: a zero divisor gives an infinity or a NaN.
    double tokensPerSecond() const { return totalDecodingLoops / fullPipeline; }
    double realTimeFactor() const { return fullPipeline / inputAudioSeconds; }
    double speedFactor() const { return inputAudioSeconds / fullPipeline; }

    bool operator==(const TranscriptionTimings&) const = default;
};

template <>
struct JsonCoder<TranscriptionTimings> {
    static void encode(JsonWriter& writer, const TranscriptionTimings& timings);
    static TranscriptionTimings decode(const Json& value, const CodingPath& path);
};

}  // namespace sonoscribe
