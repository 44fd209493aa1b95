#include "speech/audio/AudioProcessor.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "mlcore/foundation/ConcurrencyUtilities.h"
#include "mlcore/foundation/Logging.h"
#include "platform/audio/BufferFeed.h"
#include "platform/foundation/NumberFormatting.h"
#include "speech/model/WhisperError.h"

namespace sonoscribe {

using celvan::Logging;
using platform::audio::AVAudioFormat;

namespace {

// Held shared so the capture thread takes it for a buffer without copying
// what it holds.
std::shared_ptr<const AudioBufferCallback> shareCallback(AudioBufferCallback callback) {
    return callback ? std::make_shared<const AudioBufferCallback>(std::move(callback)) : nullptr;
}

std::vector<float> relativeValues(const ChunkedStore<AudioEnergy>::Range& records) {
    std::vector<float> rel;
    rel.reserve(records.size());
    records.forEach([&](const AudioEnergy* energy, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) rel.push_back(energy[i].rel);
    });
    return rel;
}

// From ..< to as store positions, clamped to a store of `size` values.
std::pair<std::size_t, std::size_t> clampedRange(int64_t from, int64_t to, std::size_t size) {
    const auto end = static_cast<std::size_t>(std::clamp<int64_t>(to, 0, static_cast<int64_t>(size)));
    return {static_cast<std::size_t>(std::clamp<int64_t>(from, 0, static_cast<int64_t>(end))), end};
}

std::string describe(const AudioEnergy& energy) {
    return "(rel: " + platform::description(energy.rel) + ", avg: " + platform::description(energy.avg) +
           ", max: " + platform::description(energy.max) + ", min: " + platform::description(energy.min) + ")";
}

}  // namespace

// One capture's converter and the buffers every tapped buffer passes
// through, kept from buffer to buffer so that the tap thread allocates
// nothing once it runs.
struct AudioProcessor::CaptureConversion {
    std::unique_ptr<AVAudioConverter> converter;
    std::shared_ptr<AVAudioPCMBuffer> converted;
    std::vector<float> samples;

    // The tapped buffer as 16 kHz mono, until the next call. Throws
    // WhisperError when it cannot be resampled.
    std::vector<float>& convert(AVAudioPCMBuffer& tapped) {
        if (tapped.format().sampleRate == 16000) {
            convertBufferToArray(tapped, 1024, samples);
        } else {
            resampleBuffer(tapped, *converter, converted);
            convertBufferToArray(*converted, 1024, samples);
        }
        return samples;
    }

    // The frames the resampler holds back for the filter's look-ahead, once
    // no more input will come.
    std::vector<float> flush() {
        const auto tail = AVAudioPCMBuffer::create(converter->outputFormat(),
                                                   std::max<uint32_t>(converter->maximumOutputFrames(0), 1));
        if (!tail) return {};
        converter->convert(*tail, nullptr, platform::audio::BufferFeed(nullptr, true));
        return convertBufferToArray(*tail, 1024);
    }
};

AudioProcessor::~AudioProcessor() { tearDown(audioEngine()); }

std::shared_ptr<AudioProcessor::AVAudioEngine> AudioProcessor::audioEngine() const {
    std::lock_guard lock(mutex_);
    return audioEngine_;
}

void AudioProcessor::setAudioEngine(std::shared_ptr<AVAudioEngine> engine) {
    std::lock_guard lock(mutex_);
    audioEngine_ = std::move(engine);
}

std::vector<float> AudioProcessor::audioSamples() const {
    std::unique_lock lock(mutex_);
    const ChunkedStore<float>::Range samples = audioSamples_.all();
    lock.unlock();
    return samples.values();
}

int64_t AudioProcessor::audioSampleCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<int64_t>(audioSamples_.size());
}

std::vector<float> AudioProcessor::audioSampleRange(int64_t from, int64_t to) const {
    std::unique_lock lock(mutex_);
    const auto [first, end] = clampedRange(from, to, audioSamples_.size());
    const ChunkedStore<float>::Range samples = audioSamples_.range(first, end);
    lock.unlock();
    return samples.values();
}

