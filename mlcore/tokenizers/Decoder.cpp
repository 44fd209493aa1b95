#include "mlcore/tokenizers/Decoder.h"

#include "mlcore/tokenizers/ByteEncoder.h"
#include "mlcore/tokenizers/ComponentSettings.h"
#include "mlcore/tokenizers/StringPreTokenization.h"
#include "platform/text/Utf.h"

#include <array>
#include <utility>

namespace celvan {
namespace {

using platform::text::Regex;

constexpr std::array<std::pair<std::string_view, DecoderType>, 9> kDecoderTypes = {{
    {"Sequence", DecoderType::Sequence},
    {"WordPiece", DecoderType::WordPiece},
    {"ByteLevel", DecoderType::ByteLevel},
    {"Replace", DecoderType::Replace},
    {"ByteFallback", DecoderType::ByteFallback},
    {"Fuse", DecoderType::Fuse},
    {"Strip", DecoderType::Strip},
    {"Metaspace", DecoderType::Metaspace},
    {"", DecoderType::empty},
}};

const Regex& spaceBeforePunctuation() {
    static const Regex re(R"(\s(\.|\?|\!|\,|'\s|n't|'m|'s|'ve|'re))");
    return re;
}

std::string joined(const std::vector<std::string>& tokens) {
    std::string text;
    for (const auto& token : tokens) text.append(token);
    return text;
}

// The bytes the characters of a byte-level run stand for, read as UTF-8.
std::string decodedRun(const std::string& run) {
    std::string bytes;
    bytes.reserve(run.size());
    for (const char32_t character : platform::text::toScalars(run)) {
        if (const auto byte = decodedByte(character)) {
            bytes.push_back(static_cast<char>(*byte));
        } else {
            // Not a byte character: a vocabulary entry outside the table is
            // kept as the text it spells.
            platform::text::appendUtf8(bytes, character);
        }
    }
    return platform::text::repairUtf8(bytes);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<uint8_t> fallbackByte(const std::string& token) {
    if (token.size() != 6 || !token.starts_with("<0x") || token.back() != '>') return std::nullopt;
    const int high = hexDigit(token[3]);
    const int low = hexDigit(token[4]);
    if (high < 0 || low < 0) return std::nullopt;
    return static_cast<uint8_t>(high * 16 + low);
}

std::string stripped(const std::string& token, std::string_view content, int64_t start, int64_t stop) {
    std::string_view rest = token;
    if (content.empty()) return token;
    for (int64_t i = 0; i < start && rest.starts_with(content); ++i) rest.remove_prefix(content.size());
    for (int64_t i = 0; i < stop && rest.ends_with(content); ++i) rest.remove_suffix(content.size());
    return std::string(rest);
}

std::string requiredString(const Config& config, const char* name, const std::string& missing) {
    const auto value = config[name].string();
    if (!value) rejectConfiguration(missing);
    return *value;
}

int64_t requiredInteger(const Config& config, const char* name, const std::string& missing) {
    const auto value = config[name].integer();
    if (!value) rejectConfiguration(missing);
    return *value;
}

} // namespace

std::optional<DecoderType> decoderType(std::string_view name) { return namedValue(kDecoderTypes, name); }

std::shared_ptr<const Decoder> DecoderFactory::fromConfig(const Config& config, const std::set<std::string>& addedTokens) {
    const auto name = componentType(config);
    if (!name) return nullptr;
    const auto type = decoderType(*name);
    if (!type) rejectConfiguration("Unsupported Decoder type: " + *name);
    switch (*type) {
    case DecoderType::Sequence: return std::make_shared<DecoderSequence>(config);
    case DecoderType::WordPiece: return std::make_shared<WordPieceDecoder>(config);
    case DecoderType::ByteLevel: return std::make_shared<ByteLevelDecoder>(addedTokens);
    case DecoderType::Replace: return std::make_shared<ReplaceDecoder>(StringReplacePattern::from(config));
    case DecoderType::ByteFallback: return std::make_shared<ByteFallbackDecoder>();
    case DecoderType::Fuse: return std::make_shared<FuseDecoder>();
    case DecoderType::Strip: return std::make_shared<StripDecoder>(config);
    case DecoderType::Metaspace: return std::make_shared<MetaspaceDecoder>(config);
    case DecoderType::empty: break;
    }
    rejectConfiguration("Unsupported Decoder type: " + *name);
}

DecoderSequence::DecoderSequence(const Config& config) {
    const auto elements = config["decoders"].array();
    if (!elements) rejectConfiguration("No decoders in Sequence");
    for (const auto& element : *elements) {
        if (auto decoder = DecoderFactory::fromConfig(element)) decoders_.push_back(std::move(decoder));
    }
}

std::vector<std::string> DecoderSequence::decode(const std::vector<std::string>& tokens) const {
    std::vector<std::string> pieces = tokens;
    for (const auto& decoder : decoders_) pieces = (*decoder)(pieces);
    return pieces;
}

WordPieceDecoder::WordPieceDecoder(const Config& config)
    : prefix_(requiredString(config, "prefix", "Missing `prefix` configuration for WordPieceDecoder.")),
      cleanup_(booleanSetting(config, "cleanup", false)) {}

std::string WordPieceDecoder::cleanedUp(const std::string& token) const {
    return replacingOccurrences(spaceBeforePunctuation().replacingMatches(token, "$1"), " do not", " don't");
}

std::vector<std::string> WordPieceDecoder::decode(const std::vector<std::string>& tokens) const {
    std::vector<std::string> pieces;
    pieces.reserve(tokens.size());
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        std::string piece = tokens[i];
        if (i > 0) {
            if (piece.starts_with(prefix_)) {
                piece.erase(0, prefix_.size());
            } else {
                piece = " " + piece;
            }
        }
        pieces.push_back(cleanup_ ? cleanedUp(piece) : std::move(piece));
    }
    return pieces;
}

std::vector<std::string> ByteLevelDecoder::decode(const std::vector<std::string>& tokens) const {
    std::vector<std::string> pieces;
    std::string run;
    bool pending = false;
    for (const auto& token : tokens) {
        if (addedTokens_.contains(token)) {
            if (pending) pieces.push_back(decodedRun(run));
            run.clear();
            pending = false;
            pieces.push_back(token);
        } else {
            run.append(token);
            pending = true;
        }
    }
    if (pending) pieces.push_back(decodedRun(run));
    return pieces;
}

std::vector<std::string> ReplaceDecoder::decode(const std::vector<std::string>& tokens) const {
    if (!pattern_) return tokens;
    std::vector<std::string> pieces;
    pieces.reserve(tokens.size());
    for (const auto& token : tokens) pieces.push_back(pattern_->replace(token));
    return pieces;
}

std::vector<std::string> ByteFallbackDecoder::decode(const std::vector<std::string>& tokens) const {
    std::vector<std::string> pieces;
    std::string bytes;
    for (const auto& token : tokens) {
        if (const auto byte = fallbackByte(token)) {
            bytes.push_back(static_cast<char>(*byte));
            continue;
        }
        if (!bytes.empty()) {
            pieces.push_back(platform::text::repairUtf8(bytes));
            bytes.clear();
        }
        pieces.push_back(token);
    }
    if (!bytes.empty()) pieces.push_back(platform::text::repairUtf8(bytes));
    return pieces;
}

std::vector<std::string> FuseDecoder::decode(const std::vector<std::string>& tokens) const { return {joined(tokens)}; }

StripDecoder::StripDecoder(const Config& config)
    : content_(requiredString(config, "content", "Incorrect StripDecoder configuration: can't parse `content`.")),
      start_(requiredInteger(config, "start", "Incorrect StripDecoder configuration: can't parse `start`.")),
      stop_(requiredInteger(config, "stop", "Incorrect StripDecoder configuration: can't parse `stop`.")) {}

std::vector<std::string> StripDecoder::decode(const std::vector<std::string>& tokens) const {
    std::vector<std::string> pieces;
    pieces.reserve(tokens.size());
    for (const auto& token : tokens) pieces.push_back(stripped(token, content_, start_, stop_));
    return pieces;
}

MetaspaceDecoder::MetaspaceDecoder(const Config& config)
    : addPrefixSpace_(false), replacement_(config["replacement"].string().value_or("_")) {
    // Newer files say "prepend_scheme" instead of "add_prefix_space"; a
    // scheme other than "never" put a space in front when encoding.
    const auto scheme = config["prependScheme"].string();
    addPrefixSpace_ = booleanSetting(config, "addPrefixSpace", scheme.has_value() && *scheme != "never");
}

std::vector<std::string> MetaspaceDecoder::decode(const std::vector<std::string>& tokens) const {
    std::vector<std::string> pieces;
    pieces.reserve(tokens.size());
    for (const auto& token : tokens) pieces.push_back(replacingOccurrences(token, replacement_, " "));
    if (addPrefixSpace_ && !pieces.empty() && pieces.front().starts_with(' ')) pieces.front().erase(0, 1);
    return pieces;
}

} // namespace celvan
