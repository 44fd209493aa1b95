#pragma once

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "mlcore/foundation/ModelState.h"
#include "platform/concurrency/Progress.h"
#include "platform/foundation/URL.h"
#include "speech/engine/ModelHub.h"
#include "speech/audio/AudioChunking.h"
#include "speech/audio/Result.h"
#include "speech/engine/SonoscribeConfig.h"
#include "speech/engine/TranscribeTask.h"
#include "speech/model/ModelVariant.h"
#include "speech/model/TranscriptionProgress.h"
#include "speech/model/TranscriptionTimings.h"

namespace sonoscribe {

using ModelStateCallback = std::function<void(std::optional<celvan::ModelState>, celvan::ModelState)>;
using TranscriptionStateCallback = std::function<void(TranscriptionState)>;

// The language of some audio and the log-probabilities behind the choice.
struct DetectedLanguage {
    std::string language;
    std::map<std::string, float> langProbs;
};

// The engine: built from a configuration, it fills in the pipeline stages,
// finds or downloads the model folder, loads the three stage models and the
// tokenizer, and transcribes files, sample arrays and batches. Construction
// goes through create(), which then runs the overridable set-up steps, so a
// subclass that replaces one of them changes construction too.
class Sonoscribe : public SonoscribeModelHub, public std::enable_shared_from_this<Sonoscribe> {
public:
    static constexpr int64_t sampleRate = 16000;
    static constexpr int64_t hopLength = 160;
    static constexpr float secondsPerTimeToken = 0.02f;
    // Where models come from when the configuration names no repository.
    static constexpr const char* defaultModelRepository = "devuziruv/sonoscribe-coreml";

    // Builds the engine and runs its set-up; throws the first error of
    // setupModels, prewarmModels or loadModels.
    template <class Engine = Sonoscribe, class... Arguments>
    static std::shared_ptr<Engine> create(const SonoscribeConfig& config, Arguments&&... arguments) {
        std::shared_ptr<Engine> engine(new Engine(config, std::forward<Arguments>(arguments)...));
        engine->initialize(config);
        return engine;
    }

    virtual ~Sonoscribe();
    Sonoscribe(const Sonoscribe&) = delete;
    Sonoscribe& operator=(const Sonoscribe&) = delete;