void AudioProcessor::setAudioSamples(std::vector<float> samples) {
    std::lock_guard lock(mutex_);
    audioSamples_.assign(samples);
}

std::vector<AudioEnergy> AudioProcessor::audioEnergy() const {
    std::unique_lock lock(mutex_);
    const ChunkedStore<AudioEnergy>::Range energy = audioEnergy_.all();
    lock.unlock();
    return energy.values();
}

void AudioProcessor::setAudioEnergy(std::vector<AudioEnergy> energy) {
    std::lock_guard lock(mutex_);
    audioEnergy_.assign(energy);
}

int64_t AudioProcessor::relativeEnergyWindow() const {
    std::lock_guard lock(mutex_);
    return relativeEnergyWindow_;
}

void AudioProcessor::setRelativeEnergyWindow(int64_t window) {
    std::lock_guard lock(mutex_);
    relativeEnergyWindow_ = window;
}

std::vector<float> AudioProcessor::relativeEnergy() const {
    std::unique_lock lock(mutex_);
    const ChunkedStore<AudioEnergy>::Range energy = audioEnergy_.all();
    lock.unlock();
    return relativeValues(energy);
}

std::vector<float> AudioProcessor::latestRelativeEnergy(int64_t count) const {
    std::unique_lock lock(mutex_);
    const std::size_t size = audioEnergy_.size();
    const ChunkedStore<AudioEnergy>::Range energy =
        audioEnergy_.range(size - std::min<std::size_t>(size, static_cast<std::size_t>(std::max<int64_t>(count, 0))), size);
    lock.unlock();
    return relativeValues(energy);
}

AudioBufferCallback AudioProcessor::audioBufferCallback() const {
    std::lock_guard lock(mutex_);
    return audioBufferCallback_ ? *audioBufferCallback_ : AudioBufferCallback();
}

void AudioProcessor::setAudioBufferCallback(AudioBufferCallback callback) {
    auto held = shareCallback(std::move(callback));
    std::lock_guard lock(mutex_);
    audioBufferCallback_ = std::move(held);
}

int64_t AudioProcessor::minBufferLength() const {
    std::lock_guard lock(mutex_);
    return minBufferLength_;
}

void AudioProcessor::setMinBufferLength(int64_t length) {
    std::lock_guard lock(mutex_);
    minBufferLength_ = length;
}

bool AudioProcessor::isInputSuppressed() const { return isInputSuppressed_.load(); }

void AudioProcessor::setInputSuppressed(bool suppressed) { isInputSuppressed_.store(suppressed); }

std::optional<uint32_t> AudioProcessor::lastInputDevice() const {
    std::lock_guard lock(mutex_);
    return lastInputDevice_;
}

void AudioProcessor::suppressInputIfNeeded(std::vector<float>& buffer) const {
    if (isInputSuppressed()) std::fill(buffer.begin(), buffer.end(), 0.0f);
}

void AudioProcessor::processBuffer(const std::vector<float>& buffer) {
    if (buffer.empty()) return;
    std::shared_ptr<const AudioBufferCallback> callback;
    std::optional<std::string> sizeLog;
    AudioEnergy energy = calculateEnergy(buffer);
    {
        std::lock_guard lock(mutex_);
        audioSamples_.append(buffer.data(), buffer.size());
        // The floor spans a fixed 20 records, whatever the window says.
        const std::size_t span = std::min<std::size_t>(20, audioEnergy_.size());
        float floor = std::numeric_limits<float>::infinity();
        for (std::size_t i = audioEnergy_.size() - span; i < audioEnergy_.size(); ++i) floor = std::min(floor, audioEnergy_[i].avg);
        energy.rel = relativeToFloor(energy.avg, floor);
        audioEnergy_.push_back(energy);
        callback = audioBufferCallback_;
        const int64_t period = minBufferLength_ * relativeEnergyWindow_;
        const auto count = static_cast<int64_t>(audioSamples_.size());
        if (period > 0 && count % period == 0 && Logging::isLoggingEnabled(Logging::LogLevel::debug)) {
            sizeLog = "Current audio size: " + std::to_string(count) + " samples, most recent buffer: " +
                      std::to_string(buffer.size()) + " samples, most recent energy: " + describe(energy);
        }
    }
    if (callback) (*callback)(buffer);
    if (sizeLog) Logging::debug(*sizeLog);
}

