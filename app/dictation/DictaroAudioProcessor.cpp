#include "app/dictation/DictaroAudioProcessor.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "app/dictation/Log.h"
#include "platform/audio/AudioDevices.h"
#include "platform/audio/BufferFeed.h"
#include "platform/foundation/NumberFormatting.h"
#include "speech/model/WhisperError.h"

namespace dictaro {
namespace {

using platform::audio::AVAudioFormat;

constexpr std::string_view kCategory = "audio";
constexpr double kDestinationRate = 16000;

const AVAudioFormat& destinationFormat() {
    static const AVAudioFormat format = *AVAudioFormat::standardFormat(kDestinationRate, 1);
    return format;
}

}  // namespace

DictaroAudioProcessor::~DictaroAudioProcessor() {
    std::lock_guard capture(captureMutex_);
    tearDownInternalCapture();
}

void DictaroAudioProcessor::setPreferredSource(std::optional<std::string> sourceName) {
    std::lock_guard lock(mutex_);
    preferredSource_ = std::move(sourceName);
}

DictaroAudioProcessor::Choice DictaroAudioProcessor::choose(std::optional<uint32_t> requested) const {
    if (requested) return {requested, platform::audio::pulseName(*requested).value_or(std::to_string(*requested))};
    std::optional<std::string> name;
    {
        std::lock_guard lock(mutex_);
        name = preferredSource_;
    }
    if (!name) return {std::nullopt, "system-default"};
    const uint32_t id = platform::audio::deviceID(*name);
    const auto devices = getAudioDevices();
    if (std::none_of(devices.begin(), devices.end(), [&](const auto& device) { return device.id == id; })) {
        return {std::nullopt, "system-default (" + *name + " is not present)"};
    }
    return {id, *name};
}

void DictaroAudioProcessor::tearDownInternalCapture() {
    if (!internalEngine_) return;
    internalEngine_->inputNode().removeTap(0);
    internalEngine_->stop();
    internalEngine_.reset();
    Log::info(kCategory, "internal capture stopped");
}

void DictaroAudioProcessor::startRecordingLive(std::optional<uint32_t> inputDeviceID,
                                               sonoscribe::AudioBufferCallback callback) {
    std::lock_guard capture(captureMutex_);
    startCapture(inputDeviceID, std::move(callback));
}

void DictaroAudioProcessor::startCapture(std::optional<uint32_t> inputDeviceID,
                                         sonoscribe::AudioBufferCallback callback) {
    tearDownInternalCapture();
    const Choice chosen = choose(inputDeviceID);
    Log::info(kCategory, "startRecordingLive — chosen=" + chosen.label +
                             " (always using internal capture, recording the source by name; the system default "
                             "input is left as it is)");
    buildAndStartEngine(chosen.device, std::move(callback));
}

// One capture's resampler and the buffers every tapped buffer passes
// through, made at its start for the tap's buffer size.
struct DictaroAudioProcessor::CaptureScratch {
    std::unique_ptr<AVAudioConverter> resampler;
    AVAudioFormat monoSourceFormat;
    std::shared_ptr<AVAudioPCMBuffer> mono;
    std::shared_ptr<AVAudioPCMBuffer> output;
    std::vector<float> samples;