    virtual ModelVariant modelVariant() const { return modelVariant_; }
    virtual celvan::ModelState modelState() const { return modelState_.load(); }
    virtual const ModelComputeOptions& modelCompute() const { return modelCompute_; }
    virtual void setModelCompute(ModelComputeOptions options) { modelCompute_ = options; }
    virtual const AudioInputConfig& audioInputConfig() const { return audioInputConfig_; }
    virtual void setAudioInputConfig(AudioInputConfig config) { audioInputConfig_ = std::move(config); }
    virtual std::shared_ptr<const WhisperTokenizer> tokenizer() const;
    // Also hands the tokenizer to the text decoder.
    virtual void setTokenizer(std::shared_ptr<const WhisperTokenizer> tokenizer);
    virtual std::shared_ptr<AudioProcessing> audioProcessor() const { return audioProcessor_; }
    virtual void setAudioProcessor(std::shared_ptr<AudioProcessing> processor) { audioProcessor_ = std::move(processor); }
    virtual std::shared_ptr<FeatureExtracting> featureExtractor() const { return featureExtractor_; }
    virtual void setFeatureExtractor(std::shared_ptr<FeatureExtracting> stage) { featureExtractor_ = std::move(stage); }
    virtual std::shared_ptr<AudioEncoding> audioEncoder() const { return audioEncoder_; }
    virtual void setAudioEncoder(std::shared_ptr<AudioEncoding> stage) { audioEncoder_ = std::move(stage); }
    virtual std::shared_ptr<TextDecoding> textDecoder() const { return textDecoder_; }
    virtual void setTextDecoder(std::shared_ptr<TextDecoding> stage) { textDecoder_ = std::move(stage); }
    virtual std::shared_ptr<SegmentSeeking> segmentSeeker() const { return segmentSeeker_; }
    virtual void setSegmentSeeker(std::shared_ptr<SegmentSeeking> stage) { segmentSeeker_ = std::move(stage); }
    virtual std::shared_ptr<VoiceActivityDetector> voiceActivityDetector() const { return voiceActivityDetector_; }
    virtual void setVoiceActivityDetector(std::shared_ptr<VoiceActivityDetector> detector) {
        voiceActivityDetector_ = std::move(detector);
    }
    virtual TranscriptionTimings currentTimings() const;
    virtual std::shared_ptr<platform::Progress> progress() const;
    virtual std::optional<platform::URL> modelFolder() const { return modelFolder_; }
    virtual void setModelFolder(std::optional<platform::URL> folder) { modelFolder_ = std::move(folder); }
    virtual std::optional<platform::URL> tokenizerFolder() const { return tokenizerFolder_; }
    virtual void setTokenizerFolder(std::optional<platform::URL> folder) { tokenizerFolder_ = std::move(folder); }
    virtual bool useBackgroundDownloadSession() const { return useBackgroundDownloadSession_; }
    virtual SegmentDiscoveryCallback segmentDiscoveryCallback() const;
    virtual void setSegmentDiscoveryCallback(SegmentDiscoveryCallback callback);
    virtual ModelStateCallback modelStateCallback() const;
    virtual void setModelStateCallback(ModelStateCallback callback);
    virtual TranscriptionStateCallback transcriptionStateCallback() const;
    virtual void setTranscriptionStateCallback(TranscriptionStateCallback callback);

    virtual void setupModels(const std::optional<std::string>& model, const std::optional<platform::URL>& downloadBase,
                             const std::optional<std::string>& modelRepo, const std::optional<std::string>& modelToken,
                             const std::optional<std::string>& modelFolder, bool download,
                             const std::string& remoteConfigName, const std::string& endpoint);
    virtual void prewarmModels();
    virtual void loadModels(bool prewarmMode = false);
    virtual void loadTokenizerIfNeeded();
    virtual void unloadModels();
    // Stops recording and resets the timings.
    virtual void clearState();
    virtual void loggingCallback(celvan::Logging::Callback callback);

    virtual DetectedLanguage detectLanguage(const std::string& audioPath);
    virtual DetectedLanguage detectLangauge(const std::vector<float>& audioArray);

    // The multi-input forms never throw: one entry per input, in input order.
    virtual std::vector<std::optional<TranscriptionResults>> transcribe(
        const std::vector<std::string>& audioPaths, const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
        const TranscriptionCallback& callback = {});
    virtual std::vector<Result<TranscriptionResults>> transcribeWithResults(
        const std::vector<std::string>& audioPaths, const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
        const TranscriptionCallback& callback = {});
    virtual std::vector<std::optional<TranscriptionResults>> transcribe(
        const std::vector<std::vector<float>>& audioArrays,
        const std::optional<DecodingOptions>& decodeOptions = std::nullopt, const TranscriptionCallback& callback = {});
    virtual std::vector<Result<TranscriptionResults>> transcribeWithResults(
        const std::vector<std::vector<float>>& audioArrays,
        const std::optional<DecodingOptions>& decodeOptions = std::nullopt, const TranscriptionCallback& callback = {});
    virtual std::vector<Result<TranscriptionResults>> transcribeWithOptions(
        const std::vector<std::vector<float>>& audioArrays,
        const std::vector<std::optional<DecodingOptions>>& decodeOptionsArray,
        const std::optional<std::vector<int64_t>>& seekOffsets = std::nullopt,
        const TranscriptionCallback& callback = {});
    virtual TranscriptionResults transcribe(const std::string& audioPath,
                                            const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
                                            const TranscriptionCallback& callback = {});
    virtual TranscriptionResults transcribe(const std::vector<float>& audioArray,
                                            const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
                                            const TranscriptionCallback& callback = {},
                                            const SegmentDiscoveryCallback& segmentCallback = {});
    virtual std::shared_ptr<TranscribeTask> setupTranscribeTask(
        const TranscriptionTimings& currentTimings, std::shared_ptr<platform::Progress> progress,
        std::shared_ptr<AudioProcessing> audioProcessor, std::shared_ptr<AudioEncoding> audioEncoder,
        std::shared_ptr<FeatureExtracting> featureExtractor, std::shared_ptr<SegmentSeeking> segmentSeeker,
        std::shared_ptr<TextDecoding> textDecoder, std::shared_ptr<const WhisperTokenizer> tokenizer);
    virtual TranscriptionResults runTranscribeTask(const std::vector<float>& audioArray,
                                                   const std::optional<DecodingOptions>& decodeOptions,
                                                   const TranscriptionCallback& callback,
                                                   const SegmentDiscoveryCallback& segmentCallback);

protected:
    // Fills in the stages and settings; the models are set up by initialize.
    explicit Sonoscribe(const SonoscribeConfig& config);
    virtual void initialize(const SonoscribeConfig& config);