void AudioProcessor::purgeAudioSamples(int64_t keepingLast) {
    std::lock_guard lock(mutex_);
    const auto keep = static_cast<std::size_t>(std::max<int64_t>(keepingLast, 0));
    if (audioSamples_.size() > keep) audioSamples_.assign(audioSamples_.range(audioSamples_.size() - keep, audioSamples_.size()).values());
}

std::shared_ptr<AudioProcessorOutputType> AudioProcessor::padOrTrim(const std::vector<float>& fromArray,
                                                                    int64_t startAt, int64_t toLength) {
    std::shared_ptr<platform::MLMultiArray> array = padOrTrimAudio(fromArray, startAt, toLength, false);
    if (!array) return nullptr;
    return makeStageValue(std::move(array));
}

AudioProcessor::Capture AudioProcessor::setupEngine(std::optional<uint32_t> inputDeviceID) {
    auto engine = std::make_shared<AVAudioEngine>();
    platform::audio::AVAudioInputNode& inputNode = engine->inputNode();
    if (inputDeviceID) assignAudioInput(inputNode, *inputDeviceID);
    const AVAudioFormat hardware = inputNode.inputFormat(0);
    const std::optional<AVAudioFormat> tapFormat =
        AVAudioFormat::standardFormat(hardware.sampleRate, inputNode.outputFormat(0).channelCount);
    if (!tapFormat) throw WhisperError::audioProcessingFailed("Failed to create node format");
    const std::optional<AVAudioFormat> desired = AVAudioFormat::standardFormat(16000, 1);
    if (!desired) throw WhisperError::audioProcessingFailed("Failed to create desired format");
    auto conversion = std::make_shared<CaptureConversion>();
    conversion->converter = AVAudioConverter::create(*tapFormat, *desired);
    if (!conversion->converter) throw WhisperError::audioProcessingFailed("Failed to create audio converter");
    const int64_t bufferLength = minBufferLength();
    if (bufferLength <= 0 || bufferLength > std::numeric_limits<uint32_t>::max()) {
        throw WhisperError::audioProcessingFailed("Buffer length must fit an unsigned 32-bit frame count");
    }
    conversion->samples.reserve(conversion->converter->maximumOutputFrames(static_cast<uint32_t>(bufferLength)) +
                                static_cast<std::size_t>(bufferLength));
    // The engine is torn down before the processor goes, so the tap may
    // hold it plainly.
    inputNode.installTap(0, static_cast<uint32_t>(bufferLength), *tapFormat,
                         [this, conversion](platform::audio::AVAudioPCMBuffer& tapped) {
                             std::vector<float>* samples = nullptr;
                             try {
                                 samples = &conversion->convert(tapped);
                             } catch (const WhisperError& error) {
                                 Logging::error("Failed to resample buffer: " + error.message());
                                 return;
                             }
                             suppressInputIfNeeded(*samples);
                             processBuffer(*samples);
                         });
    engine->prepare();
    try {
        engine->start();
    } catch (const platform::audio::AudioEngineError& error) {
        throw WhisperError::microphoneUnavailable(error.what());
    }
    return {std::move(engine), std::move(conversion)};
}

void AudioProcessor::tearDown(std::shared_ptr<AVAudioEngine> engine) {
    if (!engine) return;
    engine->inputNode().removeTap(0);
    engine->stop();
    engine->reset();
}

void AudioProcessor::startRecordingLive(std::optional<uint32_t> inputDeviceID, AudioBufferCallback callback) {
    // A running capture must not feed the fresh recording: it ends first,
    // with whatever buffer its tap is handing on. The engine stays in place
    // until a new one runs.
    tearDown(audioEngine());
    {
        std::lock_guard lock(mutex_);
        audioSamples_.clear();
        audioEnergy_.clear();
        conversion_ = nullptr;
    }
    Capture capture = setupEngine(inputDeviceID);
    std::lock_guard lock(mutex_);
    audioEngine_ = std::move(capture.engine);
    conversion_ = std::move(capture.conversion);
    audioBufferCallback_ = shareCallback(std::move(callback));
    lastInputDevice_ = inputDeviceID;
}

