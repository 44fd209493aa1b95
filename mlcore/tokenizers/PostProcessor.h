#pragma once

#include "mlcore/foundation/Config.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace celvan {

// Adds a model's special tokens (a leading class token, separators) to the
// token strings of one text, and joins an optional second text.
class PostProcessor {
public:
    virtual ~PostProcessor() = default;
    // The token lists are taken by value: a caller done with them moves them
    // in, and the tokens of a long text are not copied again.
    virtual std::vector<std::string> postProcess(std::vector<std::string> tokens,
                                                 std::optional<std::vector<std::string>> tokensPair,
                                                 bool addSpecialTokens) const = 0;
    std::vector<std::string> operator()(std::vector<std::string> tokens,
                                        std::optional<std::vector<std::string>> tokensPair = std::nullopt,
                                        bool addSpecialTokens = true) const {
        return postProcess(std::move(tokens), std::move(tokensPair), addSpecialTokens);
    }
};

enum class PostProcessorType { TemplateProcessing, ByteLevel, RobertaProcessing, BertProcessing, Sequence };

std::optional<PostProcessorType> postProcessorType(std::string_view name);

class PostProcessorFactory {
public:
    // No post-processor when the configuration is absent or has no string
    // "type". Throws UnsupportedConfigurationError for a type that is unknown or a setting
    // that is missing.
    static std::shared_ptr<const PostProcessor> fromConfig(const Config& config);
};

class TemplateProcessing : public PostProcessor {
public:
    explicit TemplateProcessing(const Config& config);
    std::vector<std::string> postProcess(std::vector<std::string> tokens,
                                         std::optional<std::vector<std::string>> tokensPair,
                                         bool addSpecialTokens) const override;

    // One template entry: a special token, or the first or second sequence.
    struct Item {
        enum class Kind { specialToken, sequenceA, sequenceB } kind;
        std::string token;
    };

private:
    std::vector<Item> single_;
    std::vector<Item> pair_;
};

class ByteLevelPostProcessor : public PostProcessor {
public:
    std::vector<std::string> postProcess(std::vector<std::string> tokens,
                                         std::optional<std::vector<std::string>> tokensPair,
                                         bool addSpecialTokens) const override;
};

class RobertaProcessing : public PostProcessor {
public:
    explicit RobertaProcessing(const Config& config);
    std::vector<std::string> postProcess(std::vector<std::string> tokens,
                                         std::optional<std::vector<std::string>> tokensPair,
                                         bool addSpecialTokens) const override;

private:
    std::string cleaned(const std::string& token) const;

    std::string sep_;
    std::string cls_;
    bool trimOffset_;
    bool addPrefixSpace_;
};

class BertProcessing : public PostProcessor {
public:
    explicit BertProcessing(const Config& config);
    std::vector<std::string> postProcess(std::vector<std::string> tokens,
                                         std::optional<std::vector<std::string>> tokensPair,
                                         bool addSpecialTokens) const override;

private:
    std::string sep_;
    std::string cls_;
};

class SequenceProcessing : public PostProcessor {
public:
    explicit SequenceProcessing(const Config& config);
    std::vector<std::string> postProcess(std::vector<std::string> tokens,
                                         std::optional<std::vector<std::string>> tokensPair,
                                         bool addSpecialTokens) const override;

private:
    std::vector<std::shared_ptr<const PostProcessor>> processors_;
};

} // namespace celvan