    // False when a buffer of that many frames cannot be made.
    bool fit(uint32_t frames) {
        if (mono && mono->frameCapacity() >= frames) return true;
        const auto capacity =
            static_cast<uint32_t>(std::floor(kDestinationRate / monoSourceFormat.sampleRate * frames)) + 128;
        mono = AVAudioPCMBuffer::create(monoSourceFormat, frames);
        output = AVAudioPCMBuffer::create(destinationFormat(), capacity);
        if (!mono || !output) {
            mono.reset();
            return false;
        }
        samples.reserve(capacity);
        return true;
    }
};

platform::audio::AVAudioInputNode::TapBlock DictaroAudioProcessor::makeCaptureTap(const AVAudioFormat& hardware) {
    auto scratch = std::make_shared<CaptureScratch>();
    const std::optional<AVAudioFormat> monoSourceFormat = AVAudioFormat::standardFormat(hardware.sampleRate, 1);
    if (!monoSourceFormat) {
        throw sonoscribe::WhisperError::audioProcessingFailed("Failed to create mono intermediate format");
    }
    scratch->monoSourceFormat = *monoSourceFormat;
    scratch->resampler = AVAudioConverter::create(*monoSourceFormat, destinationFormat());
    if (!scratch->resampler) throw sonoscribe::WhisperError::audioProcessingFailed("Failed to create resampler");
    scratch->fit(tapBufferFrames);
    std::weak_ptr<AudioProcessor> weak = weak_from_this();
    return [weak, scratch](platform::audio::AVAudioPCMBuffer& buffer) {
        if (auto self = std::static_pointer_cast<DictaroAudioProcessor>(weak.lock())) {
            self->handleInternalBuffer(buffer, *scratch);
        }
    };
}

void DictaroAudioProcessor::buildAndStartEngine(std::optional<uint32_t> device,
                                                sonoscribe::AudioBufferCallback callback) {
    auto engine = std::make_shared<AVAudioEngine>();
    platform::audio::AVAudioInputNode& inputNode = engine->inputNode();
    if (device) assignAudioInput(inputNode, *device);
    const AVAudioFormat hardware = inputNode.outputFormat(0);
    if (!(hardware.sampleRate > 0) || hardware.channelCount == 0) {
        throw sonoscribe::WhisperError::audioProcessingFailed(
            "Multichannel input not ready (sampleRate=" + platform::description(hardware.sampleRate) +
            " channels=" + std::to_string(hardware.channelCount) + ")");
    }
    platform::audio::AVAudioInputNode::TapBlock tap = makeCaptureTap(hardware);

    setAudioSamples({});
    setAudioEnergy({});
    setAudioBufferCallback(std::move(callback));
    inputNode.installTap(0, tapBufferFrames, hardware, std::move(tap));
    engine->prepare();
    engine->start();
    internalEngine_ = std::move(engine);
    const uint32_t taken = std::min<uint32_t>(hardware.channelCount, 2);
    Log::info(kCategory, "internal capture started — engine reports " + std::to_string(hardware.channelCount) +
                             " ch @ " + platform::description(hardware.sampleRate) +
                             " Hz → 1 ch @ 16000 Hz (taking first " + std::to_string(taken) + " channel" +
                             (hardware.channelCount == 1 ? "" : "s") + ")");
}

void DictaroAudioProcessor::handleInternalBuffer(const AVAudioPCMBuffer& buffer, CaptureScratch& scratch) {
    const uint32_t frames = buffer.frameLength();
    const uint32_t channels = buffer.format().channelCount;
    if (channels == 0 || frames == 0) return;
    if (!scratch.fit(frames)) return;
    AVAudioPCMBuffer& mono = *scratch.mono;
    float* folded = mono.channelData(0);
    const float* first = buffer.channelData(0);
    if (channels == 1) {
        std::copy(first, first + frames, folded);
    } else {
        const float* second = buffer.channelData(1);
        for (uint32_t i = 0; i < frames; ++i) folded[i] = (first[i] + second[i]) * 0.5f;
    }
    mono.setFrameLength(frames);

    AVAudioPCMBuffer& output = *scratch.output;
    std::string error;
    // Not the end of the stream: the resampler keeps its history for the next
    // buffer.
    const auto status = scratch.resampler->convert(output, &error, platform::audio::BufferFeed(&mono, false));
    if (status == AVAudioConverter::OutputStatus::error) {
        Log::error(kCategory, "resampler failed: " + (error.empty() ? std::string("unknown") : error));
        return;
    }
    if (output.frameLength() == 0) return;
    const float* samples = output.channelData(0);
    scratch.samples.assign(samples, samples + output.frameLength());
    processBuffer(scratch.samples);
}

void DictaroAudioProcessor::pauseRecording() {
    std::lock_guard capture(captureMutex_);
    if (internalEngine_) {
        internalEngine_->pause();
    } else {
        AudioProcessor::pauseRecording();
    }
}

void DictaroAudioProcessor::stopRecording() {
    std::lock_guard capture(captureMutex_);
    tearDownInternalCapture();
    AudioProcessor::stopRecording();
}

void DictaroAudioProcessor::resumeRecordingLive(std::optional<uint32_t> inputDeviceID,
                                                sonoscribe::AudioBufferCallback callback) {
    std::lock_guard capture(captureMutex_);
    if (!internalEngine_) return startCapture(inputDeviceID, std::move(callback));
    internalEngine_->start();
    if (callback) setAudioBufferCallback(std::move(callback));
}

}  // namespace dictaro
