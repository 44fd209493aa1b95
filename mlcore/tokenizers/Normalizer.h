#pragma once

#include "mlcore/foundation/Config.h"
#include "platform/text/Regex.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace celvan {

// Rewrites raw text before it is cut into pre-tokens. Normalizers hold no
// mutable state, so one instance serves many threads.
class Normalizer {
public:
    virtual ~Normalizer() = default;
    virtual std::string normalize(const std::string& text) const = 0;
    std::string operator()(const std::string& text) const { return normalize(text); }
};

// A replacement read from a component's "pattern" and "content": a literal
// search text, or a regular expression whose replacement is a template.
class StringReplacePattern {
public:
    static StringReplacePattern regexp(platform::text::Regex regexp, std::string replacement);
    static StringReplacePattern string(std::string pattern, std::string replacement);

    // No pattern when "content" or a usable "pattern" is missing. Throws
    // UnsupportedConfigurationError when the expression does not compile or the content is
    // no template for it.
    static std::optional<StringReplacePattern> from(const Config& config);

    // Every non-overlapping occurrence, left to right, replaced.
    std::string replace(std::string_view text) const;

private:
    struct Regexp {
        platform::text::Regex regexp;
        std::string replacement;
    };
    struct Literal {
        std::string pattern;
        std::string replacement;
    };
    explicit StringReplacePattern(std::variant<Regexp, Literal> form) : form_(std::move(form)) {}

    std::variant<Regexp, Literal> form_;
};

enum class NormalizerType {
    Sequence,
    Prepend,
    Replace,
    Lowercase,
    NFD,
    NFC,
    NFKD,
    NFKC,
    Bert,
    BertNormalizer,
    Precompiled,
    StripAccents,
    Strip,
    empty,
};

// The type a "type" string names, if any.
std::optional<NormalizerType> normalizerType(std::string_view name);

class NormalizerFactory {
public:
    // No normalizer when the configuration is absent or has no string "type".
    // Throws UnsupportedConfigurationError for a type that is unknown or cannot be served.
    static std::shared_ptr<const Normalizer> fromConfig(const Config& config);
};

class NormalizerSequence : public Normalizer {
public:
    explicit NormalizerSequence(const Config& config);
    std::string normalize(const std::string& text) const override;

private:
    std::vector<std::shared_ptr<const Normalizer>> normalizers_;
};

class PrependNormalizer : public Normalizer {
public:
    explicit PrependNormalizer(std::string prepend) : prepend_(std::move(prepend)) {}
    std::string normalize(const std::string& text) const override { return prepend_ + text; }

private:
    std::string prepend_;
};

class ReplaceNormalizer : public Normalizer {
public:
    explicit ReplaceNormalizer(std::optional<StringReplacePattern> pattern) : pattern_(std::move(pattern)) {}
    std::string normalize(const std::string& text) const override;

private:
    std::optional<StringReplacePattern> pattern_;
};

class LowercaseNormalizer : public Normalizer {
public:
    std::string normalize(const std::string& text) const override;
};

class NFDNormalizer : public Normalizer {
public:
    std::string normalize(const std::string& text) const override;
};

class NFCNormalizer : public Normalizer {
public:
    std::string normalize(const std::string& text) const override;
};

class NFKDNormalizer : public Normalizer {
public:
    std::string normalize(const std::string& text) const override;
};

class NFKCNormalizer : public Normalizer {
public:
    std::string normalize(const std::string& text) const override;
};

// A SentencePiece model's character map, approximated by a fixed rewrite of
// control and space characters followed by compatibility composition.
class PrecompiledNormalizer : public Normalizer {
public:
    std::string normalize(const std::string& text) const override;
};

// Drops every nonspacing mark. Files put it after an NFD or NFKD step, which
// splits accented letters into letter and mark first.
class StripAccentsNormalizer : public Normalizer {
public:
    std::string normalize(const std::string& text) const override;
};

class BertNormalizer : public Normalizer {
public:
    explicit BertNormalizer(const Config& config);
    std::string normalize(const std::string& text) const override;

private:
    bool shouldCleanText_;
    bool shouldHandleChineseChars_;
    bool shouldStripAccents_;
    bool shouldLowercase_;
};

class StripNormalizer : public Normalizer {
public:
    StripNormalizer(bool leftStrip, bool rightStrip) : leftStrip_(leftStrip), rightStrip_(rightStrip) {}
    std::string normalize(const std::string& text) const override;

private:
    bool leftStrip_;
    bool rightStrip_;
};

} // namespace celvan
