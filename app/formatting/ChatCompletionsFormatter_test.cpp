#include "app/formatting/ChatCompletionsFormatter.h"

#include <gtest/gtest.h>

#include "app/formatting/FormattingPrompts.h"
#include "tests/support/ProviderTestSupport.h"

namespace dictaro {
namespace {

using namespace testing;

class ChatCompletionsFormatterTest : public ::testing::Test {
protected:
    ChatCompletionsFormatter formatter() const {
        return ChatCompletionsFormatter(*platform::URL::fromString(server_.endpoint() + "/api/paas/v4"), "glm-key",
                                        "glm-5.1");
    }

    FakeProviderServer server_;
};

TEST_F(ChatCompletionsFormatterTest, SendsTheChatRequestUnderTheBasePath) {
    server_.script("", streamOf({wire::chatText("ok"), wire::chatEnd()}));
    const ContextProfile context{ContextProfile::Kind::code, "Zed", std::nullopt};
    testing::collect(formatter().format("fix the loop", context));

    const auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target, "/api/paas/v4/chat/completions");
    EXPECT_EQ(testing::chosenHeaderNames(requests[0]), (std::vector<std::string>{"Content-Type", "Authorization"}));
    EXPECT_EQ(testing::headerValue(requests[0], "Authorization"), "Bearer glm-key");
    const platform::JSONValue expected(platform::JSONValue::Object{
        {"model", "glm-5.1"},
        {"stream", platform::JSONNumber::boolean(true)},
        {"temperature", platform::JSONNumber::doubleFloat(0.2)},
        {"messages", platform::JSONValue::Array{
                         platform::JSONValue::Object{{"role", "system"}, {"content", FormattingPrompts::systemPrompt(context)}},
                         platform::JSONValue::Object{{"role", "user"}, {"content", "fix the loop"}}}},
    });
    EXPECT_EQ(testing::bodyOf(requests[0]), testing::canonical(expected));
}

TEST_F(ChatCompletionsFormatterTest, ReadsEveryChunkForm) {
    const std::vector<StreamCase> cases{
        {"three pieces", streamOf({wire::chatText("A"), wire::chatText("B"), wire::chatText("C"), wire::chatEnd()}),
         {"A", "AB", "ABC"}, "", End::complete},
        {"a delta without content adds nothing",
         streamOf({wire::chatText("A"), "data: {\"choices\":[{\"delta\":{}}]}\n\n",
                   "data: {\"choices\":[{\"delta\":{\"content\":null}}]}\n\n", wire::chatEnd()}),
         {"A"}, "", End::complete},
        {"[DONE] ends and nothing after it is read", streamOf({wire::chatText("A"), "data: [DONE]\n", wire::chatText("B")}),
         {"A"}, "", End::complete},
        {"[DONE] with trailing text is no end marker", streamOf({wire::chatText("A"), "data: [DONE] \n"}), {"A"},
         kWrongShape, End::failed},
        {"only the first choice counts",
         streamOf({"data: {\"choices\":[{\"delta\":{\"content\":\"A\"}},{\"delta\":{\"content\":\"Z\"}}]}\n",
                   wire::chatEnd()}),
         {"A"}, "", End::complete},
        {"no choices is skipped", streamOf({"data: {\"choices\":[]}\n", wire::chatText("A"), wire::chatEnd()}), {"A"}, "",
         End::complete},
        {"an object without choices fails", streamOf({wire::chatText("A"), "data: {\"error\":{\"message\":\"x\"}}\n"}),
         {"A"}, kMissingMember, End::failed},
        {"a choice without delta fails", streamOf({"data: {\"choices\":[{\"index\":0}]}\n"}), {}, kMissingMember,
         End::failed},
        {"a body without [DONE] ends normally but incomplete", streamOf({wire::chatText("A")}), {"A"}, "",
         End::noEndMarker},
        {"the length limit marks the rewrite", streamOf({wire::chatText("A"), wire::chatEnd("length")}), {"A"}, "",
         End::lengthLimit},
        {"404", testing::failing(404, "{\"error\":{\"message\":\"no\"}}"), {}, "Formatting backend returned HTTP 404",
         End::failed},
    };
    testing::expectCases(server_, cases, [this] { return formatter().format("t", {}); });
}

}  // namespace
}  // namespace dictaro
