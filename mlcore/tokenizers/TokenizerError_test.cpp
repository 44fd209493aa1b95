#include "mlcore/tokenizers/TokenizerError.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace celvan {
namespace {

TEST(TokenizerError, CarriesItsKindPayloadAndMessage) {
    using K = TokenizerError::Kind;
    struct Case {
        TokenizerError error;
        K kind;
        std::string payload;
        std::string message;
    };
    const std::vector<Case> cases = {
        {TokenizerError::unsupportedTokenizer("FooTokenizer"), K::unsupportedTokenizer, "FooTokenizer",
         "The tokenizer type 'FooTokenizer' is not supported."},
        {TokenizerError::tooLong("abc"), K::tooLong, "abc", "Input is too long: abc"},
        {TokenizerError::mismatchedConfig("add_bos_token is True but bos_token is nil"), K::mismatchedConfig,
         "add_bos_token is True but bos_token is nil",
         "Tokenizer configuration mismatch: add_bos_token is True but bos_token is nil"},
        {TokenizerError::missingConfig(), K::missingConfig, "", "Tokenizer configuration is missing."},
        {TokenizerError::missingTokenizerClassInConfig(), K::missingTokenizerClassInConfig, "",
         "The tokenizer class is not specified in the configuration."},
        {TokenizerError::missingVocab(), K::missingVocab, "", "Vocabulary file is missing from the tokenizer configuration."},
        {TokenizerError::malformedVocab(), K::malformedVocab, "", "The vocabulary file is malformed or corrupted."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.error.kind(), c.kind);
        EXPECT_EQ(c.error.payload(), c.payload);
        EXPECT_EQ(std::string(c.error.what()), c.message);
    }
}

} // namespace
} // namespace celvan