std::pair<AudioSampleStream, AudioSampleStream::Continuation> AudioProcessor::startStreamingRecordingLive(
    std::optional<uint32_t> inputDeviceID) {
    auto [stream, continuation] = AudioSampleStream::makeStream();
    continuation.setOnTermination([weak = weak_from_this()](AudioSampleStream::Termination) {
        if (std::shared_ptr<AudioProcessor> processor = weak.lock()) {
            processor->setAudioBufferCallback(nullptr);
            processor->stopRecording();
        }
    });
    try {
        startRecordingLive(inputDeviceID, [continuation](const std::vector<float>& buffer) { continuation.yield(buffer); });
    } catch (...) {
        continuation.finish(std::current_exception());
    }
    return {std::move(stream), continuation};
}

void AudioProcessor::pauseRecording() {
    if (std::shared_ptr<AVAudioEngine> engine = audioEngine()) engine->pause();
}

void AudioProcessor::stopRecording() {
    std::shared_ptr<AVAudioEngine> engine;
    std::shared_ptr<CaptureConversion> conversion;
    {
        std::lock_guard lock(mutex_);
        engine = std::exchange(audioEngine_, nullptr);
        conversion = std::exchange(conversion_, nullptr);
    }
    tearDown(std::move(engine));
    if (conversion) finishCapture(*conversion);
}

void AudioProcessor::finishCapture(CaptureConversion& conversion) {
    // The tap has ended, so nothing else uses the converter now.
    std::vector<float> tail = conversion.flush();
    suppressInputIfNeeded(tail);
    processBuffer(tail);
}

void AudioProcessor::resumeRecordingLive(std::optional<uint32_t> inputDeviceID, AudioBufferCallback callback) {
    const std::optional<uint32_t> last = lastInputDevice();
    const std::shared_ptr<AVAudioEngine> engine = audioEngine();
    if (inputDeviceID != last) {
        // Two captures would feed one recording: end the old one first.
        stopRecording();
        Capture capture = setupEngine(inputDeviceID);
        std::lock_guard lock(mutex_);
        audioEngine_ = std::move(capture.engine);
        conversion_ = std::move(capture.conversion);
        lastInputDevice_ = inputDeviceID;
    } else if (engine && !engine->inputNode().hasTap(0)) {
        // A start that failed took this engine's tap away: started again it
        // would record nothing, so it is set up anew, and kept until that
        // succeeds.
        Capture capture = setupEngine(inputDeviceID);
        std::lock_guard lock(mutex_);
        audioEngine_ = std::move(capture.engine);
        conversion_ = std::move(capture.conversion);
    } else if (engine) {
        try {
            engine->start();
        } catch (const platform::audio::AudioEngineError& error) {
            throw WhisperError::microphoneUnavailable(error.what());
        }
    }
    if (callback) setAudioBufferCallback(std::move(callback));
}

bool AudioProcessor::requestRecordPermission() {
    const std::optional<std::vector<platform::audio::InputSource>> sources = platform::audio::listInputSources();
    if (sources && !sources->empty()) return true;
    Logging::error("Microphone access denied");
    return false;
}

std::vector<AudioDevice> AudioProcessor::getAudioDevices() {
    const std::optional<std::vector<platform::audio::InputSource>> sources = platform::audio::listInputSources();
    if (!sources) {
        Logging::error("Error: Unable to get the number of audio devices.");
        return {};
    }
    std::vector<AudioDevice> devices;
    for (const auto& source : *sources) {
        if (source.channelCount > 0) devices.push_back({source.id, source.description});
    }
    return devices;
}

void AudioProcessor::assignAudioInput(platform::audio::AVAudioInputNode& inputNode, uint32_t inputDeviceID) {
    const int status = inputNode.setCurrentDevice(inputDeviceID);
    if (status != 0) {
        Logging::error("Error setting Audio Unit property: " + std::to_string(status));
    } else {
        Logging::info("Successfully set input device.");
    }
}

}  // namespace sonoscribe
