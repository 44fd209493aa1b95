#include "app/formatting/FormattingStream.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "app/formatting/AnthropicFormatter.h"
#include "app/formatting/ChatCompletionsFormatter.h"
#include "app/formatting/GeminiFormatter.h"
#include "app/formatting/OllamaFormatter.h"
#include "app/formatting/OpenAIResponsesFormatter.h"
#include "app/formatting/ProviderSession.h"
#include "platform/concurrency/Task.h"
#include "tests/support/ProviderTestSupport.h"

namespace dictaro {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using testsupport::FakeProviderServer;
using testsupport::ScriptedAnswer;
namespace wire = testsupport::wire;

class FormattingStreamTest : public ::testing::Test {
protected:
    AnthropicFormatter formatter(double timeoutInterval = 60) const {
        AnthropicFormatter formatter("key", "model");
        formatter.endpoint = server_.endpoint() + "/v1/messages";
        formatter.timeoutInterval = timeoutInterval;
        return formatter;
    }

    // Waits until the providers' session has no transfer left and says how long that took.
    static Clock::duration untilNoTransfers(Clock::time_point since) {
        while (!provider::session()->allTasks().empty() && Clock::now() - since < 5s) {
            std::this_thread::sleep_for(1ms);
        }
        return Clock::now() - since;
    }

    FakeProviderServer server_;
};

TEST_F(FormattingStreamTest, HandsEachPieceOnAsSoonAsTheServerWritesIt) {
    ScriptedAnswer answer;
    for (const char* piece : {"one ", "two ", "three ", "four ", "five"}) answer.write(wire::anthropicText(piece)).pause(80ms);
    server_.script("", answer.write(wire::anthropicEnd()));

    std::vector<Clock::time_point> received;
    FormattingStream stream = formatter().format("t", {});
    for (const std::string& element : stream) {
        (void)element;
        received.push_back(Clock::now());
    }
    const std::vector<Clock::time_point> written = server_.writeTimes();
    ASSERT_EQ(received.size(), 5u);
    ASSERT_GE(written.size(), 5u);
    for (std::size_t i = 0; i < received.size(); ++i) {
        // Well inside the 80 ms the server waits before its next piece, so
        // no piece waited for the one after it.
        EXPECT_LT(received[i] - written[i], 60ms) << "piece " << i;
    }
    EXPECT_TRUE(stream.ending().isComplete());
}

TEST_F(FormattingStreamTest, AStallPastTheIdleTimeoutFails) {
    server_.script("", ScriptedAnswer().write(wire::anthropicText("A")).pause(10s));
    const Clock::time_point start = Clock::now();
    const testing::Outcome outcome = testing::collect(formatter(1).format("t", {}));
    EXPECT_EQ(outcome.elements, (std::vector<std::string>{"A"}));
    EXPECT_EQ(outcome.error, "The request timed out.");
    EXPECT_EQ(outcome.end.kind, FormattingEnd::Kind::failed);
    EXPECT_LT(Clock::now() - start, 5s);
}

// A model may think for a while before its first word: only a whole minute
// of silence ends a provider's exchange.
TEST(FormattingTimeout, EveryProviderWaitsAMinuteOfSilence) {
    const platform::URL base = *platform::URL::fromString("https://provider.example");
    EXPECT_EQ(AnthropicFormatter("key", "model").timeoutInterval, 60.0);
    EXPECT_EQ(ChatCompletionsFormatter(base, "key", "model").timeoutInterval, 60.0);
    EXPECT_EQ(GeminiFormatter("key", "model").timeoutInterval, 60.0);
    EXPECT_EQ(OpenAIResponsesFormatter("key", "model").timeoutInterval, 60.0);
    EXPECT_EQ(OllamaFormatter(base, "model").timeoutInterval, 60.0);
}

TEST_F(FormattingStreamTest, CancellingTheConsumerEndsTheExchangeQuicklyAndWithoutError) {
    struct Case {
        const char* name;
        ScriptedAnswer answer;
        bool waitForFirstElement;
    };
    const std::vector<Case> cases{
        {"while the answer streams", ScriptedAnswer().write(wire::anthropicText("A")).pause(10s), true},
        {"before the answer's head", [] {
             ScriptedAnswer answer;
             answer.headDelay = 10s;
             return answer;
         }(), false},
    };
    for (const Case& scripted : cases) {
        SCOPED_TRACE(scripted.name);
        server_.script("", scripted.answer);
        FormattingStream stream = formatter().format("t", {});
        std::atomic<bool> sawFirst{false};
        platform::Task<testing::Outcome> consumer([&stream, &sawFirst] {
            testing::Outcome outcome;
            try {
                while (const std::string* element = stream.next()) {
                    outcome.elements.push_back(*element);
                    sawFirst = true;
                }
            } catch (const std::exception& error) {
                outcome.error = error.what();
            }
            return outcome;
        });
        while (scripted.waitForFirstElement && !sawFirst) std::this_thread::sleep_for(1ms);
        while (provider::session()->allTasks().empty()) std::this_thread::sleep_for(1ms);

        const Clock::time_point cancelled = Clock::now();
        consumer.cancel();
        const testing::Outcome outcome = consumer.value();
        EXPECT_EQ(outcome.error, "");
        // The goal is 100 ms; the bound leaves room for a loaded machine.
        EXPECT_LT(untilNoTransfers(cancelled), 250ms);
        EXPECT_FALSE(stream.ending().isComplete());
    }
}

TEST_F(FormattingStreamTest, DroppingTheStreamCancelsTheRequest) {
    server_.script("", ScriptedAnswer().write(wire::anthropicText("A")).pause(10s));
    {
        FormattingStream stream = formatter().format("t", {});
        ASSERT_NE(stream.next(), nullptr);
    }
    EXPECT_LT(untilNoTransfers(Clock::now()), 250ms);
}

TEST_F(FormattingStreamTest, OneFormatterServesSeveralExchangesAtOnce) {
    constexpr int kExchanges = 4;
    for (int i = 0; i < kExchanges; ++i) {
        ScriptedAnswer answer;
        for (int piece = 0; piece < 20; ++piece) answer.write(wire::anthropicText("x")).pause(2ms);
        server_.script("", answer.write(wire::anthropicEnd()));
    }
    const AnthropicFormatter shared = formatter();
    std::vector<platform::Task<testing::Outcome>> consumers;
    for (int i = 0; i < kExchanges; ++i) {
        consumers.emplace_back([&shared] { return testing::collect(shared.format("t", {})); });
    }
    for (auto& consumer : consumers) {
        const testing::Outcome outcome = consumer.value();
        ASSERT_EQ(outcome.elements.size(), 20u);
        EXPECT_EQ(outcome.elements.back(), std::string(20, 'x'));
        EXPECT_TRUE(outcome.end.isComplete());
    }
}

TEST_F(FormattingStreamTest, RewritesInARowShareOneConnection) {
    for (int i = 0; i < 8; ++i) {
        server_.script("", testing::streamOf({wire::anthropicText("A"), wire::anthropicEnd()}));
        EXPECT_TRUE(testing::collect(formatter().format("t", {})).end.isComplete());
    }
    EXPECT_EQ(server_.connectionCount(), 1);
}

}  // namespace
}  // namespace dictaro
