#include "app/formatting/OpenAIResponsesFormatter.h"

#include <gtest/gtest.h>

#include "app/formatting/FormattingPrompts.h"
#include "tests/support/ProviderTestSupport.h"

namespace dictaro {
namespace {

using namespace testing;

class OpenAIResponsesFormatterTest : public ::testing::Test {
protected:
    OpenAIResponsesFormatter formatter() const {
        OpenAIResponsesFormatter formatter("sk-proj-secret", "gpt-5.4-mini");
        formatter.endpoint = server_.endpoint() + "/v1/responses";
        return formatter;
    }

    FakeProviderServer server_;
};

std::string event(const std::string& json) { return "data: " + json + "\n\n"; }

TEST_F(OpenAIResponsesFormatterTest, SendsTheResponsesRequest) {
    server_.script("", streamOf({wire::responsesText("ok"), wire::responsesEnd()}));
    const ContextProfile context{ContextProfile::Kind::notes, "Obsidian", std::nullopt};
    testing::collect(formatter().format("list milk eggs", context));

    const auto request = server_.requests().at(0);
    EXPECT_EQ(request.target, "/v1/responses");
    EXPECT_EQ(testing::chosenHeaderNames(request), (std::vector<std::string>{"Content-Type", "Authorization"}));
    EXPECT_EQ(testing::headerValue(request, "Authorization"), "Bearer sk-proj-secret");
    const platform::JSONValue expected(platform::JSONValue::Object{
        {"model", "gpt-5.4-mini"},
        {"instructions", FormattingPrompts::systemPrompt(context)},
        {"input", "list milk eggs"},
        {"stream", platform::JSONNumber::boolean(true)},
        {"max_output_tokens", platform::JSONNumber::signedInteger(1024)},
    });
    EXPECT_EQ(testing::bodyOf(request), testing::canonical(expected));
    EXPECT_NE(request.body.find("\"max_output_tokens\":1024"), std::string::npos);
}

TEST_F(OpenAIResponsesFormatterTest, ReadsEveryEventForm) {
    const std::string errorBody(2100, 'x');
    const std::vector<StreamCase> cases{
        {"other events, pieces with an empty one, then completed; [DONE] after it unread",
         streamOf({event("{\"type\":\"response.created\",\"response\":{}}"), wire::responsesText("a"),
                   wire::responsesText(""), wire::responsesText("b"), wire::responsesEnd(), "data: [DONE]\n",
                   wire::responsesText("c")}),
         {"a", "ab"}, "", End::complete},
        {"a delta event without delta", streamOf({event("{\"type\":\"response.output_text.delta\"}"), wire::responsesEnd()}),
         {}, "", End::complete},
        {"data:[DONE] without the space does not end",
         streamOf({wire::responsesText("a"), "data:[DONE]\n", wire::responsesText("b"), "data: [DONE]\n"}), {"a", "ab"},
         "", End::complete},
        {"failed with an error message",
         streamOf({wire::responsesText("a"),
                   event("{\"type\":\"response.failed\",\"response\":{\"error\":{\"message\":\"quota\"}}}")}),
         {"a"}, "Formatting backend unavailable: quota", End::failed},
        {"incomplete with a null error",
         streamOf({event("{\"type\":\"response.incomplete\",\"response\":{\"error\":null}}")}), {},
         "Formatting backend unavailable: OpenAI response ended with response.incomplete.", End::failed},
        {"failed without an error object", streamOf({event("{\"type\":\"response.failed\"}")}), {},
         "Formatting backend unavailable: OpenAI response ended with response.failed.", End::failed},
        {"a top-level error wins over the type, with the key masked",
         streamOf({event("{\"type\":\"response.output_text.delta\",\"delta\":\"z\",\"error\":{\"message\":\"key "
                         "sk-proj-secret refused\"}}")}),
         {}, "Formatting backend unavailable: key [redacted key] refused", End::failed},
        {"an error event without an error object is ignored",
         streamOf({event("{\"type\":\"error\"}"), wire::responsesText("a"), wire::responsesEnd()}), {"a"}, "",
         End::complete},
        {"an error object without message fails to decode", streamOf({event("{\"type\":\"x\",\"error\":{}}")}), {},
         kMissingMember, End::failed},
        {"a body that stops without an end", streamOf({wire::responsesText("a")}), {"a"}, "", End::noEndMarker},
        {"401 with an envelope echoing the key",
         testing::failing(401, "{\"error\":{\"message\":\"Incorrect API key provided: sk-proj-secret\",\"type\":"
                               "\"invalid_request_error\"}}"),
         {}, "Formatting backend unavailable: Incorrect API key provided: [redacted key]", End::failed},
        {"an envelope split over lines", testing::failing(429, "{\"error\":\n{\"message\":\"slow down\"}}\n"), {},
         "Formatting backend unavailable: slow down", End::failed},
        {"500 with a body that is not JSON", testing::failing(500, "<html>oops</html>"), {},
         "Formatting backend returned HTTP 500", End::failed},
        {"an error body cut after 2000 characters",
         testing::failing(400, "{\"error\":{\"message\":\"" + errorBody + "\n\"}}"), {},
         "Formatting backend returned HTTP 400", End::failed},
    };
    testing::expectCases(server_, cases, [this] { return formatter().format("t", {}); });
}

}  // namespace
}  // namespace dictaro
