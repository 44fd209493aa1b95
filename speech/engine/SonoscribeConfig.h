#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mlcore/foundation/Logging.h"
#include "platform/foundation/URL.h"
#include "speech/audio/AudioInputConfig.h"
#include "speech/audio/AudioProcessing.h"
#include "speech/audio/VoiceActivityDetector.h"
#include "speech/decoding/AudioEncoder.h"
#include "speech/decoding/FeatureExtractor.h"
#include "speech/decoding/LogitsFilter.h"
#include "speech/decoding/SegmentSeeker.h"
#include "speech/decoding/TextDecoder.h"
#include "speech/model/ModelComputeOptions.h"

namespace sonoscribe {

// Everything the engine is built from. A plain holder: it checks nothing and
// fills in nothing; whatever is absent the engine chooses when it is built,
// copying what it needs, so later changes here do not reach that engine.
// Stage objects given here are shared with the engine, not copied.
class SonoscribeConfig {
public:
    virtual ~SonoscribeConfig() = default;

    // Model name (variant) to download; absent: the machine's recommended one.
    std::optional<std::string> model;
    // Hub download base; also the tokenizer folder when tokenizerFolder is absent.
    std::optional<platform::URL> downloadBase;
    // Absent: "devuziruv/sonoscribe-coreml".
    std::optional<std::string> modelRepo;
    std::optional<std::string> modelToken;
    // Absent: the hub's public endpoint.
    std::optional<std::string> modelEndpoint;
    // A local model folder: nothing is downloaded, and with load absent the
    // models are loaded.
    std::optional<std::string> modelFolder;
    std::optional<platform::URL> tokenizerFolder;
    std::optional<ModelComputeOptions> computeOptions;
    std::optional<AudioInputConfig> audioInputConfig;
    std::shared_ptr<AudioProcessing> audioProcessor;
    std::shared_ptr<FeatureExtracting> featureExtractor;
    std::shared_ptr<AudioEncoding> audioEncoder;
    std::shared_ptr<TextDecoding> textDecoder;
    // Replaces the text decoder's filters when present.
    std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters;
    std::shared_ptr<SegmentSeeking> segmentSeeker;
    std::shared_ptr<VoiceActivityDetector> voiceActivityDetector;
    // False silences the shared logger whatever logLevel says.
    bool verbose = false;
    celvan::Logging::LogLevel logLevel = celvan::Logging::LogLevel::error;
    std::optional<bool> prewarm;
    // Absent: load only when modelFolder is given.
    std::optional<bool> load;
    bool download = true;
    bool useBackgroundDownloadSession = false;
};

}  // namespace sonoscribe
