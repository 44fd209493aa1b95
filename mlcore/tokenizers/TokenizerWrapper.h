#pragma once

#include "mlcore/tokenizers/Tokenizer.h"

#include <memory>

namespace celvan {

// The speech engine's handle on a loaded tokenizer: a value that shares one
// immutable tokenizer, so copies are cheap and threads may use it at once.
class TokenizerWrapper {
public:
    explicit TokenizerWrapper(std::shared_ptr<const Tokenizer> impl) : impl_(std::move(impl)) {}

    std::vector<std::string> tokenize(const std::string& text) const { return impl_->tokenize(text); }
    std::vector<int64_t> encode(const std::string& text) const { return impl_->encode(text); }
    std::vector<int64_t> encode(const std::string& text, bool addSpecialTokens) const {
        return impl_->encode(text, addSpecialTokens);
    }
    std::string decode(const std::vector<int64_t>& tokens) const { return impl_->decode(tokens); }
    std::string decode(const std::vector<int64_t>& tokens, bool skipSpecialTokens) const {
        return impl_->decode(tokens, skipSpecialTokens);
    }
    std::optional<int64_t> convertTokenToId(const std::string& token) const { return impl_->convertTokenToId(token); }
    std::vector<std::optional<int64_t>> convertTokensToIds(const std::vector<std::string>& tokens) const {
        return impl_->convertTokensToIds(tokens);
    }
    std::optional<std::string> convertIdToToken(int64_t id) const { return impl_->convertIdToToken(id); }
    std::vector<std::optional<std::string>> convertIdsToTokens(const std::vector<int64_t>& ids) const {
        return impl_->convertIdsToTokens(ids);
    }

    std::optional<std::string> bosToken() const { return impl_->bosToken(); }
    std::optional<int64_t> bosTokenId() const { return impl_->bosTokenId(); }
    std::optional<std::string> eosToken() const { return impl_->eosToken(); }
    std::optional<int64_t> eosTokenId() const { return impl_->eosTokenId(); }
    std::optional<std::string> unknownToken() const { return impl_->unknownToken(); }
    std::optional<int64_t> unknownTokenId() const { return impl_->unknownTokenId(); }

private:
    std::shared_ptr<const Tokenizer> impl_;
};

} // namespace celvan
