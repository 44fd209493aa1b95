#include <gtest/gtest.h>

#include <functional>

#include "app/formatting/AnthropicFormatter.h"
#include "app/formatting/ChatCompletionsFormatter.h"
#include "app/formatting/GeminiFormatter.h"
#include "app/formatting/OpenAIResponsesFormatter.h"
#include "app/formatting/ProviderSession.h"
#include "platform/net/HTTPHeaderFields.h"
#include "tests/support/ProviderTestSupport.h"

namespace dictaro {
namespace {

using namespace testing;

const std::vector<std::string> kKeyHeaders{"Authorization", "x-api-key", "x-goog-api-key"};

bool carriesAKey(const testsupport::ProviderRequest& request) {
    for (const auto& [name, value] : request.headers) {
        for (const std::string& key : kKeyHeaders) {
            if (platform::headerNamesEqual(name, key)) return true;
        }
    }
    return false;
}

// Two loopback servers on different ports are two origins: the provider's
// server moves the request to the other one, which must never see the key.
TEST(ProviderSession, ACrossOriginRedirectTakesNoKeyAlong) {
    struct Case {
        std::string name;
        std::string path;
        std::function<FormattingStream(const std::string& base)> start;
        testsupport::ScriptedAnswer answer;
    };
    const std::vector<Case> cases{
        {"anthropic", "/v1/messages",
         [](const std::string& base) {
             AnthropicFormatter formatter("sk-ant-secret", "m");
             formatter.endpoint = base + "/v1/messages";
             return formatter.format("t", {});
         },
         streamOf({wire::anthropicText("moved"), wire::anthropicEnd()})},
        {"openai", "/v1/responses",
         [](const std::string& base) {
             OpenAIResponsesFormatter formatter("sk-openai-secret", "m");
             formatter.endpoint = base + "/v1/responses";
             return formatter.format("t", {});
         },
         streamOf({wire::responsesText("moved"), wire::responsesEnd()})},
        {"chat completions", "/api/paas/v4/chat/completions",
         [](const std::string& base) {
             return ChatCompletionsFormatter(*platform::URL::fromString(base + "/api/paas/v4"), "glm-secret", "m")
                 .format("t", {});
         },
         streamOf({wire::chatText("moved"), wire::chatEnd()})},
        {"gemini", "/v1beta/models/m:streamGenerateContent",
         [](const std::string& base) {
             GeminiFormatter formatter("AIza-secret", "m");
             formatter.endpoint = base;
             return formatter.format("t", {});
         },
         streamOf({wire::geminiText("moved"), wire::geminiEnd()})},
    };
    for (const Case& scripted : cases) {
        SCOPED_TRACE(scripted.name);
        FakeProviderServer provider;
        FakeProviderServer elsewhere;
        testsupport::ScriptedAnswer moved = failing(307);
        moved.location = elsewhere.endpoint() + scripted.path + (scripted.name == "gemini" ? "?alt=sse" : "");
        provider.script("", moved);
        elsewhere.script(scripted.path, scripted.answer);

        const Outcome outcome = collect(scripted.start(provider.endpoint()));
        EXPECT_EQ(outcome.elements, std::vector<std::string>{"moved"});
        EXPECT_EQ(outcome.error, "");
        ASSERT_EQ(provider.requests().size(), 1u);
        EXPECT_TRUE(carriesAKey(provider.requests()[0]));
        ASSERT_EQ(elsewhere.requests().size(), 1u);
        EXPECT_FALSE(carriesAKey(elsewhere.requests()[0]));
    }
}

// No test server speaks TLS, so the move from https to http is put to the
// rule itself, as the session would when the provider's answer redirects.
TEST(ProviderSession, RefusesToTakeAKeyFromHttpsToPlainHttp) {
    constexpr const char* kSent = "https://api.example.com/v1/messages";
    constexpr const char* kPlain = "http://127.0.0.1:8080/v1/messages";
    constexpr const char* kRefusal =
        "Formatting backend unavailable: refused the redirect from https://api.example.com/v1/messages to "
        "http://127.0.0.1:8080/v1/messages, which would send the API key unencrypted";
    struct Case {
        std::string keyHeader;  // none when empty
        std::string target;
        std::string refusal;  // the error's text; empty when the redirect is followed
        std::vector<std::string> headersSentOn;
    };
    const std::vector<Case> cases{
        {"Authorization", kPlain, kRefusal, {}},
        {"x-api-key", kPlain, kRefusal, {}},
        {"x-goog-api-key", kPlain, kRefusal, {}},
        {"", kPlain, "", {"Content-Type"}},
        {"x-api-key", "https://api.example.com:443/v2/messages", "", {"Content-Type", "x-api-key"}},
    };
    provider::KeyGuardingRedirects rule;
    for (const Case& scripted : cases) {
        SCOPED_TRACE(scripted.keyHeader + " to " + scripted.target);
        platform::URLRequest sent(kSent);
        sent.httpMethod = "POST";
        sent.setValue("application/json", "Content-Type");
        if (!scripted.keyHeader.empty()) sent.setValue("secret", scripted.keyHeader);
        platform::URLSessionTask task(1, sent);
        platform::HTTPURLResponse moved{kSent, 307, {}};
        moved.allHeaderFields.setValue("Location", scripted.target);
        platform::URLRequest next = sent;
        next.url = scripted.target;

        std::optional<platform::URLRequest> followed;
        std::string refusal;
        try {
            followed = rule.willPerformHTTPRedirection(task, moved, next);
        } catch (const FormattingError& error) {
            EXPECT_EQ(error.kind(), FormattingError::Kind::backendUnavailable);
            refusal = error.what();
        }
        EXPECT_EQ(refusal, scripted.refusal);
        if (!scripted.refusal.empty()) continue;
        ASSERT_TRUE(followed.has_value());
        EXPECT_EQ(followed->url, scripted.target);
        std::vector<std::string> names;
        for (const auto& [name, value] : followed->allHTTPHeaderFields.fields()) names.push_back(name);
        EXPECT_EQ(names, scripted.headersSentOn);
    }
}

}  // namespace
}  // namespace dictaro
