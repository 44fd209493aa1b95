#include "platform/audio/AVAudioConverter.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libswresample/swresample.h>
}

namespace platform::audio {

namespace {

SwrContext* makeContext(int channels, int inRate, int outRate) {
    AVChannelLayout layout;
    av_channel_layout_default(&layout, channels);
    SwrContext* context = nullptr;
    int status = swr_alloc_set_opts2(&context, &layout, AV_SAMPLE_FMT_FLTP, outRate, &layout, AV_SAMPLE_FMT_FLTP,
                                     inRate, 0, nullptr);
    av_channel_layout_uninit(&layout);
    if (status < 0 || swr_init(context) < 0) {
        swr_free(&context);
        return nullptr;
    }
    return context;
}

std::string errorText(int status) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(status, text, sizeof text);
    return text;
}

}  // namespace

std::unique_ptr<AVAudioConverter> AVAudioConverter::create(const AVAudioFormat& from, const AVAudioFormat& to) {
    if (to.channelCount == 0 || to.channelCount > from.channelCount) return nullptr;
    const double inRate = std::round(from.sampleRate);
    const double outRate = std::round(to.sampleRate);
    if (!(inRate >= 1 && inRate <= 1e7 && outRate >= 1 && outRate <= 1e7)) return nullptr;
    SwrContext* context = makeContext(static_cast<int>(to.channelCount), static_cast<int>(inRate),
                                      static_cast<int>(outRate));
    if (context == nullptr) return nullptr;
    return std::make_unique<AVAudioConverter>(from, to, context);
}

AVAudioConverter::AVAudioConverter(const AVAudioFormat& from, const AVAudioFormat& to, SwrContext* context)
    : from_(from), to_(to), context_(context), outPlanes_(to.channelCount), inPlanes_(to.channelCount) {}

AVAudioConverter::~AVAudioConverter() { swr_free(&context_); }

uint32_t AVAudioConverter::maximumOutputFrames(uint32_t inputFrames) const {
    const int frames = swr_get_out_samples(context_, static_cast<int>(std::min<uint32_t>(inputFrames, INT32_MAX / 2)));
    return frames > 0 ? static_cast<uint32_t>(frames) : 0;
}

void AVAudioConverter::reset() {
    swr_close(context_);
    swr_init(context_);
    ended_ = false;
}

AVAudioConverter::OutputStatus AVAudioConverter::convert(AVAudioPCMBuffer& output, std::string* error,
                                                         const InputBlock& input) {
    auto fail = [&](const std::string& reason) {
        if (error) *error = reason;
        return OutputStatus::error;
    };
    if (!(output.format() == to_)) return fail("The output buffer's format differs from the converter's");
    output.setFrameLength(0);
    if (ended_) return OutputStatus::endOfStream;

    std::vector<uint8_t*>& out = outPlanes_;
    std::vector<const uint8_t*>& in = inPlanes_;
    uint32_t filled = 0;
    auto run = [&](const AVAudioPCMBuffer* source, int count, bool flush) -> int {
        for (uint32_t c = 0; c < to_.channelCount; ++c) {
            out[c] = reinterpret_cast<uint8_t*>(output.channelData(c) + filled);
            if (source) in[c] = reinterpret_cast<const uint8_t*>(source->channelData(c));
        }
        static const uint8_t* none[64] = {};
        const uint8_t** inPlanes = flush ? nullptr : (source ? in.data() : none);
        const int produced = swr_convert(context_, out.data(), static_cast<int>(output.frameCapacity() - filled),
                                         inPlanes, count);
        if (produced > 0) filled += static_cast<uint32_t>(produced);
        output.setFrameLength(filled);
        return produced;
    };

    // What an earlier call left in the resampler comes first.
    if (int status = run(nullptr, 0, false); status < 0) return fail(errorText(status));
    while (filled < output.frameCapacity()) {
        InputStatus inputStatus = InputStatus::noDataNow;
        const AVAudioPCMBuffer* source = input(output.frameCapacity() - filled, inputStatus);
        if (inputStatus == InputStatus::endOfStream) {
            if (int status = run(nullptr, 0, true); status < 0) return fail(errorText(status));
            ended_ = true;
            return OutputStatus::endOfStream;
        }
        if (inputStatus == InputStatus::noDataNow || source == nullptr) {
            return filled > 0 ? OutputStatus::haveData : OutputStatus::inputRanDry;
        }
        if (source->format().channelCount < to_.channelCount || source->format().sampleRate != from_.sampleRate) {
            return fail("The input buffer's format differs from the converter's");
        }
        if (int status = run(source, static_cast<int>(source->frameLength()), false); status < 0) {
            return fail(errorText(status));
        }
    }
    return OutputStatus::haveData;
}

}  // namespace platform::audio
