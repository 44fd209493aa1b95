#include "app/dictation/LogFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "app/dictation/Log.h"
#include "tests/support/LogLines.h"
#include "tests/support/TempDirectory.h"

namespace dictaro {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

unsigned modeOf(const fs::path& path) {
    struct stat info {};
    ::stat(path.c_str(), &info);
    return info.st_mode & 07777;
}

// "€" is three bytes; `filler` repeats it so the cut lands inside one.
std::string repeated(std::string_view unit, std::size_t bytes) {
    std::string text;
    while (text.size() + unit.size() <= bytes) text.append(unit);
    text.append(bytes - text.size(), 'x');
    return text;
}

TEST(LogFile, TrimsOnceAboveTheLimitOnACharacterBoundaryWhileEightThreadsWrite) {
    const std::string euros = repeated("€", 524'289);  // 174,763 "€" and 'x' 'x'
    struct Case {
        const char* name;
        std::string before;
        std::string kept;
    };
    const std::string ascii288 = repeated("a", 524'288);
    const std::string ascii289 = std::string("b") + repeated("a", 524'288);
    // Of the last 262,144 bytes of `euros`, the first lands two bytes into a
    // "€": those two continuation bytes are dropped.
    const std::string eurosTail = euros.substr(euros.size() - 262'144);
    const Case cases[] = {
        {"at the limit", ascii288, ascii288},
        {"one byte above", ascii289, ascii289.substr(ascii289.size() - 262'144)},
        {"cut inside a character", euros, eurosTail.substr(eurosTail.find("\xE2\x82\xAC"))},
        {"no file yet", "", ""},
    };
    ASSERT_NE(eurosTail.find("\xE2\x82\xAC"), 0u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDirectory home;
        const fs::path file = home.path() / "state" / "dictaro" / "dictaro.log";
        if (!c.before.empty()) {
            fs::create_directories(file.parent_path());
            fs::permissions(file.parent_path(), fs::perms(0755));
            std::ofstream(file, std::ios::binary) << c.before;
            fs::permissions(file, fs::perms(0644));
        }
        LogFile log(file);
        constexpr int threads = 8;
        constexpr int linesPerThread = 200;
        std::vector<std::thread> writers;
        for (int t = 0; t < threads; ++t) {
            writers.emplace_back([&log, t] {
                for (int i = 0; i < linesPerThread; ++i) {
                    log.append("thread " + std::to_string(t) + " line " + std::to_string(i) + " ✓\n");
                }
            });
        }
        for (auto& writer : writers) writer.join();
        log.waitUntilWritten();

        const std::string after = readFile(file);
        ASSERT_GE(after.size(), c.kept.size());
        EXPECT_TRUE(after.compare(0, c.kept.size(), c.kept) == 0) << "the kept part differs";
        std::istringstream lines(after.substr(c.kept.size()));
        std::vector<int> nextLine(threads, 0);
        int count = 0;
        const std::regex layout(R"(thread (\d) line (\d+) ✓)");
        for (std::string line; std::getline(lines, line); ++count) {
            std::smatch match;
            ASSERT_TRUE(std::regex_match(line, match, layout)) << "torn line: " << line;
            const int t = std::stoi(match[1]);
            EXPECT_EQ(std::stoi(match[2]), nextLine[t]++) << "lines of one thread out of order";
        }
        EXPECT_EQ(count, threads * linesPerThread);
        EXPECT_EQ(modeOf(file), 0600u);
        EXPECT_EQ(modeOf(file.parent_path()), 0700u);
    }
}

TEST(Log, WritesLevelCategoryAndMessageUnescapedAndMirrorsWithoutStamp) {
    testsupport::TempDirectory state;
    ::setenv("XDG_STATE_HOME", state.path().c_str(), 1);
    auto systemLog = testsupport::LogLines::install();

    Log::error("audio", "capture failed\nsecond line");
    Log::info("app", "Application launched (formatting=false, provider=ollama)");
    Log::waitUntilWritten();
    systemLog->uninstall();

    EXPECT_EQ(Log::fileURL(), state.path() / "dictaro" / "dictaro.log");
    const std::string stamp = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)";
    const std::regex expected(stamp + R"( ERROR \[audio\] capture failed\nsecond line\n)" + stamp +
                              R"( INFO \[app\] Application launched \(formatting=false, provider=ollama\)\n)");
    const std::string content = readFile(Log::fileURL());
    EXPECT_TRUE(std::regex_match(content, expected)) << content;
    EXPECT_EQ(systemLog->texts(), (std::vector<std::string>{"[audio] capture failed\nsecond line",
                                                     "[app] Application launched (formatting=false, provider=ollama)"}));
    EXPECT_EQ(Log::timestamp(std::chrono::system_clock::time_point(std::chrono::milliseconds(1'700'000'000'007))),
              "2023-11-14T22:13:20.007Z");
}

}  // namespace
}  // namespace dictaro
