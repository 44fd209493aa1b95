#include "speech/model/TranscriptionTimings.h"

namespace sonoscribe {

void JsonCoder<TranscriptionTimings>::encode(JsonWriter& writer, const TranscriptionTimings& t) {
    writer.beginObject();
    writer.field("pipelineStart", t.pipelineStart);
    writer.field("firstTokenTime", t.firstTokenTime);
    writer.field("inputAudioSeconds", t.inputAudioSeconds);
    writer.field("modelLoading", t.modelLoading);
    writer.field("prewarmLoadTime", t.prewarmLoadTime);
    writer.field("encoderLoadTime", t.encoderLoadTime);
    writer.field("decoderLoadTime", t.decoderLoadTime);
    writer.field("encoderSpecializationTime", t.encoderSpecializationTime);
    writer.field("decoderSpecializationTime", t.decoderSpecializationTime);
    writer.field("tokenizerLoadTime", t.tokenizerLoadTime);
    writer.field("audioLoading", t.audioLoading);
    writer.field("audioProcessing", t.audioProcessing);
    writer.field("logmels", t.logmels);
    writer.field("encoding", t.encoding);
    writer.field("decodingInit", t.decodingInit);
    writer.field("decodingLoop", t.decodingLoop);
    writer.field("decodingPredictions", t.decodingPredictions);
    writer.field("decodingFiltering", t.decodingFiltering);
    writer.field("decodingSampling", t.decodingSampling);
    writer.field("decodingFallback", t.decodingFallback);
    writer.field("decodingWindowing", t.decodingWindowing);
    writer.field("decodingKvCaching", t.decodingKvCaching);
    writer.field("decodingWordTimestamps", t.decodingWordTimestamps);
    writer.field("decodingNonPrediction", t.decodingNonPrediction);
    writer.field("totalAudioProcessingRuns", t.totalAudioProcessingRuns);
    writer.field("totalLogmelRuns", t.totalLogmelRuns);
    writer.field("totalEncodingRuns", t.totalEncodingRuns);
    writer.field("totalDecodingLoops", t.totalDecodingLoops);
    writer.field("totalKVUpdateRuns", t.totalKVUpdateRuns);
    writer.field("totalTimestampAlignmentRuns", t.totalTimestampAlignmentRuns);
    writer.field("totalDecodingFallbacks", t.totalDecodingFallbacks);
    writer.field("totalDecodingWindows", t.totalDecodingWindows);
    writer.field("fullPipeline", t.fullPipeline);
    writer.endObject();
}

TranscriptionTimings JsonCoder<TranscriptionTimings>::decode(const Json& value, const CodingPath& path) {
    json::ObjectReader object(value, path, "TranscriptionTimings");
    auto field = [&](const char* key) { return object.required(key, json::decodeDouble); };
    TranscriptionTimings t;
    t.pipelineStart = field("pipelineStart");
    t.firstTokenTime = field("firstTokenTime");
    t.inputAudioSeconds = field("inputAudioSeconds");
    t.modelLoading = field("modelLoading");
    t.prewarmLoadTime = field("prewarmLoadTime");
    t.encoderLoadTime = field("encoderLoadTime");
    t.decoderLoadTime = field("decoderLoadTime");
    t.encoderSpecializationTime = field("encoderSpecializationTime");
    t.decoderSpecializationTime = field("decoderSpecializationTime");
    t.tokenizerLoadTime = field("tokenizerLoadTime");
    t.audioLoading = field("audioLoading");
    t.audioProcessing = field("audioProcessing");
    t.logmels = field("logmels");
    t.encoding = field("encoding");
    t.decodingInit = field("decodingInit");
    t.decodingLoop = field("decodingLoop");
    t.decodingPredictions = field("decodingPredictions");
    t.decodingFiltering = field("decodingFiltering");
    t.decodingSampling = field("decodingSampling");
    t.decodingFallback = field("decodingFallback");
    t.decodingWindowing = field("decodingWindowing");
    t.decodingKvCaching = field("decodingKvCaching");
    t.decodingWordTimestamps = field("decodingWordTimestamps");
    t.decodingNonPrediction = field("decodingNonPrediction");
    t.totalAudioProcessingRuns = field("totalAudioProcessingRuns");
    t.totalLogmelRuns = field("totalLogmelRuns");
    t.totalEncodingRuns = field("totalEncodingRuns");
    t.totalDecodingLoops = field("totalDecodingLoops");
    t.totalKVUpdateRuns = field("totalKVUpdateRuns");
    t.totalTimestampAlignmentRuns = field("totalTimestampAlignmentRuns");
    t.totalDecodingFallbacks = field("totalDecodingFallbacks");
    t.totalDecodingWindows = field("totalDecodingWindows");
    t.fullPipeline = field("fullPipeline");
    return t;
}

}  // namespace sonoscribe
