#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "speech/model/JsonCoding.h"

namespace sonoscribe {

// How the file loaders fold several channels into one.
struct AudioInputConfig {
    class ChannelMode {
    public:
        enum class Kind { specificChannel, sumChannels };

        // Only this channel (from 0).
        static ChannelMode specificChannel(int64_t channel) { return ChannelMode(Kind::specificChannel, channel, {}); }
        // The sum of these channels, or of all when none are given, at the
        // peak of the loudest one.
        static ChannelMode sumChannels(std::optional<std::vector<int64_t>> channels) {
            return ChannelMode(Kind::sumChannels, 0, std::move(channels));
        }

        Kind kind() const noexcept { return kind_; }
        int64_t channel() const noexcept { return channel_; }
        const std::optional<std::vector<int64_t>>& channels() const noexcept { return channels_; }

        bool operator==(const ChannelMode&) const = default;

    private:
        ChannelMode(Kind kind, int64_t channel, std::optional<std::vector<int64_t>> channels)
            : kind_(kind), channel_(channel), channels_(std::move(channels)) {}

        Kind kind_;
        int64_t channel_;
        std::optional<std::vector<int64_t>> channels_;
    };

    ChannelMode channelMode = ChannelMode::sumChannels(std::nullopt);
};

template <>
struct JsonCoder<AudioInputConfig::ChannelMode> {
    static void encode(JsonWriter& writer, const AudioInputConfig::ChannelMode& mode);
    static AudioInputConfig::ChannelMode decode(const Json& value, const CodingPath& path);
};

}  // namespace sonoscribe
