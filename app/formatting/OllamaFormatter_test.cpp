#include "app/formatting/OllamaFormatter.h"

#include <gtest/gtest.h>

#include "app/formatting/FormattingPrompts.h"
#include "tests/support/ProviderTestSupport.h"

namespace dictaro {
namespace {

using namespace testing;

class OllamaFormatterTest : public ::testing::Test {
protected:
    OllamaFormatter formatter() const { return OllamaFormatter(*platform::URL::fromString(server_.endpoint()), "qwen3:4b"); }

    FakeProviderServer server_;
};

TEST_F(OllamaFormatterTest, SendsTheChatRequestWithIntegerLimits) {
    server_.script("", streamOf({wire::ollamaText("ok"), wire::ollamaEnd()}));
    const ContextProfile context{ContextProfile::Kind::terminal, "kitty", std::nullopt};
    testing::collect(formatter().format("list files", context));

    const auto request = server_.requests().at(0);
    EXPECT_EQ(request.target, "/api/chat");
    EXPECT_EQ(testing::chosenHeaderNames(request), (std::vector<std::string>{"Content-Type"}));
    using Object = platform::JSONValue::Object;
    const platform::JSONValue expected(Object{
        {"model", "qwen3:4b"},
        {"stream", platform::JSONNumber::boolean(true)},
        {"messages", platform::JSONValue::Array{Object{{"role", "system"}, {"content", FormattingPrompts::systemPrompt(context)}},
                                                Object{{"role", "user"}, {"content", "list files"}}}},
        {"options", Object{{"temperature", platform::JSONNumber::doubleFloat(0.2)},
                           {"num_predict", platform::JSONNumber::signedInteger(512)}}},
    });
    EXPECT_EQ(testing::bodyOf(request), testing::canonical(expected));
    EXPECT_NE(request.body.find("\"num_predict\":512}"), std::string::npos) << request.body;
}

TEST_F(OllamaFormatterTest, ReadsEveryLineForm) {
    const std::vector<StreamCase> cases{
        {"a, empty, b, then done", streamOf({wire::ollamaText("a"), wire::ollamaText(""), wire::ollamaText("b"), wire::ollamaEnd()}),
         {"a", "ab"}, "", End::complete},
        {"content on the final chunk",
         streamOf({wire::ollamaText("a"), "{\"message\":{\"content\":\"b\"},\"done\":true,\"done_reason\":\"stop\"}\n"}),
         {"a", "ab"}, "", End::complete},
        {"lines after done are not read", streamOf({wire::ollamaText("a"), wire::ollamaEnd(), wire::ollamaText("b")}), {"a"},
         "", End::complete},
        {"blank lines and lines of spaces and tabs are skipped; lines are trimmed",
         streamOf({"\n", " \t \n", " \t" + wire::ollamaText("a").substr(0, wire::ollamaText("a").size() - 1) + "\t \n",
                   "\xC2\xA0" + wire::ollamaEnd()}),
         {"a"}, "", End::complete},
        {"a body without done", streamOf({wire::ollamaText("a")}), {"a"}, "", End::noEndMarker},
        {"the length limit marks the rewrite", streamOf({wire::ollamaText("a"), wire::ollamaEnd("length")}), {"a"}, "",
         End::lengthLimit},
        {"a message without done fails", streamOf({wire::ollamaText("a"), "{\"message\":{\"content\":\"b\"}}\n"}), {"a"},
         kMissingMember, End::failed},
        {"an error line fails", streamOf({"{\"error\":\"model not found\"}\n"}), {},
         kMissingMember, End::failed},
        {"404", testing::failing(404, "{\"error\":\"model 'x' not found\"}"), {}, "Formatting backend returned HTTP 404",
         End::failed},
    };
    testing::expectCases(server_, cases, [this] { return formatter().format("t", {}); });
}

TEST(OllamaFormatterWithoutServer, IsUnavailable) {
    // A port that was just free: nothing listens there any more.
    int port = 0;
    {
        FakeProviderServer server;
        port = server.port();
    }
    OllamaFormatter formatter(*platform::URL::fromString("http://127.0.0.1:" + std::to_string(port)), "m");
    const testing::Outcome outcome = testing::collect(formatter.format("t", {}));
    EXPECT_EQ(outcome.errorKind, FormattingError::Kind::backendUnavailable);
    EXPECT_EQ(outcome.error, "Formatting backend unavailable: Could not connect to the server.");
}

}  // namespace
}  // namespace dictaro
