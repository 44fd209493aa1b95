#include "platform/audio/AVAudioFile.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/audio/AudioFileError.h"
#include "platform/audio/CodecLog.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libswresample/swresample.h>
}

namespace platform::audio {

namespace {

std::string errorText(int status) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(status, text, sizeof text);
    return text;
}

}  // namespace

// The demuxer and decoder, with decoded frames not yet handed out.
struct AVAudioFile::Decoder {
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    SwrContext* toFloat = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    int stream = -1;
    bool demuxerDone = false;
    // Frames decoded since the start of the stream, including pending ones.
    int64_t decodedFrames = 0;
    std::vector<std::vector<float>> pending;
    std::size_t pendingOffset = 0;

    ~Decoder() {
        av_frame_free(&frame);
        av_packet_free(&packet);
        swr_free(&toFloat);
        avcodec_free_context(&codec);
        avformat_close_input(&format);
    }

    std::size_t pendingFrames() const { return pending.empty() ? 0 : pending[0].size() - pendingOffset; }
};

AVAudioFile::AVAudioFile(const std::string& path) : path_(path) {
    open();
    const AVStream* stream = decoder_->format->streams[decoder_->stream];
    const double rate = format_.sampleRate;
    if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
        length_ = av_rescale_q(stream->duration, stream->time_base, AVRational{1, static_cast<int>(rate)});
    } else if (decoder_->format->duration != AV_NOPTS_VALUE && decoder_->format->duration > 0) {
        length_ = av_rescale_q(decoder_->format->duration, AV_TIME_BASE_Q, AVRational{1, static_cast<int>(rate)});
    } else {
        // No declared length: count the frames once, then start over.
        while (decodeMore()) {
        }
        length_ = decoder_->decodedFrames;
        open();
    }
}

AVAudioFile::~AVAudioFile() = default;

