#include "app/formatting/AnthropicFormatter.h"

#include <gtest/gtest.h>

#include "app/formatting/FormattingPrompts.h"
#include "tests/support/ProviderTestSupport.h"

namespace dictaro {
namespace {

using namespace testing;

class AnthropicFormatterTest : public ::testing::Test {
protected:
    AnthropicFormatter formatter() const {
        AnthropicFormatter formatter("sk-ant-secret-key", "claude-haiku-4-5-20251001");
        formatter.endpoint = server_.endpoint() + "/v1/messages";
        return formatter;
    }

    FakeProviderServer server_;
};

TEST_F(AnthropicFormatterTest, SendsTheMessagesRequestWithItsHeadersInOrder) {
    server_.script("/v1/messages", streamOf({wire::anthropicText("ok"), wire::anthropicEnd()}));
    const ContextProfile context{ContextProfile::Kind::email, "Thunderbird", "Subject"};
    testing::collect(formatter().format("hello  there\n", context));

    const auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& request = requests[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/v1/messages");
    EXPECT_EQ(testing::chosenHeaderNames(request),
              (std::vector<std::string>{"content-type", "x-api-key", "anthropic-version"}));
    EXPECT_EQ(testing::headerValue(request, "x-api-key"), "sk-ant-secret-key");
    EXPECT_EQ(testing::headerValue(request, "anthropic-version"), "2023-06-01");
    EXPECT_EQ(testing::headerValue(request, "content-type"), "application/json");

    const platform::JSONValue expected(platform::JSONValue::Object{
        {"model", "claude-haiku-4-5-20251001"},
        {"max_tokens", platform::JSONNumber::signedInteger(1024)},
        {"stream", platform::JSONNumber::boolean(true)},
        {"system", FormattingPrompts::systemPrompt(context)},
        {"messages", platform::JSONValue::Array{platform::JSONValue::Object{{"role", "user"}, {"content", "hello  there\n"}}}},
        {"temperature", platform::JSONNumber::doubleFloat(0.2)},
    });
    EXPECT_EQ(testing::bodyOf(request), testing::canonical(expected));
    EXPECT_NE(request.body.find("\"max_tokens\":1024,"), std::string::npos) << request.body;
}

TEST_F(AnthropicFormatterTest, ReadsEveryEventForm) {
    const std::string empty = "data: {\"type\":\"content_block_delta\",\"delta\":{\"type\":\"text_delta\",\"text\":\"\"}}\n\n";
    const std::string noText = "data: {\"type\":\"content_block_delta\",\"delta\":{\"type\":\"input_json_delta\"}}\n\n";
    const std::string errorEvent =
        "event: error\ndata: {\"type\":\"error\",\"error\":{\"type\":\"overloaded_error\",\"message\":"
        "\"bad key sk-ant-secret-key\"}}\n\n";
    const std::vector<StreamCase> cases{
        {"three pieces", streamOf({wire::anthropicText("A"), wire::anthropicText("B"), wire::anthropicText("C"),
                                   wire::anthropicEnd()}),
         {"A", "AB", "ABC"}, "", End::complete},
        {"empty and missing text add nothing",
         streamOf({wire::anthropicText("A"), empty, noText, wire::anthropicText("B"), wire::anthropicEnd()}),
         {"A", "AB"}, "", End::complete},
        {"lines after message_stop are not read",
         streamOf({wire::anthropicText("A"), wire::anthropicEnd(), wire::anthropicText("B")}), {"A"}, "", End::complete},
        {"no message_stop ends normally but incomplete", streamOf({wire::anthropicText("A")}), {"A"}, "",
         End::noEndMarker},
        {"no text at all", streamOf({wire::anthropicEnd()}), {}, "", End::complete},
        {"data lines without the space or with a leading space are ignored",
         streamOf({"data:{\"type\":\"content_block_delta\",\"delta\":{\"text\":\"X\"}}\n",
                   " data: {\"type\":\"content_block_delta\",\"delta\":{\"text\":\"Y\"}}\n", wire::anthropicText("A"),
                   wire::anthropicEnd()}),
         {"A"}, "", End::complete},
        {"unknown types are skipped", streamOf({"data: {\"type\":\"ping\"}\n\n", wire::anthropicText("A"),
                                                wire::anthropicEnd()}),
         {"A"}, "", End::complete},
        {"an event without type fails", streamOf({wire::anthropicText("A"), "data: {}\n\n"}), {"A"},
         kMissingMember, End::failed},
        {"a delta of the wrong type fails", streamOf({"data: {\"type\":\"content_block_delta\",\"delta\":\"x\"}\n"}), {},
         kWrongShape,
         End::failed},
        {"[DONE] is no event", streamOf({"data: [DONE]\n"}), {},
         kWrongShape,
         End::failed},
        {"an error event is skipped but marks the rewrite", streamOf({wire::anthropicText("A"), errorEvent}), {"A"}, "",
         End::providerError},
        {"the length limit marks the rewrite", streamOf({wire::anthropicText("A"), wire::anthropicEnd("max_tokens")}),
         {"A"}, "", End::lengthLimit},
        {"401", testing::failing(401, "{\"type\":\"error\"}"), {}, "Formatting backend returned HTTP 401", End::failed},
        {"204 is a failure too", testing::failing(204), {}, "Formatting backend returned HTTP 204", End::failed},
        {"a connection dropped mid-answer", streamOf({wire::anthropicText("A")}).drop(), {"A"},
         "The network connection was lost.", End::failed},
    };
    testing::expectCases(server_, cases, [this] { return formatter().format("t", {}); });
}

TEST_F(AnthropicFormatterTest, ErrorEventNamesTheProblemWithoutTheKey) {
    server_.script("", streamOf({"data: {\"type\":\"error\",\"error\":{\"message\":\"key sk-ant-secret-key is revoked\"}}\n"}));
    const testing::Outcome outcome = testing::collect(formatter().format("t", {}));
    EXPECT_EQ(outcome.end.detail, "key [redacted key] is revoked");
}

}  // namespace
}  // namespace dictaro