    void setModelState(celvan::ModelState state);
    // Told of every progress report while setupModels downloads the model, on
    // whichever thread the hub client reports; does nothing by default.
    virtual void reportDownloadProgress(const platform::Progress& progress);
    void setCurrentTimings(const TranscriptionTimings& timings);
    void modifyCurrentTimings(const std::function<void(TranscriptionTimings&)>& change);

private:
    // Loads the models unless they are loaded; concurrent callers share one
    // load and its outcome.
    void loadModelsIfNeeded();
    // The mel stage's window, read while no load or unload replaces the
    // stage's model.
    int64_t melWindowSamples() const;
    void setProgress(std::shared_ptr<platform::Progress> progress);

    template <class Value>
    Value guarded(const Value& field) const {
        std::lock_guard lock(stateMutex_);
        return field;
    }
    template <class Value>
    void setGuarded(Value& field, Value value) {
        std::lock_guard lock(stateMutex_);
        field = std::move(value);
    }

    ModelVariant modelVariant_ = ModelVariant::tiny;
    std::atomic<celvan::ModelState> modelState_{celvan::ModelState::unloaded};
    ModelComputeOptions modelCompute_;
    AudioInputConfig audioInputConfig_;
    std::shared_ptr<const WhisperTokenizer> tokenizer_;
    std::shared_ptr<AudioProcessing> audioProcessor_;
    std::shared_ptr<FeatureExtracting> featureExtractor_;
    std::shared_ptr<AudioEncoding> audioEncoder_;
    std::shared_ptr<TextDecoding> textDecoder_;
    std::shared_ptr<SegmentSeeking> segmentSeeker_;
    std::shared_ptr<VoiceActivityDetector> voiceActivityDetector_;
    std::optional<platform::URL> modelFolder_;
    std::optional<platform::URL> tokenizerFolder_;
    bool useBackgroundDownloadSession_ = false;

    // Timings, progress and callbacks are read by the children of a batch
    // while the caller may replace them.
    mutable std::mutex stateMutex_;
    TranscriptionTimings currentTimings_;
    std::shared_ptr<platform::Progress> progress_;
    SegmentDiscoveryCallback segmentDiscoveryCallback_;
    ModelStateCallback modelStateCallback_;
    TranscriptionStateCallback transcriptionStateCallback_;

    // Held exclusively while a stage's model is replaced, so that a caller
    // that reads a stage before loading does not race the load.
    mutable std::shared_mutex stageModelsMutex_;
    std::mutex loadMutex_;
    std::condition_variable loadFinished_;
    bool loadInFlight_ = false;
    uint64_t loadGeneration_ = 0;
    std::exception_ptr lastLoadError_;
};

}  // namespace sonoscribe
