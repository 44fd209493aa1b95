#pragma once

#include "mlcore/foundation/Config.h"
#include "mlcore/tokenizers/Normalizer.h"
#include "mlcore/tokenizers/Vocabulary.h"
#include "platform/text/Regex.h"

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace celvan {

// Turns the token strings of decoded ids back into text pieces, which the
// caller joins. Decoders hold no mutable state.
class Decoder {
public:
    virtual ~Decoder() = default;
    virtual std::vector<std::string> decode(const std::vector<std::string>& tokens) const = 0;
    std::vector<std::string> operator()(const std::vector<std::string>& tokens) const { return decode(tokens); }
};

enum class DecoderType { Sequence, WordPiece, ByteLevel, Replace, ByteFallback, Fuse, Strip, Metaspace, empty };

std::optional<DecoderType> decoderType(std::string_view name);

class DecoderFactory {
public:
    // No decoder when the configuration is absent or has no string "type".
    // Throws UnsupportedConfigurationError for a type that is unknown or a setting that is
    // missing. The added tokens are those a ByteLevel decoder passes through.
    static std::shared_ptr<const Decoder> fromConfig(const Config& config,
                                                     const std::set<std::string>& addedTokens = {});
};

class DecoderSequence : public Decoder {
public:
    explicit DecoderSequence(const Config& config);
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;

private:
    std::vector<std::shared_ptr<const Decoder>> decoders_;
};

class WordPieceDecoder : public Decoder {
public:
    explicit WordPieceDecoder(const Config& config);
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;

private:
    std::string cleanedUp(const std::string& token) const;

    std::string prefix_;
    bool cleanup_;
};

class ByteLevelDecoder : public Decoder {
public:
    explicit ByteLevelDecoder(const std::set<std::string>& addedTokens)
        : addedTokens_(addedTokens.begin(), addedTokens.end()) {}
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;

private:
    // Asked once per decoded token, so hashed rather than ordered.
    std::unordered_set<std::string, TextHash, std::equal_to<>> addedTokens_;
};

class ReplaceDecoder : public Decoder {
public:
    explicit ReplaceDecoder(std::optional<StringReplacePattern> pattern) : pattern_(std::move(pattern)) {}
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;

private:
    std::optional<StringReplacePattern> pattern_;
};

class ByteFallbackDecoder : public Decoder {
public:
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;
};

class FuseDecoder : public Decoder {
public:
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;
};

class StripDecoder : public Decoder {
public:
    explicit StripDecoder(const Config& config);
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;

private:
    std::string content_;
    int64_t start_;
    int64_t stop_;
};

class MetaspaceDecoder : public Decoder {
public:
    explicit MetaspaceDecoder(const Config& config);
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;

private:
    bool addPrefixSpace_;
    std::string replacement_;
};

} // namespace celvan
