#include "platform/audio/AVAudioEngine.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <pulse/pulseaudio.h>

#include "platform/audio/AudioDevices.h"
#include "platform/audio/PulseConnection.h"

namespace platform::audio {

// Shared by the engine, its node and the tap thread, so a tap thread that
// outlives a stop from inside its own block still finds it.
struct CaptureState {
    PulseConnection connection{"Dictaro capture"};
    std::optional<std::string> device;
    pa_stream* stream = nullptr;
    std::atomic<bool> running{false};

    std::mutex tapMutex;
    std::condition_variable arrived;
    uint32_t bufferSize = 0;
    AVAudioFormat tapFormat;
    // Shared so that handing it to the tap thread for a buffer is a count,
    // not a copy of the block and what it holds.
    std::shared_ptr<const AVAudioInputNode::TapBlock> block;
    // Interleaved frames from the server, not yet handed to the tap.
    std::vector<float> pending;
    bool stopping = false;
    std::thread tapThread;

    std::optional<std::string> resolvedDevice() const {
        if (device) return device;
        struct Lookup {
            pa_threaded_mainloop* mainloop;
            std::optional<std::string> name;
        } lookup{connection.mainloop(), std::nullopt};
        PulseLock lock(connection);
        connection.wait(pa_context_get_server_info(
            connection.context(),
            [](pa_context*, const pa_server_info* info, void* data) {
                auto* lookup = static_cast<Lookup*>(data);
                if (info != nullptr && info->default_source_name != nullptr) lookup->name = info->default_source_name;
                pa_threaded_mainloop_signal(lookup->mainloop, 0);
            },
            &lookup));
        return lookup.name;
    }

    void runTap() {
        std::shared_ptr<AVAudioPCMBuffer> buffer;
        std::unique_lock lock(tapMutex);
        while (true) {
            const std::size_t needed = std::size_t{bufferSize} * tapFormat.channelCount;
            arrived.wait(lock, [&] { return stopping || (needed > 0 && pending.size() >= needed); });
            if (stopping) return;
            if (!buffer || !(buffer->format() == tapFormat) || buffer->frameCapacity() != bufferSize) {
                buffer = AVAudioPCMBuffer::create(tapFormat, bufferSize);
                if (!buffer) return;
            }
            const uint32_t channels = tapFormat.channelCount;
            for (uint32_t frame = 0; frame < bufferSize; ++frame) {
                for (uint32_t c = 0; c < channels; ++c) buffer->channelData(c)[frame] = pending[frame * channels + c];
            }
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(needed));
            buffer->setFrameLength(bufferSize);
            std::shared_ptr<const AVAudioInputNode::TapBlock> tap = block;
            lock.unlock();
            if (tap) (*tap)(*buffer);
            lock.lock();
        }
    }

    void stopTapThread() {
        {
            std::lock_guard lock(tapMutex);
            stopping = true;
        }
        arrived.notify_all();
        if (!tapThread.joinable()) return;
        if (tapThread.get_id() == std::this_thread::get_id()) {
            tapThread.detach();
        } else {
            tapThread.join();
        }
    }
};

namespace {

void onReadable(pa_stream* stream, std::size_t, void* data) {
    auto* state = static_cast<CaptureState*>(data);
    const void* bytes = nullptr;
    std::size_t size = 0;
    while (pa_stream_readable_size(stream) > 0) {
        if (pa_stream_peek(stream, &bytes, &size) < 0 || size == 0) break;
        {
            std::lock_guard lock(state->tapMutex);
            const std::size_t count = size / sizeof(float);
            if (bytes == nullptr) {
                // A hole in the recording: the server lost data, keep time.
                state->pending.insert(state->pending.end(), count, 0.0f);
            } else {
                const auto* samples = static_cast<const float*>(bytes);
                state->pending.insert(state->pending.end(), samples, samples + count);
            }
        }
        pa_stream_drop(stream);
    }
    state->arrived.notify_one();
}

void signalLoop(pa_stream*, int, void* mainloop) {
    pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(mainloop), 0);
}

void onStreamState(pa_stream*, void* data) {
    pa_threaded_mainloop_signal(static_cast<CaptureState*>(data)->connection.mainloop(), 0);
}

AudioEngineError couldNotRecord(const PulseConnection& connection) {
    return AudioEngineError(std::string("The sound server could not record: ") +
                            pa_strerror(pa_context_errno(connection.context())));
}

}  // namespace

int AVAudioInputNode::setCurrentDevice(uint32_t deviceID) {
    std::optional<std::string> name = pulseName(deviceID);
    if (!name) return -1;
    state_->device = std::move(name);
    return 0;
}

