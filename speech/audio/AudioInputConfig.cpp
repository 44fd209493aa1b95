#include "speech/audio/AudioInputConfig.h"

namespace sonoscribe {

using ChannelMode = AudioInputConfig::ChannelMode;

void JsonCoder<ChannelMode>::encode(JsonWriter& writer, const ChannelMode& mode) {
    writer.beginObject();
    if (mode.kind() == ChannelMode::Kind::specificChannel) {
        writer.key("specificChannel");
        writer.beginObject();
        writer.field("_0", mode.channel());
        writer.endObject();
    } else {
        writer.key("sumChannels");
        writer.beginObject();
        if (mode.channels()) {
            writer.key("_0");
            writer.array(*mode.channels());
        }
        writer.endObject();
    }
    writer.endObject();
}

ChannelMode JsonCoder<ChannelMode>::decode(const Json& value, const CodingPath& path) {
    json::requireObject(value, path, "ChannelMode");
    if (value.size() != 1) {
        throw DecodingError(DecodingError::Kind::typeMismatch, path.render(), "Invalid number of keys found, expected one.");
    }
    if (const Json* nested = json::optionalMember(value, "specificChannel")) {
        const json::ObjectReader reader(*nested, path.key("specificChannel"), "ChannelMode");
        return ChannelMode::specificChannel(reader.required("_0", json::decodeInt));
    }
    const Json& nested = json::requiredMember(value, "sumChannels", path);
    const json::ObjectReader reader(nested, path.key("sumChannels"), "ChannelMode");
    return ChannelMode::sumChannels(reader.optional("_0", json::decodeIntArray));
}

}  // namespace sonoscribe
