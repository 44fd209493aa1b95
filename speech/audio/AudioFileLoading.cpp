#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <mutex>
#include <new>

#include "mlcore/foundation/Logging.h"
#include "platform/audio/AudioFileError.h"
#include "platform/audio/BufferFeed.h"
#include "platform/audio/CodecLog.h"
#include "platform/concurrency/TaskGroup.h"
#include "platform/foundation/NumberFormatting.h"
#include "speech/audio/AudioProcessor.h"
#include "speech/model/Constants.h"
#include "speech/model/WhisperError.h"

namespace sonoscribe {

using celvan::Logging;
using platform::audio::AVAudioFormat;
using platform::audio::AVAudioPCMBuffer;
using platform::audio::BufferFeed;

namespace {

constexpr double targetRate = 16000;
// The fewest bytes a second of audio takes in the codecs users hand over
// (4 kbit/s). A header may claim any length, so the loaders make room up
// front for no more than a file's bytes can hold at this rate; the rare file
// that packs more (lossless silence) grows its buffers as it is read.
constexpr double minimumBytesPerSecond = 500;

std::string format2(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

// Opens a file the loaders were given by its path. What the codecs have to
// say about it goes to the log at debug level.
platform::audio::AVAudioFile openAudioFile(const std::string& path) {
    static std::once_flag logged;
    std::call_once(logged, [] {
        platform::audio::setCodecLogHandler([](std::string_view line) { Logging::debug(std::string(line)); });
    });
    if (!std::filesystem::exists(path)) throw WhisperError::loadAudioFailed("Resource path does not exist " + path);
    return platform::audio::AVAudioFile(path);
}

// A time as a frame of the file; rejects what no frame count can hold.
int64_t frameAt(double seconds, double rate, int64_t length) {
    if (!std::isfinite(seconds)) throw WhisperError::loadAudioFailed("Audio time is not a finite number");
    const double frame = std::trunc(seconds * rate);
    if (frame < 0) throw WhisperError::loadAudioFailed("Audio time must not be negative");
    return frame > static_cast<double>(length) ? length + 1 : static_cast<int64_t>(frame);
}

// Frames a resampler may give for `frames` input frames, with room for the
// history it holds and the tail it flushes at the end.
uint32_t outputRoom(uint64_t frames, double fromRate, double toRate) {
    const double room = std::ceil(static_cast<double>(frames) * toRate / fromRate) + 256;
    return static_cast<uint32_t>(std::min<double>(room, std::numeric_limits<uint32_t>::max()));
}

// Of `frames` frames at `rate` that a file's header claims, as many as its
// bytes can hold.
uint64_t plausibleFrames(const platform::audio::AVAudioFile& file, uint64_t frames, double rate) {
    std::error_code error;
    const uintmax_t bytes = std::filesystem::file_size(file.path(), error);
    const double holds = std::ceil(static_cast<double>(error ? 0 : bytes) / minimumBytesPerSecond * rate);
    return std::min<uint64_t>(frames, static_cast<uint64_t>(std::min(holds, 9.0e18)));
}

// A buffer of the same format with room for `capacity` frames, holding the
// frames of `buffer`. Throws std::bad_alloc when there is no room.
std::shared_ptr<AVAudioPCMBuffer> grown(const AVAudioPCMBuffer& buffer, uint32_t capacity) {
    std::shared_ptr<AVAudioPCMBuffer> bigger = AVAudioPCMBuffer::create(buffer.format(), capacity);
    if (!bigger) throw std::bad_alloc();
    for (uint32_t c = 0; c < buffer.format().channelCount; ++c) {
        std::memcpy(bigger->channelData(c), buffer.channelData(c), buffer.frameLength() * sizeof(float));
    }
    bigger->setFrameLength(buffer.frameLength());
    return bigger;
}

// Appends `frames` to `output`, growing it (at least doubling) when it is
// full, though never beyond `limit` frames; what does not fit even then is
// cut, as appendContents cuts it.
bool appendGrowing(std::shared_ptr<AVAudioPCMBuffer>& output, const AVAudioPCMBuffer& frames, uint32_t limit) {
    const uint64_t needed = uint64_t{output->frameLength()} + frames.frameLength();
    if (needed > output->frameCapacity() && output->frameCapacity() < limit) {
        const uint64_t doubled = 2 * uint64_t{output->frameCapacity()};
        output = grown(*output, static_cast<uint32_t>(std::min<uint64_t>(std::max(doubled, needed), limit)));
    }
    return appendContents(*output, frames, 0, frames.frameLength());
}

// The size of the next read of a file: a second of audio at first, doubling
// after each block the file fills, up to the largest asked for. However long
// a header says the audio is, its blocks cost memory only once the audio
// turns out to be there.
class ReadBlockSize {
public:
    ReadBlockSize(double rate, uint32_t largest)
        : largest_(std::max<uint32_t>(largest, 1)),
          frames_(static_cast<uint32_t>(std::clamp<double>(std::ceil(rate), 1, largest_))) {}

    uint32_t frames() const noexcept { return frames_; }
    void read(uint32_t frames) noexcept {
        if (frames >= frames_) frames_ = static_cast<uint32_t>(std::min<uint64_t>(2 * uint64_t{frames_}, largest_));
    }

private:
    uint32_t largest_;
    uint32_t frames_;
};

// Reads frames up to endFrame through one resampler, to the end of the
// stream, handing each converted block to `append` (which returns false for
// a block it cannot take). Logs and returns false on failure; throws
// std::bad_alloc when memory runs out.
template <class Append>
bool resampleInto(Append&& append, platform::audio::AVAudioFile& file, platform::audio::AVAudioConverter& converter,
                  const AudioProcessor::ChannelMode& channelMode, int64_t endFrame, uint32_t maxReadFrameSize) {
    const double fileRate = file.fileFormat().sampleRate;
    ReadBlockSize block(fileRate, maxReadFrameSize);
    std::shared_ptr<AVAudioPCMBuffer> readBuffer;
    std::shared_ptr<AVAudioPCMBuffer> converted;
    bool done = false;
    while (!done) {
        if (!readBuffer || readBuffer->frameCapacity() < block.frames()) {
            readBuffer = AVAudioPCMBuffer::create(file.processingFormat(), block.frames());
            if (!readBuffer) {
                Logging::error("Failed to create read buffer");
                return false;
            }
        }
        const int64_t n = std::max<int64_t>(std::min<int64_t>(endFrame - file.framePosition(), block.frames()), 0);
        const int64_t position = file.framePosition() + n;
        Logging::debug("Resampling " + format2(static_cast<double>(file.framePosition()) / fileRate) + "s - " +
                       format2(static_cast<double>(position) / fileRate) + "s");
        try {
            file.read(*readBuffer, static_cast<uint32_t>(n));
        } catch (const platform::audio::AudioFileError& error) {
            Logging::error(std::string("Error reading audio file: ") + error.what());
            return false;
        }
        // A short read is the end of the audio, wherever the header put it.
        done = position >= endFrame || readBuffer->frameLength() < n;
        block.read(readBuffer->frameLength());
        // One channel needs no folding, nor a copy made for it.
        std::shared_ptr<AVAudioPCMBuffer> mono = readBuffer;
        if (readBuffer->format().channelCount > 1) mono = AudioProcessor::convertToMono(*readBuffer, channelMode);
        if (!mono) {
            Logging::error("Failed to process audio channels");
            return false;
        }
        const uint32_t room = outputRoom(mono->frameLength(), fileRate, converter.outputFormat().sampleRate);
        if (!converted || converted->frameCapacity() < room) converted = AVAudioPCMBuffer::create(converter.outputFormat(), room);
        if (!converted) {
            Logging::error("Failed to resample audio chunk");
            return false;
        }
        std::string error;
        const auto status = converter.convert(*converted, &error, BufferFeed(mono.get(), done));
        if (status == platform::audio::AVAudioConverter::OutputStatus::error) {
            Logging::error("Failed to resample audio chunk");
            return false;
        }
        if (!append(*converted)) {
            Logging::error("Failed to append audio chunk");
            return false;
        }
    }
    return true;
}

struct FileRange {
    int64_t startFrame;
    int64_t frameCount;
};

FileRange rangeOf(const platform::audio::AVAudioFile& file, std::optional<double> startTime, std::optional<double> endTime) {
    const double rate = file.fileFormat().sampleRate;
    const int64_t startFrame = frameAt(startTime.value_or(0), rate, file.length());
    const int64_t endFrame = endTime ? std::min(frameAt(*endTime, rate, file.length()), file.length()) : file.length();
    if (startFrame >= file.length() && file.length() > 0) {
        throw WhisperError::loadAudioFailed("Start time lies past the end of the audio");
    }
    const int64_t frameCount = endFrame - startFrame;
    if (frameCount < 0) throw WhisperError::loadAudioFailed("End time lies before start time");
    if (frameCount > std::numeric_limits<uint32_t>::max()) {
        throw WhisperError::loadAudioFailed("Audio range is too long to load at once");
    }
    return {startFrame, frameCount};
}

void logDetails(const platform::audio::AVAudioFile& file, const AVAudioPCMBuffer& buffer) {
    if (!Logging::isLoggingEnabled(Logging::LogLevel::debug)) return;
    const double fileRate = file.fileFormat().sampleRate;
    Logging::debug("Audio source details - Sample Rate: " + platform::description(fileRate) +
                   " Hz, Channel Count: " + std::to_string(file.fileFormat().channelCount) +
                   ", Frame Length: " + std::to_string(file.length()) +
                   ", Duration: " + platform::description(static_cast<double>(file.length()) / fileRate) + "s");
    const double rate = buffer.format().sampleRate;
    Logging::debug("Audio buffer details - Sample Rate: " + platform::description(rate) +
                   " Hz, Channel Count: " + std::to_string(buffer.format().channelCount) +
                   ", Frame Length: " + std::to_string(buffer.frameLength()) +
                   ", Duration: " + platform::description(static_cast<double>(buffer.frameLength()) / rate) + "s");
}

// What resampleAudio() does with a file, its output grown when the file
// holds more than the room made for what it could hold. Throws
// std::bad_alloc when memory runs out.
std::shared_ptr<AVAudioPCMBuffer> resampleFile(platform::audio::AVAudioFile& file, double toSampleRate, uint32_t channelCount,
                                               const AudioProcessor::ChannelMode& channelMode,
                                               std::optional<uint32_t> frameCount, uint32_t maxReadFrameSize) {
    const double fileRate = file.fileFormat().sampleRate;
    const int64_t startFrame = file.framePosition();
    const int64_t frames = frameCount ? int64_t{*frameCount} : file.length();
    const int64_t endFrame = std::min(startFrame + frames, file.length() + 1);
    const std::optional<AVAudioFormat> outputFormat = AVAudioFormat::standardFormat(toSampleRate, channelCount);
    if (!outputFormat || maxReadFrameSize == 0) {
        Logging::error("Failed to create output audio format");
        return nullptr;
    }
    Logging::debug("Resampling " + format2(static_cast<double>(frames) / fileRate) + " seconds of audio");
    const auto claimed = static_cast<uint64_t>(std::max<int64_t>(frames, 0));
    std::shared_ptr<AVAudioPCMBuffer> output = AVAudioPCMBuffer::create(
        *outputFormat, outputRoom(plausibleFrames(file, claimed, fileRate), fileRate, toSampleRate));
    const std::optional<AVAudioFormat> monoFormat = AVAudioFormat::standardFormat(fileRate, 1);
    std::unique_ptr<platform::audio::AVAudioConverter> converter =
        monoFormat ? platform::audio::AVAudioConverter::create(*monoFormat, *outputFormat) : nullptr;
    if (!output || !converter) {
        Logging::error("Failed to create output buffer");
        return nullptr;
    }
    const uint32_t limit = outputRoom(claimed, fileRate, toSampleRate);
    const auto append = [&](const AVAudioPCMBuffer& block) { return appendGrowing(output, block, limit); };
    if (!resampleInto(append, file, *converter, channelMode, endFrame, maxReadFrameSize)) return nullptr;
    return output;
}

void readFrames(platform::audio::AVAudioFile& file, AVAudioPCMBuffer& buffer, uint32_t frameCount) {
    try {
        file.read(buffer, frameCount);
    } catch (const platform::audio::AudioFileError& error) {
        throw WhisperError::loadAudioFailed(std::string("Failed to read audio file: ") + error.what());
    }
}

// Reads frameCount frames from the read position in the file's own format,
// growing the buffer when the file holds more than the room made for what it
// could hold. Throws std::bad_alloc when memory runs out.
std::shared_ptr<AVAudioPCMBuffer> readFile(platform::audio::AVAudioFile& file, uint32_t frameCount) {
    const AVAudioFormat& format = file.processingFormat();
    std::shared_ptr<AVAudioPCMBuffer> buffer =
        AVAudioPCMBuffer::create(format, static_cast<uint32_t>(plausibleFrames(file, frameCount, format.sampleRate)));
    if (!buffer) throw WhisperError::loadAudioFailed("Unable to create audio buffer");
    readFrames(file, *buffer, frameCount);
    std::shared_ptr<AVAudioPCMBuffer> block;
    // Until a read comes back short: the end of the audio.
    bool filled = buffer->frameLength() == buffer->frameCapacity();
    while (filled && buffer->frameLength() < frameCount) {
        const uint32_t remaining = frameCount - buffer->frameLength();
        if (!block) block = AVAudioPCMBuffer::create(format, std::min(remaining, Constants::defaultAudioReadFrameSize));
        if (!block) throw std::bad_alloc();
        const uint32_t asked = std::min(remaining, block->frameCapacity());
        readFrames(file, *block, asked);
        appendGrowing(buffer, *block, frameCount);
        filled = block->frameLength() == asked;
    }
    return buffer;
}

// The samples of a range of the file, at 16 kHz in one channel, read block
// by block straight into one array. Throws std::bad_alloc when memory runs
// out.
std::vector<float> samplesOf(platform::audio::AVAudioFile& file, const AudioProcessor::ChannelMode& channelMode,
                             std::optional<double> startTime, std::optional<double> endTime) {
    const AVAudioFormat format = file.fileFormat();
    const double duration = static_cast<double>(file.length()) / format.sampleRate;
    const FileRange range = rangeOf(file, startTime.value_or(0), std::min(endTime.value_or(duration), duration));
    const auto frameCount = static_cast<uint64_t>(range.frameCount);
    std::vector<float> samples;
    // The whole result at once (growing it would need twice its size), as
    // far as the file can really hold it.
    samples.reserve(outputRoom(plausibleFrames(file, frameCount, format.sampleRate), format.sampleRate, targetRate));
    const auto append = [&samples](const AVAudioPCMBuffer& block) {
        samples.insert(samples.end(), block.channelData(0), block.channelData(0) + block.frameLength());
        return true;
    };
    file.setFramePosition(range.startFrame);
    const int64_t endFrame = range.startFrame + range.frameCount;
    if (format.sampleRate == targetRate && format.channelCount == 1) {
        ReadBlockSize size(format.sampleRate, Constants::defaultAudioReadFrameSize);
        std::shared_ptr<AVAudioPCMBuffer> block;
        while (file.framePosition() < endFrame) {
            if (!block || block->frameCapacity() < size.frames()) {
                block = AVAudioPCMBuffer::create(file.processingFormat(), size.frames());
                if (!block) throw WhisperError::loadAudioFailed("Unable to create audio buffer");
            }
            const auto n = static_cast<uint32_t>(std::min<int64_t>(endFrame - file.framePosition(), size.frames()));
            readFrames(file, *block, n);
            append(*block);
            if (block->frameLength() < n) break;
            size.read(block->frameLength());
        }
        return samples;
    }
    const std::optional<AVAudioFormat> monoFormat = AVAudioFormat::standardFormat(format.sampleRate, 1);
    const std::optional<AVAudioFormat> target = AVAudioFormat::standardFormat(targetRate, 1);
    std::unique_ptr<platform::audio::AVAudioConverter> converter =
        monoFormat && target ? platform::audio::AVAudioConverter::create(*monoFormat, *target) : nullptr;
    if (!converter || !resampleInto(append, file, *converter, channelMode, endFrame, Constants::defaultAudioReadFrameSize)) {
        throw WhisperError::loadAudioFailed("Failed to process audio buffer");
    }
    return samples;
}

}  // namespace

bool appendContents(AVAudioPCMBuffer& buffer, const AVAudioPCMBuffer& of, int64_t startingFrame, uint32_t frameCount) {
    if (!(buffer.format() == of.format())) {
        Logging::debug("Format mismatch");
        return false;
    }
    if (startingFrame < 0 || startingFrame + int64_t{frameCount} > int64_t{of.frameLength()}) {
        Logging::error("Insufficient audio in buffer");
        return false;
    }
    if (buffer.frameLength() + uint64_t{frameCount} > buffer.frameCapacity()) {
        Logging::debug("Insufficient space in buffer, reducing frame count to fit");
        frameCount = buffer.frameCapacity() - buffer.frameLength();
    }
    std::memcpy(buffer.channelData(0) + buffer.frameLength(), of.channelData(0) + startingFrame, frameCount * sizeof(float));
    buffer.setFrameLength(buffer.frameLength() + frameCount);
    return true;
}

std::shared_ptr<AVAudioPCMBuffer> AudioProcessor::loadAudio(const std::string& fromPath, const ChannelMode& channelMode,
                                                            std::optional<double> startTime, std::optional<double> endTime,
                                                            std::optional<uint32_t> maxReadFrameSize) {
    AVAudioFile file = openAudioFile(fromPath);
    return loadAudio(file, channelMode, startTime, endTime, maxReadFrameSize);
}

std::shared_ptr<AVAudioPCMBuffer> AudioProcessor::loadAudio(AVAudioFile& fromFile, const ChannelMode& channelMode,
                                                            std::optional<double> startTime, std::optional<double> endTime,
                                                            std::optional<uint32_t> maxReadFrameSize) {
    const AVAudioFormat format = fromFile.fileFormat();
    const FileRange range = rangeOf(fromFile, startTime, endTime);
    fromFile.setFramePosition(range.startFrame);
    std::shared_ptr<AVAudioPCMBuffer> buffer;
    try {
        if (format.sampleRate != targetRate || format.channelCount != 1) {
            buffer = resampleFile(fromFile, targetRate, 1, channelMode, static_cast<uint32_t>(range.frameCount),
                                  maxReadFrameSize.value_or(Constants::defaultAudioReadFrameSize));
            if (!buffer) throw WhisperError::loadAudioFailed("Failed to process audio buffer");
        } else {
            buffer = readFile(fromFile, static_cast<uint32_t>(range.frameCount));
        }
    } catch (const std::bad_alloc&) {
        throw WhisperError::loadAudioFailed("Not enough memory to load " + fromFile.path());
    }
    logDetails(fromFile, *buffer);
    Logging::logCurrentMemoryUsage("After loadAudio function");
    return buffer;
}

std::shared_ptr<AVAudioPCMBuffer> AudioProcessor::resampleAudio(AVAudioFile& fromFile, double toSampleRate,
                                                                uint32_t channelCount, const ChannelMode& channelMode,
                                                                std::optional<uint32_t> frameCount,
                                                                uint32_t maxReadFrameSize) {
    try {
        return resampleFile(fromFile, toSampleRate, channelCount, channelMode, frameCount, maxReadFrameSize);
    } catch (const std::bad_alloc&) {
        Logging::error("Not enough memory to resample " + fromFile.path());
        return nullptr;
    }
}

std::shared_ptr<AVAudioPCMBuffer> AudioProcessor::resampleAudio(const AVAudioPCMBuffer& fromBuffer, double toSampleRate,
                                                                uint32_t channelCount) {
    const std::optional<AVAudioFormat> outputFormat = AVAudioFormat::standardFormat(toSampleRate, channelCount);
    if (!outputFormat) {
        Logging::error("Failed to create output audio format");
        return nullptr;
    }
    std::unique_ptr<AVAudioConverter> converter = AVAudioConverter::create(fromBuffer.format(), *outputFormat);
    if (!converter) {
        Logging::error("Failed to create audio converter");
        return nullptr;
    }
    try {
        // A single buffer is a whole stream: flush the resampler's tail.
        const uint32_t room = outputRoom(fromBuffer.frameLength(), fromBuffer.format().sampleRate, toSampleRate);
        std::shared_ptr<AVAudioPCMBuffer> output = AVAudioPCMBuffer::create(*outputFormat, room);
        if (!output) throw WhisperError::audioProcessingFailed("Failed to create converted buffer");
        std::string error;
        if (converter->convert(*output, &error, BufferFeed(&fromBuffer, true)) ==
            platform::audio::AVAudioConverter::OutputStatus::error) {
            throw WhisperError::audioProcessingFailed("Error converting audio: " + error);
        }
        return output;
    } catch (const WhisperError& error) {
        Logging::error("Failed to resample buffer: " + error.message());
        return nullptr;
    }
}

std::shared_ptr<AVAudioPCMBuffer> AudioProcessor::resampleBuffer(const AVAudioPCMBuffer& buffer, AVAudioConverter& with) {
    std::shared_ptr<AVAudioPCMBuffer> output;
    resampleBuffer(buffer, with, output);
    return output;
}

void AudioProcessor::resampleBuffer(const AVAudioPCMBuffer& buffer, AVAudioConverter& with,
                                    std::shared_ptr<AVAudioPCMBuffer>& into) {
    // Room for all the converter can give for this buffer: the rate ratio
    // rounded up, and what it still holds from the buffers before. Sized by
    // the ratio alone, the output fills with held frames first and a stream
    // of buffers falls further and further behind its audio.
    const double ratio = with.outputFormat().sampleRate * buffer.frameLength() / with.inputFormat().sampleRate;
    const double capacity = std::max({std::ceil(ratio), static_cast<double>(with.maximumOutputFrames(buffer.frameLength())), 1.0});
    if (capacity != ratio && Logging::isLoggingEnabled(Logging::LogLevel::debug)) {
        Logging::debug("Rounding buffer frame capacity from " + platform::description(ratio) + " to " +
                       platform::description(capacity) + " to better fit new sample rate");
    }
    const auto frames = static_cast<uint32_t>(std::min<double>(capacity, std::numeric_limits<uint32_t>::max()));
    if (!into || into->frameCapacity() < frames || !(into->format() == with.outputFormat())) {
        into = AVAudioPCMBuffer::create(with.outputFormat(), frames);
        if (!into) throw WhisperError::audioProcessingFailed("Failed to create converted buffer");
    }
    std::string error;
    // Each buffer is handed over once; the converter keeps the stream going.
    if (with.convert(*into, &error, BufferFeed(&buffer, false)) == platform::audio::AVAudioConverter::OutputStatus::error) {
        throw WhisperError::audioProcessingFailed("Error converting audio: " + error);
    }
}

std::shared_ptr<AVAudioPCMBuffer> AudioProcessor::convertToMono(const AVAudioPCMBuffer& buffer, const ChannelMode& mode) {
    const uint32_t channels = buffer.format().channelCount;
    if (channels < 2) return std::make_shared<AVAudioPCMBuffer>(buffer);
    const std::optional<AVAudioFormat> monoFormat = AVAudioFormat::standardFormat(buffer.format().sampleRate, 1);
    if (!monoFormat) {
        Logging::error("Failed to create AVAudioFormat object.");
        return nullptr;
    }
    std::shared_ptr<AVAudioPCMBuffer> mono = AVAudioPCMBuffer::create(*monoFormat, buffer.frameCapacity());
    if (!mono) {
        Logging::error("Failed to create mono buffer.");
        return nullptr;
    }
    const uint32_t frames = buffer.frameLength();
    mono->setFrameLength(frames);
    float* out = mono->channelData(0);
    auto copyChannel = [&](uint32_t channel) { std::memcpy(out, buffer.channelData(channel), frames * sizeof(float)); };
    auto valid = [&](int64_t index) { return index >= 0 && index < static_cast<int64_t>(channels); };

    if (mode.kind() == ChannelMode::Kind::specificChannel) {
        copyChannel(valid(mode.channel()) ? static_cast<uint32_t>(mode.channel()) : 0);
        return mono;
    }
    std::vector<uint32_t> selected;
    if (!mode.channels() || mode.channels()->empty()) {
        for (uint32_t c = 0; c < channels; ++c) selected.push_back(c);
    } else {
        for (int64_t index : *mode.channels()) {
            if (valid(index)) selected.push_back(static_cast<uint32_t>(index));
        }
        if (selected.empty()) {
            copyChannel(0);
            Logging::debug("No valid channel indices provided, defaulting to first channel");
            return mono;
        }
    }
    float peak = 0;
    for (uint32_t channel : selected) {
        const float* in = buffer.channelData(channel);
        for (uint32_t i = 0; i < frames; ++i) {
            peak = std::max(peak, std::fabs(in[i]));
            out[i] += in[i];
        }
    }
    float monoPeak = 0;
    for (uint32_t i = 0; i < frames; ++i) monoPeak = std::max(monoPeak, std::fabs(out[i]));
    const float scale = peak / std::max(monoPeak, 0.0001f);
    for (uint32_t i = 0; i < frames; ++i) out[i] *= scale;
    return mono;
}

std::vector<float> AudioProcessor::convertBufferToArray(AVAudioPCMBuffer& buffer, int64_t chunkSize) {
    std::vector<float> samples;
    convertBufferToArray(buffer, chunkSize, samples);
    return samples;
}

void AudioProcessor::convertBufferToArray(AVAudioPCMBuffer& buffer, int64_t chunkSize, std::vector<float>& into) {
    const uint32_t frames = buffer.frameLength();
    into.resize(frames);
    const auto step = static_cast<uint32_t>(std::clamp<int64_t>(chunkSize, 1, std::numeric_limits<uint32_t>::max()));
    float* channel = buffer.channelData(0);
    for (uint32_t at = 0; at < frames; at += step) {
        const uint32_t n = std::min(step, frames - at);
        std::memcpy(into.data() + at, channel + at, n * sizeof(float));
        std::memset(channel + at, 0, n * sizeof(float));
    }
}

std::vector<float> AudioProcessor::loadAudioAsFloatArray(const std::string& fromPath, const ChannelMode& channelMode,
                                                         std::optional<double> startTime, std::optional<double> endTime) {
    AVAudioFile file = openAudioFile(fromPath);
    try {
        return samplesOf(file, channelMode, startTime, endTime);
    } catch (const std::bad_alloc&) {
        throw WhisperError::loadAudioFailed("Not enough memory to load " + fromPath);
    }
}

std::vector<Result<std::vector<float>>> AudioProcessor::loadAudio(const std::vector<std::string>& at,
                                                                  const ChannelMode& channelMode) {
    platform::TaskGroup<std::pair<std::size_t, Result<std::vector<float>>>> group;
    for (std::size_t index = 0; index < at.size(); ++index) {
        group.addTask([index, path = at[index], channelMode] {
            return std::pair{index, catchingResult([&] { return loadAudioAsFloatArray(path, channelMode, 0.0, std::nullopt); })};
        });
    }
    std::vector<std::optional<Result<std::vector<float>>>> ordered(at.size());
    while (auto next = group.next()) ordered[next->first].emplace(std::move(next->second));
    std::vector<Result<std::vector<float>>> results;
    results.reserve(at.size());
    for (auto& result : ordered) results.push_back(std::move(*result));
    return results;
}

}  // namespace sonoscribe