AVAudioFormat AVAudioInputNode::inputFormat(int) const {
    const CaptureState& state = *state_;
    if (!state.connection.isConnected()) return {};
    const std::optional<std::string> name = state.resolvedDevice();
    if (!name) return {};
    struct Lookup {
        pa_threaded_mainloop* mainloop;
        AVAudioFormat format;
    } lookup{state.connection.mainloop(), {}};
    PulseLock lock(state.connection);
    state.connection.wait(pa_context_get_source_info_by_name(
        state.connection.context(), name->c_str(),
        [](pa_context*, const pa_source_info* info, int, void* data) {
            auto* lookup = static_cast<Lookup*>(data);
            if (info != nullptr) lookup->format = {static_cast<double>(info->sample_spec.rate), info->sample_spec.channels};
            pa_threaded_mainloop_signal(lookup->mainloop, 0);
        },
        &lookup));
    return lookup.format;
}

void AVAudioInputNode::installTap(int, uint32_t bufferSize, const AVAudioFormat& format, TapBlock block) {
    std::lock_guard lock(state_->tapMutex);
    state_->bufferSize = bufferSize;
    state_->tapFormat = format;
    state_->block = block ? std::make_shared<const AVAudioInputNode::TapBlock>(std::move(block)) : nullptr;
    // A few buffers of room, so the server's data does not grow it while
    // the tap runs.
    state_->pending.reserve(std::size_t{4} * bufferSize * format.channelCount);
}

void AVAudioInputNode::removeTap(int) {
    std::lock_guard lock(state_->tapMutex);
    state_->block = nullptr;
}

bool AVAudioInputNode::hasTap(int) const {
    std::lock_guard lock(state_->tapMutex);
    return state_->block != nullptr;
}

AVAudioEngine::AVAudioEngine() : state_(std::make_shared<CaptureState>()), inputNode_(state_) {}

AVAudioEngine::~AVAudioEngine() { stop(); }

void AVAudioEngine::start() {
    CaptureState& state = *state_;
    if (!state.connection.isConnected()) throw AudioEngineError("The sound server cannot be reached");
    AVAudioFormat format;
    uint32_t bufferSize = 0;
    {
        std::lock_guard lock(state.tapMutex);
        format = state.tapFormat;
        bufferSize = state.bufferSize;
        state.stopping = false;
    }
    if (format.channelCount == 0 || bufferSize == 0) throw AudioEngineError("The input has no tap to record into");
    {
        PulseLock lock(state.connection);
        if (state.stream != nullptr) {
            // A server that restarted since the pause took the stream with
            // it: resuming it would record nothing.
            if (pa_stream_get_state(state.stream) != PA_STREAM_READY) throw couldNotRecord(state.connection);
            state.connection.wait(pa_stream_cork(state.stream, 0, signalLoop, state.connection.mainloop()));
        } else {
            const pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32LE, static_cast<uint32_t>(format.sampleRate),
                                              static_cast<uint8_t>(format.channelCount)};
            state.stream = pa_stream_new(state.connection.context(), "Dictaro capture", &sampleFormat, nullptr);
            if (state.stream == nullptr) throw AudioEngineError("The sound server refused a recording stream");
            pa_stream_set_state_callback(state.stream, onStreamState, &state);
            pa_stream_set_read_callback(state.stream, onReadable, &state);
            pa_buffer_attr attributes{};
            attributes.maxlength = static_cast<uint32_t>(-1);
            attributes.fragsize = bufferSize * format.channelCount * static_cast<uint32_t>(sizeof(float));
            const char* device = state.device ? state.device->c_str() : nullptr;
            // Channel i is the source's channel i: matching the positions by
            // name would mix an interface's channels into a layout of ours.
            const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_NO_REMAP_CHANNELS);
            if (pa_stream_connect_record(state.stream, device, &attributes, flags) < 0) {
                pa_stream_unref(state.stream);
                state.stream = nullptr;
                throw AudioEngineError("The sound server refused to record");
            }
            while (true) {
                const pa_stream_state_t streamState = pa_stream_get_state(state.stream);
                if (streamState == PA_STREAM_READY) break;
                if (!PA_STREAM_IS_GOOD(streamState)) {
                    AudioEngineError failure = couldNotRecord(state.connection);
                    pa_stream_unref(state.stream);
                    state.stream = nullptr;
                    throw failure;
                }
                pa_threaded_mainloop_wait(state.connection.mainloop());
            }
        }
    }
    if (!state.tapThread.joinable()) state.tapThread = std::thread([captured = state_] { captured->runTap(); });
    state.running = true;
}

void AVAudioEngine::pause() {
    CaptureState& state = *state_;
    PulseLock lock(state.connection);
    if (state.stream != nullptr) state.connection.wait(pa_stream_cork(state.stream, 1, signalLoop, state.connection.mainloop()));
    state.running = false;
}

void AVAudioEngine::stop() {
    CaptureState& state = *state_;
    if (state.connection.isConnected()) {
        PulseLock lock(state.connection);
        if (state.stream != nullptr) {
            pa_stream_set_read_callback(state.stream, nullptr, nullptr);
            pa_stream_disconnect(state.stream);
            pa_stream_unref(state.stream);
            state.stream = nullptr;
        }
    }
    state.stopTapThread();
    {
        std::lock_guard lock(state.tapMutex);
        state.pending.clear();
    }
    state.running = false;
}

bool AVAudioEngine::isRunning() const { return state_->running; }

}  // namespace platform::audio
