#include "speech/model/TranscriptionTimings.h"

namespace sonoscribe {

Json JsonCoder<TranscriptionTimings>::encode(const TranscriptionTimings& t) {
    Json object = Json::object();
    object["pipelineStart"] = json::encodeDouble(t.pipelineStart);
    object["firstTokenTime"] = json::encodeDouble(t.firstTokenTime);
    object["inputAudioSeconds"] = json::encodeDouble(t.inputAudioSeconds);
    object["modelLoading"] = json::encodeDouble(t.modelLoading);
    object["prewarmLoadTime"] = json::encodeDouble(t.prewarmLoadTime);
    object["encoderLoadTime"] = json::encodeDouble(t.encoderLoadTime);
    object["decoderLoadTime"] = json::encodeDouble(t.decoderLoadTime);
    object["encoderSpecializationTime"] = json::encodeDouble(t.encoderSpecializationTime);
    object["decoderSpecializationTime"] = json::encodeDouble(t.decoderSpecializationTime);
    object["tokenizerLoadTime"] = json::encodeDouble(t.tokenizerLoadTime);
    object["audioLoading"] = json::encodeDouble(t.audioLoading);
    object["audioProcessing"] = json::encodeDouble(t.audioProcessing);
    object["logmels"] = json::encodeDouble(t.logmels);
    object["encoding"] = json::encodeDouble(t.encoding);
    object["decodingInit"] = json::encodeDouble(t.decodingInit);
    object["decodingLoop"] = json::encodeDouble(t.decodingLoop);
    object["decodingPredictions"] = json::encodeDouble(t.decodingPredictions);
    object["decodingFiltering"] = json::encodeDouble(t.decodingFiltering);
    object["decodingSampling"] = json::encodeDouble(t.decodingSampling);
    object["decodingFallback"] = json::encodeDouble(t.decodingFallback);
    object["decodingWindowing"] = json::encodeDouble(t.decodingWindowing);
    object["decodingKvCaching"] = json::encodeDouble(t.decodingKvCaching);
    object["decodingWordTimestamps"] = json::encodeDouble(t.decodingWordTimestamps);
    object["decodingNonPrediction"] = json::encodeDouble(t.decodingNonPrediction);
    object["totalAudioProcessingRuns"] = json::encodeDouble(t.totalAudioProcessingRuns);
    object["totalLogmelRuns"] = json::encodeDouble(t.totalLogmelRuns);
    object["totalEncodingRuns"] = json::encodeDouble(t.totalEncodingRuns);
    object["totalDecodingLoops"] = json::encodeDouble(t.totalDecodingLoops);
    object["totalKVUpdateRuns"] = json::encodeDouble(t.totalKVUpdateRuns);
    object["totalTimestampAlignmentRuns"] = json::encodeDouble(t.totalTimestampAlignmentRuns);
    object["totalDecodingFallbacks"] = json::encodeDouble(t.totalDecodingFallbacks);
    object["totalDecodingWindows"] = json::encodeDouble(t.totalDecodingWindows);
    object["fullPipeline"] = json::encodeDouble(t.fullPipeline);
    return object;
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
