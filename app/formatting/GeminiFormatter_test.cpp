#include "app/formatting/GeminiFormatter.h"

#include <gtest/gtest.h>

#include "app/formatting/FormattingPrompts.h"
#include "tests/support/ProviderTestSupport.h"

namespace dictaro {
namespace {

using namespace testing;

class GeminiFormatterTest : public ::testing::Test {
protected:
    GeminiFormatter formatter(const std::string& model = "gemini-2.5-flash-lite") const {
        GeminiFormatter formatter("AIza-secret", model);
        formatter.endpoint = server_.endpoint();
        return formatter;
    }

    FakeProviderServer server_;
};

TEST_F(GeminiFormatterTest, SendsTheKeyAsAHeaderAndTheModelAsOnePathSegment) {
    const ContextProfile context{ContextProfile::Kind::chat, std::nullopt, std::nullopt};
    const std::vector<std::pair<std::string, std::string>> models{
        {"gemini-2.5-flash-lite", "/v1beta/models/gemini-2.5-flash-lite:streamGenerateContent"},
        {"x?key=stolen", "/v1beta/models/x%3Fkey=stolen:streamGenerateContent"},
        {"x#frag", "/v1beta/models/x%23frag:streamGenerateContent"},
        {"../../evil/path", "/v1beta/models/..%2F..%2Fevil%2Fpath:streamGenerateContent"},
        {"two words", "/v1beta/models/two%20words:streamGenerateContent"},
    };
    for (const auto& [model, path] : models) {
        SCOPED_TRACE(model);
        server_.script("", streamOf({wire::geminiText("ok"), wire::geminiEnd()}));
        const testing::Outcome outcome = testing::collect(formatter(model).format("hi", context));
        EXPECT_EQ(outcome.elements, (std::vector<std::string>{"ok"}));
        const testsupport::ProviderRequest request = server_.requests().back();
        EXPECT_EQ(request.target, path + "?alt=sse");
    }

    const testsupport::ProviderRequest request = server_.requests().front();
    EXPECT_EQ(testing::chosenHeaderNames(request), (std::vector<std::string>{"Content-Type", "x-goog-api-key"}));
    EXPECT_EQ(testing::headerValue(request, "x-goog-api-key"), "AIza-secret");
    using Object = platform::JSONValue::Object;
    using Array = platform::JSONValue::Array;
    const platform::JSONValue expected(Object{
        {"system_instruction", Object{{"parts", Array{Object{{"text", FormattingPrompts::systemPrompt(context)}}}}}},
        {"contents", Array{Object{{"role", "user"}, {"parts", Array{Object{{"text", "hi"}}}}}}},
        {"generationConfig", Object{{"temperature", platform::JSONNumber::doubleFloat(0.2)}}},
    });
    EXPECT_EQ(testing::bodyOf(request), testing::canonical(expected));
}

TEST_F(GeminiFormatterTest, AnAddressThatDoesNotParseSendsNothing) {
    GeminiFormatter broken = formatter("gemini-2.5-flash");
    broken.endpoint = "http://127.0.0.1:port";
    const testing::Outcome outcome = testing::collect(broken.format("hi", {}));
    EXPECT_EQ(outcome.error, "Formatting backend unavailable: Bad Gemini URL for model gemini-2.5-flash");
    EXPECT_TRUE(server_.requests().empty());
}

TEST_F(GeminiFormatterTest, ReadsEveryChunkForm) {
    const std::vector<StreamCase> cases{
        {"three pieces", streamOf({wire::geminiText("A"), wire::geminiText("B"), wire::geminiText("C"), wire::geminiEnd()}),
         {"A", "AB", "ABC"}, "", End::complete},
        {"parts are joined, parts without text left out",
         streamOf({"data: {\"candidates\":[{\"content\":{\"parts\":[{\"text\":\"A\"},{\"text\":\"B\"},{\"inline\":1}]}}]}\n",
                   wire::geminiEnd()}),
         {"AB"}, "", End::complete},
        {"only the first candidate counts",
         streamOf({"data: {\"candidates\":[{\"content\":{\"parts\":[{\"text\":\"A\"}]}},{\"content\":{\"parts\":[{\"text\":"
                   "\"Z\"}]}}]}\n",
                   wire::geminiEnd()}),
         {"A"}, "", End::complete},
        {"an empty object is skipped", streamOf({"data: {}\n", wire::geminiText("A"), wire::geminiEnd()}), {"A"}, "",
         End::complete},
        {"[DONE] is no end marker", streamOf({wire::geminiText("A"), "data: [DONE]\n"}), {"A"},
         kWrongShape,
         End::failed},
        {"a body that just ends, without a finish reason", streamOf({wire::geminiText("A")}), {"A"}, "",
         End::noEndMarker},
        {"the length limit marks the rewrite", streamOf({wire::geminiText("A"), wire::geminiEnd("MAX_TOKENS")}), {"A"}, "",
         End::lengthLimit},
        {"any finish reason but STOP marks the rewrite", streamOf({wire::geminiText("A"), wire::geminiEnd("SAFETY")}),
         {"A"}, "", End::providerError},
        {"an error object in the stream is skipped but marks the rewrite",
         streamOf({wire::geminiText("A"), "data: {\"error\":{\"code\":500,\"message\":\"internal\"}}\n"}), {"A"}, "",
         End::providerError},
        {"500", testing::failing(500), {}, "Formatting backend returned HTTP 500", End::failed},
    };
    testing::expectCases(server_, cases, [this] { return formatter().format("t", {}); });
}

}  // namespace
}  // namespace dictaro
