#include "speech/decoding/TextUtilities.h"

#include <zlib.h>

#include <limits>
#include <optional>

#include "speech/model/Signposts.h"

namespace sonoscribe {
namespace {

constexpr float infinity = std::numeric_limits<float>::infinity();

// The size of the raw deflate stream (no header, no checksum) of the bytes;
// none when zlib fails.
std::optional<std::size_t> deflatedSize(const unsigned char* bytes, std::size_t count) {
    z_stream stream{};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        Logging::debug("Compression error: " + std::string(stream.msg ? stream.msg : "cannot start deflate"));
        return std::nullopt;
    }
    std::vector<unsigned char> output(deflateBound(&stream, static_cast<uLong>(count)));
    stream.next_in = const_cast<unsigned char*>(bytes);
    stream.avail_in = static_cast<uInt>(count);
    stream.next_out = output.data();
    stream.avail_out = static_cast<uInt>(output.size());
    const int status = deflate(&stream, Z_FINISH);
    const std::size_t size = stream.total_out;
    const std::string message = stream.msg ? stream.msg : "deflate did not finish";
    deflateEnd(&stream);
    if (status != Z_STREAM_END) {
        Logging::debug("Compression error: " + message);
        return std::nullopt;
    }
    return size;
}

float ratio(const unsigned char* bytes, std::size_t count) {
    if (count > std::numeric_limits<uInt>::max()) return infinity;
    const auto compressed = deflatedSize(bytes, count);
    if (!compressed || *compressed == 0) return infinity;
    return static_cast<float>(count) / static_cast<float>(*compressed);
}

}  // namespace

float TextUtilities::compressionRatio(const std::string& text) {
    if (text.empty()) return infinity;
    return ratio(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

float TextUtilities::compressionRatio(const std::vector<int64_t>& tokens) {
    // Nothing decoded is not a loop; infinity here would send every silent
    // window through every fallback temperature.
    if (tokens.empty()) return 0;
    std::vector<unsigned char> bytes(tokens.size() * sizeof(int32_t));
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const auto value = static_cast<uint32_t>(static_cast<int32_t>(tokens[i]));
        for (std::size_t b = 0; b < sizeof(int32_t); ++b) bytes[i * 4 + b] = static_cast<unsigned char>(value >> (8 * b));
    }
    return ratio(bytes.data(), bytes.size());
}

}  // namespace sonoscribe
