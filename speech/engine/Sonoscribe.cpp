#include "speech/engine/Sonoscribe.h"

#include <cstdio>

#include "mlcore/hub/HubWrapper.h"
#include "platform/concurrency/CancellationError.h"
#include "platform/concurrency/ThreadPool.h"
#include "platform/foundation/FileManager.h"
#include "speech/audio/AudioProcessor.h"
#include "speech/decoding/AbsoluteTime.h"
#include "speech/engine/ModelUtilities.h"
#include "speech/model/Constants.h"
#include "speech/model/Signposts.h"
#include "speech/model/WhisperError.h"
#include "speech/model/WhisperMLModel.h"

namespace sonoscribe {
namespace {

std::string twoDecimals(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

}  // namespace

Sonoscribe::Sonoscribe(const SonoscribeConfig& config)
    : modelCompute_(config.computeOptions.value_or(ModelComputeOptions())),
      audioInputConfig_(config.audioInputConfig.value_or(AudioInputConfig())),
      audioProcessor_(config.audioProcessor ? config.audioProcessor : std::make_shared<AudioProcessor>()),
      featureExtractor_(config.featureExtractor ? config.featureExtractor : std::make_shared<FeatureExtractor>()),
      audioEncoder_(config.audioEncoder ? config.audioEncoder : std::make_shared<AudioEncoder>()),
      textDecoder_(config.textDecoder ? config.textDecoder : std::make_shared<TextDecoder>()),
      segmentSeeker_(config.segmentSeeker ? config.segmentSeeker : std::make_shared<SegmentSeeker>()),
      voiceActivityDetector_(config.voiceActivityDetector),
      tokenizerFolder_(config.tokenizerFolder ? config.tokenizerFolder : config.downloadBase),
      useBackgroundDownloadSession_(config.useBackgroundDownloadSession),
      progress_(platform::Progress::create(0)) {
    if (config.logitsFilters) textDecoder_->setLogitsFilters(*config.logitsFilters);
    Logging::updateLogLevel(config.verbose ? config.logLevel : celvan::Logging::LogLevel::none);
}

void Sonoscribe::initialize(const SonoscribeConfig& config) {
    const std::string endpoint = config.modelEndpoint.value_or(std::string(Constants::defaultRemoteEndpoint));
    setupModels(config.model, config.downloadBase, config.modelRepo, config.modelToken, config.modelFolder,
                config.download, std::string(Constants::defaultRemoteConfigName), endpoint);
    if (config.prewarm.value_or(false)) {
        Logging::info("Prewarming models...");
        prewarmModels();
    }
    if (config.load.value_or(config.modelFolder.has_value())) {
        Logging::info("Loading models...");
        loadModels(false);
    }
}

Sonoscribe::~Sonoscribe() {
    if (audioProcessor_) audioProcessor_->stopRecording();
}

std::shared_ptr<const WhisperTokenizer> Sonoscribe::tokenizer() const { return tokenizer_; }

void Sonoscribe::setTokenizer(std::shared_ptr<const WhisperTokenizer> tokenizer) {
    tokenizer_ = tokenizer;
    textDecoder_->setTokenizer(std::move(tokenizer));
}

TranscriptionTimings Sonoscribe::currentTimings() const { return guarded(currentTimings_); }
void Sonoscribe::setCurrentTimings(const TranscriptionTimings& timings) { setGuarded(currentTimings_, timings); }

void Sonoscribe::modifyCurrentTimings(const std::function<void(TranscriptionTimings&)>& change) {
    std::lock_guard lock(stateMutex_);
    change(currentTimings_);
}

std::shared_ptr<platform::Progress> Sonoscribe::progress() const { return guarded(progress_); }
void Sonoscribe::setProgress(std::shared_ptr<platform::Progress> progress) { setGuarded(progress_, std::move(progress)); }

SegmentDiscoveryCallback Sonoscribe::segmentDiscoveryCallback() const { return guarded(segmentDiscoveryCallback_); }
void Sonoscribe::setSegmentDiscoveryCallback(SegmentDiscoveryCallback callback) {
    setGuarded(segmentDiscoveryCallback_, std::move(callback));
}

ModelStateCallback Sonoscribe::modelStateCallback() const { return guarded(modelStateCallback_); }
void Sonoscribe::setModelStateCallback(ModelStateCallback callback) {
    setGuarded(modelStateCallback_, std::move(callback));
}

TranscriptionStateCallback Sonoscribe::transcriptionStateCallback() const {
    return guarded(transcriptionStateCallback_);
}
void Sonoscribe::setTranscriptionStateCallback(TranscriptionStateCallback callback) {
    setGuarded(transcriptionStateCallback_, std::move(callback));
}

void Sonoscribe::setModelState(celvan::ModelState state) {
    const celvan::ModelState old = modelState_.exchange(state);
    if (const ModelStateCallback callback = modelStateCallback()) callback(old, state);
}

void Sonoscribe::setupModels(const std::optional<std::string>& model, const std::optional<platform::URL>& downloadBase,
                             const std::optional<std::string>& modelRepo, const std::optional<std::string>& modelToken,
                             const std::optional<std::string>& modelFolder, bool download,
                             const std::string& remoteConfigName, const std::string& endpoint) {
    if (modelFolder) {
        modelFolder_ = platform::URL::fileURLWithPath(*modelFolder);
        return;
    }
    if (!download) return;
    const std::string repo = modelRepo.value_or(defaultModelRepository);
    const std::string variant =
        model ? *model
              : fetchModelSupportConfig(repo, downloadBase, modelToken, remoteConfigName, endpoint)
                    .modelSupport(deviceName())
                    .defaultModel();
    try {
        modelFolder_ = Sonoscribe::download(
            variant, downloadBase, useBackgroundDownloadSession_, repo, modelToken, endpoint,
            [this](const platform::Progress& progress) { reportDownloadProgress(progress); });
    } catch (const platform::CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        throw WhisperError::modelsUnavailable(
            std::string("Model not found. Please check the model or repo name and try again.\nError: ") + error.what());
    }
}

void Sonoscribe::reportDownloadProgress(const platform::Progress&) {}

void Sonoscribe::prewarmModels() { loadModels(true); }

void Sonoscribe::loadModels(bool prewarmMode) {
    setModelState(prewarmMode ? celvan::ModelState::prewarming : celvan::ModelState::loading);
    const double start = currentAbsoluteTime();
    if (!modelFolder_) throw WhisperError::modelsUnavailable("Model folder is not set.");
    const platform::URL folder = *modelFolder_;
    Logging::debug("Loading models from " + folder.path() + " with prewarmMode: " + (prewarmMode ? "true" : "false"));

    const platform::URL melURL = ModelUtilities::detectModelURL(folder, "MelSpectrogram");
    const platform::URL encoderURL = ModelUtilities::detectModelURL(folder, "AudioEncoder");
    const platform::URL decoderURL = ModelUtilities::detectModelURL(folder, "TextDecoder");
    for (const platform::URL& url : {melURL, encoderURL, decoderURL}) {
        if (!platform::FileManager::fileExists(url.path())) {
            throw WhisperError::modelsUnavailable("Model file not found at " + url.path());
        }
    }

    if (auto* mel = dynamic_cast<WhisperMLModel*>(featureExtractor_.get())) {
        Logging::debug("Loading feature extractor");
        {
            const std::unique_lock replacing(stageModelsMutex_);
            mel->loadModel(melURL, modelCompute_.melCompute, prewarmMode);
        }
        Logging::debug("Loaded feature extractor");
    }
    // The decoder before the encoder; each load's time goes to its own field.
    const auto loadTimed = [&](WhisperMLModel* stage, const std::string& name, const platform::URL& url,
                               platform::MLComputeUnits units, double TranscriptionTimings::*specialization,
                               double TranscriptionTimings::*load) {
        if (!stage) return;
        Logging::debug("Loading " + name);
        const double stageStart = currentAbsoluteTime();
        {
            const std::unique_lock replacing(stageModelsMutex_);
            stage->loadModel(url, units, prewarmMode);
        }
        const double seconds = currentAbsoluteTime() - stageStart;
        modifyCurrentTimings([&](TranscriptionTimings& timings) { timings.*(prewarmMode ? specialization : load) = seconds; });
        Logging::debug("Loaded " + name + " in " + twoDecimals(seconds) + "s");
    };
    loadTimed(dynamic_cast<WhisperMLModel*>(textDecoder_.get()), "text decoder", decoderURL,
              modelCompute_.textDecoderCompute, &TranscriptionTimings::decoderSpecializationTime,
              &TranscriptionTimings::decoderLoadTime);
    loadTimed(dynamic_cast<WhisperMLModel*>(audioEncoder_.get()), "audio encoder", encoderURL,
              modelCompute_.audioEncoderCompute, &TranscriptionTimings::encoderSpecializationTime,
              &TranscriptionTimings::encoderLoadTime);

    if (prewarmMode) {
        setModelState(celvan::ModelState::prewarmed);
        modifyCurrentTimings(
            [&](TranscriptionTimings& timings) { timings.prewarmLoadTime = currentAbsoluteTime() - start; });
        return;
    }
    loadTokenizerIfNeeded();
    setModelState(celvan::ModelState::loaded);
    double modelLoading = 0;
    modifyCurrentTimings([&](TranscriptionTimings& timings) {
        timings.modelLoading = currentAbsoluteTime() - start + timings.prewarmLoadTime;
        modelLoading = timings.modelLoading;
    });
    Logging::info("Loaded models for whisper size: " + std::string(description(modelVariant_)) + " in " +
                  twoDecimals(modelLoading) + "s");
}

void Sonoscribe::loadTokenizerIfNeeded() {
    if (tokenizer_) {
        Logging::debug("Tokenizer already exists on Sonoscribe, skipping load");
        return;
    }
    const std::optional<int64_t> logitsSize = textDecoder_->logitsSize();
    if (!logitsSize) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
    const std::optional<int64_t> embedSize = audioEncoder_->embedSize();
    if (!embedSize) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
    textDecoder_->setIsModelMultilingual(*logitsSize != 51864);
    modelVariant_ = ModelUtilities::detectVariant(*logitsSize, *embedSize);
    Logging::debug("Loading tokenizer for " + std::string(description(modelVariant_)));
    const double start = currentAbsoluteTime();

    std::vector<platform::URL> searchPaths;
    if (modelFolder_) {
        searchPaths.push_back(*modelFolder_);
        const celvan::HubApiWrapper hubApi(*modelFolder_, std::nullopt, std::nullopt, false);
        searchPaths.push_back(hubApi.localRepoLocation(
            {ModelUtilities::tokenizerNameForVariant(modelVariant_), celvan::HubApiWrapper::RepoType::models}));
    }
    auto loaded = ModelUtilities::loadTokenizer(modelVariant_, tokenizerFolder_, searchPaths,
                                                useBackgroundDownloadSession_);
    double seconds = currentAbsoluteTime() - start;
    modifyCurrentTimings([&](TranscriptionTimings& timings) { timings.tokenizerLoadTime = seconds; });
    setTokenizer(std::move(loaded));
    Logging::debug("Loaded tokenizer in " + twoDecimals(seconds) + "s");
}

void Sonoscribe::unloadModels() {
    setModelState(celvan::ModelState::unloading);
    for (WhisperMLModel* stage : {dynamic_cast<WhisperMLModel*>(featureExtractor_.get()),
                                  dynamic_cast<WhisperMLModel*>(audioEncoder_.get()),
                                  dynamic_cast<WhisperMLModel*>(textDecoder_.get())}) {
        if (!stage) continue;
        const std::unique_lock replacing(stageModelsMutex_);
        stage->unloadModel();
    }
    setModelState(celvan::ModelState::unloaded);
    Logging::info("Unloaded all models");
}

void Sonoscribe::clearState() {
    audioProcessor_->stopRecording();
    setCurrentTimings(TranscriptionTimings());
}

void Sonoscribe::loggingCallback(celvan::Logging::Callback callback) { Logging::updateCallback(std::move(callback)); }

int64_t Sonoscribe::melWindowSamples() const {
    const std::shared_lock reading(stageModelsMutex_);
    return windowSamplesOrDefault(*featureExtractor());
}

void Sonoscribe::loadModelsIfNeeded() {
    std::unique_lock lock(loadMutex_);
    const uint64_t generation = loadGeneration_;
    if (loadInFlight_) {
        platform::ThreadPool::BlockingScope blocking;
        loadFinished_.wait(lock, [&] { return loadGeneration_ != generation; });
        if (lastLoadError_) std::rethrow_exception(lastLoadError_);
        return;
    }
    if (modelState() == celvan::ModelState::loaded) return;
    loadInFlight_ = true;
    lock.unlock();
    std::exception_ptr error;
    try {
        loadModels(false);
    } catch (...) {
        error = std::current_exception();
    }
    lock.lock();
    loadInFlight_ = false;
    lastLoadError_ = error;
    ++loadGeneration_;
    lock.unlock();
    loadFinished_.notify_all();
    if (error) std::rethrow_exception(error);
}

}  // namespace sonoscribe