void AVAudioFile::open() {
    routeCodecLog();
    auto decoder = std::make_unique<Decoder>();
    auto fail = [&](const std::string& why) { throw AudioFileError("The file " + path_ + " " + why); };
    int status = avformat_open_input(&decoder->format, path_.c_str(), nullptr, nullptr);
    if (status < 0) fail("could not be opened: " + errorText(status));
    status = avformat_find_stream_info(decoder->format, nullptr);
    if (status < 0) fail("could not be read: " + errorText(status));
    const AVCodec* codec = nullptr;
    decoder->stream = av_find_best_stream(decoder->format, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (decoder->stream < 0 || codec == nullptr) fail("holds no audio that can be decoded");
    const AVCodecParameters* parameters = decoder->format->streams[decoder->stream]->codecpar;
    decoder->codec = avcodec_alloc_context3(codec);
    if (decoder->codec == nullptr || avcodec_parameters_to_context(decoder->codec, parameters) < 0) {
        fail("has audio parameters that cannot be used");
    }
    status = avcodec_open2(decoder->codec, codec, nullptr);
    if (status < 0) fail("has audio that cannot be decoded: " + errorText(status));
    const int channels = decoder->codec->ch_layout.nb_channels;
    const auto format = AVAudioFormat::standardFormat(decoder->codec->sample_rate, static_cast<uint32_t>(std::max(channels, 0)));
    if (!format) fail("declares an unusable sample rate or channel count");
    format_ = *format;
    decoder->packet = av_packet_alloc();
    decoder->frame = av_frame_alloc();
    if (decoder->packet == nullptr || decoder->frame == nullptr) fail("could not be read: out of memory");
    decoder->pending.assign(format_.channelCount, {});
    decoder_ = std::move(decoder);
    framePosition_ = 0;
}

// Decodes one more frame into the pending planes; false at the end.
bool AVAudioFile::decodeMore() {
    Decoder& d = *decoder_;
    while (true) {
        int status = avcodec_receive_frame(d.codec, d.frame);
        if (status == 0) break;
        if (status == AVERROR_EOF) return false;
        // Damaged data (a packet cut off at the end of a truncated file) is
        // skipped, as players do.
        if (status == AVERROR_INVALIDDATA) continue;
        if (status != AVERROR(EAGAIN)) throw AudioFileError("The file " + path_ + " could not be decoded: " + errorText(status));
        if (d.demuxerDone) return false;
        status = av_read_frame(d.format, d.packet);
        if (status == AVERROR_EOF) {
            d.demuxerDone = true;
            avcodec_send_packet(d.codec, nullptr);
            continue;
        }
        if (status < 0) throw AudioFileError("The file " + path_ + " could not be read: " + errorText(status));
        if (d.packet->stream_index == d.stream) {
            status = avcodec_send_packet(d.codec, d.packet);
            // A damaged packet is skipped, as players do.
            if (status < 0 && status != AVERROR_INVALIDDATA && status != AVERROR(EAGAIN)) {
                av_packet_unref(d.packet);
                throw AudioFileError("The file " + path_ + " could not be decoded: " + errorText(status));
            }
        }
        av_packet_unref(d.packet);
    }

    const int frames = d.frame->nb_samples;
    if (d.frame->ch_layout.nb_channels != static_cast<int>(format_.channelCount) ||
        d.frame->sample_rate != static_cast<int>(format_.sampleRate)) {
        av_frame_unref(d.frame);
        throw AudioFileError("The file " + path_ + " changes its sample rate or channel count midway");
    }
    if (d.toFloat == nullptr) {
        const int status = swr_alloc_set_opts2(&d.toFloat, &d.frame->ch_layout, AV_SAMPLE_FMT_FLTP, d.frame->sample_rate,
                                               &d.frame->ch_layout, static_cast<AVSampleFormat>(d.frame->format),
                                               d.frame->sample_rate, 0, nullptr);
        if (status < 0 || swr_init(d.toFloat) < 0) {
            av_frame_unref(d.frame);
            throw AudioFileError("The file " + path_ + " has samples that cannot be converted");
        }
    }
    // Drop what was handed out before appending, so the planes stay small.
    for (auto& plane : d.pending) plane.erase(plane.begin(), plane.begin() + static_cast<std::ptrdiff_t>(d.pendingOffset));
    d.pendingOffset = 0;
    const std::size_t start = d.pending[0].size();
    std::vector<uint8_t*> out(format_.channelCount);
    for (uint32_t c = 0; c < format_.channelCount; ++c) {
        d.pending[c].resize(start + static_cast<std::size_t>(frames));
        out[c] = reinterpret_cast<uint8_t*>(d.pending[c].data() + start);
    }
    const int converted = swr_convert(d.toFloat, out.data(), frames, const_cast<const uint8_t**>(d.frame->extended_data), frames);
    av_frame_unref(d.frame);
    if (converted < 0) throw AudioFileError("The file " + path_ + " has samples that cannot be converted");
    for (auto& plane : d.pending) plane.resize(start + static_cast<std::size_t>(converted));
    d.decodedFrames += converted;
    return true;
}

void AVAudioFile::setFramePosition(int64_t position) { framePosition_ = std::max<int64_t>(position, 0); }

void AVAudioFile::read(AVAudioPCMBuffer& buffer, uint32_t frameCount) {
    if (!(buffer.format() == format_)) throw AudioFileError("The buffer's format differs from the file's");
    Decoder* d = decoder_.get();
    const int64_t handedOut = d->decodedFrames - static_cast<int64_t>(d->pendingFrames());
    if (framePosition_ < handedOut) {
        // Going back: decode again from the start, which is exact for every
        // codec, unlike a demuxer seek.
        const int64_t target = framePosition_;
        open();
        framePosition_ = target;
        d = decoder_.get();
    }
    // Skip forward to the read position.
    while (d->decodedFrames - static_cast<int64_t>(d->pendingFrames()) < framePosition_) {
        const int64_t at = d->decodedFrames - static_cast<int64_t>(d->pendingFrames());
        if (d->pendingFrames() == 0 && !decodeMore()) break;
        const auto skip = static_cast<std::size_t>(std::min<int64_t>(framePosition_ - at, static_cast<int64_t>(d->pendingFrames())));
        d->pendingOffset += skip;
    }
    const uint32_t wanted = std::min(frameCount, buffer.frameCapacity());
    uint32_t filled = 0;
    while (filled < wanted) {
        if (d->pendingFrames() == 0 && !decodeMore()) break;
        const auto take = static_cast<uint32_t>(std::min<std::size_t>(wanted - filled, d->pendingFrames()));
        for (uint32_t c = 0; c < format_.channelCount; ++c) {
            std::memcpy(buffer.channelData(c) + filled, d->pending[c].data() + d->pendingOffset, take * sizeof(float));
        }
        d->pendingOffset += take;
        filled += take;
    }
    buffer.setFrameLength(filled);
    framePosition_ += filled;
}

}  // namespace platform::audio
