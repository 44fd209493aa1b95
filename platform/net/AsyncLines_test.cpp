#include "platform/net/AsyncLines.h"

#include <gtest/gtest.h>

#include <chrono>

#include "platform/net/URLSession.h"
#include "tests/support/FakeProviderServer.h"

namespace platform {
namespace {

using namespace std::chrono_literals;
using testsupport::ScriptedAnswer;

TEST(AsyncLines, SplitsAtEveryLineEndWhereverTheReadsBreak) {
    struct Case {
        const char* name;
        std::vector<std::string> writes;  // each arrives in a read of its own
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases{
        {"LF, CR and CRLF", {"a\nb\rc\r\nd\n"}, {"a", "b", "c", "d"}},
        {"CRLF split between reads is one end", {"a\r", "\nb\n"}, {"a", "b"}},
        {"CR then CR is an empty line", {"a\r", "\rb"}, {"a", "", "b"}},
        {"blank lines are kept", {"\n\na\n"}, {"", "", "a"}},
        {"a line across three reads", {"da", "ta: x", "yz\n"}, {"data: xyz"}},
        {"a last line without an end", {"a\nb"}, {"a", "b"}},
        {"bytes that are not UTF-8", {"a\xFF" "b\n"}, {"a\xEF\xBF\xBD" "b"}},
        {"a character split between reads", {"\xC3", "\xA9\n"}, {"\xC3\xA9"}},
    };
    testsupport::FakeProviderServer server;
    for (const Case& scripted : cases) {
        SCOPED_TRACE(scripted.name);
        ScriptedAnswer answer;
        for (const std::string& bytes : scripted.writes) answer.write(bytes).pause(15ms);
        server.script("", answer);
        AsyncBytes bytes = URLSession::shared()->bytes(URLRequest(server.endpoint() + "/lines"));
        AsyncLines lines(bytes);
        std::vector<std::string> read;
        while (std::optional<std::string> line = lines.next()) read.push_back(*line);
        EXPECT_EQ(read, scripted.lines);
    }
}

TEST(AsyncLines, HandsALineOnBeforeTheNextBytesArrive) {
    testsupport::FakeProviderServer server;
    server.script("", ScriptedAnswer().write("first\r").pause(800ms).write("\nsecond\n"));
    AsyncBytes bytes = URLSession::shared()->bytes(URLRequest(server.endpoint() + "/lines"));
    AsyncLines lines(bytes);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(lines.next(), "first");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    EXPECT_EQ(lines.next(), "second");
    EXPECT_EQ(lines.next(), std::nullopt);
}

}  // namespace
}  // namespace platform
