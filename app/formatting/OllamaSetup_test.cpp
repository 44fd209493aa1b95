#include "app/formatting/OllamaSetup.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "platform/concurrency/MainActor.h"
#include "platform/concurrency/Task.h"
#include "tests/support/FakeProviderServer.h"
#include "tests/support/TempDirectory.h"

namespace dictaro {
namespace {

using namespace std::chrono_literals;
using testsupport::FakeProviderServer;
using testsupport::ScriptedAnswer;
using Progress = OllamaSetup::PullProgress;

ScriptedAnswer json(std::string body, int status = 200) {
    ScriptedAnswer answer;
    answer.status = status;
    answer.contentType = "application/json";
    if (status == 200) {
        answer.write(std::move(body));
    } else {
        answer.errorBody = std::move(body);
    }
    return answer;
}

class OllamaSetupTest : public ::testing::Test {
protected:
    platform::URL host() const { return *platform::URL::fromString(server_.endpoint()); }

    struct PullResult {
        std::vector<Progress> reported;
        std::string error;
        std::optional<OllamaSetupError::Kind> kind;
        bool everyReportOnTheMainActor = true;
    };

    // Pulls on a worker while this thread serves as the main actor.
    PullResult pull(ScriptedAnswer answer) {
        server_.script("/api/pull", std::move(answer));
        PullResult result;
        platform::Task<void> worker([&] {
            try {
                OllamaSetup::pull("qwen3:4b", host(), [&](const Progress& progress) {
                    result.everyReportOnTheMainActor = result.everyReportOnTheMainActor && platform::MainActor::isCurrent();
                    result.reported.push_back(progress);
                });
            } catch (const OllamaSetupError& error) {
                result.error = error.what();
                result.kind = error.kind();
            } catch (const std::exception& error) {
                result.error = error.what();
            }
        });
        std::atomic<bool> done{false};
        platform::Task<void> watcher([&] {
            worker.value();
            done = true;
            platform::MainActor::post([] {});
        });
        while (!done) platform::MainActor::waitAndDrain(10ms);
        watcher.value();
        return result;
    }

    FakeProviderServer server_;
};

TEST_F(OllamaSetupTest, TellsWhetherTheServerRunsAndWhatItHas) {
    using Health = OllamaSetup::Health;
    const std::vector<std::tuple<const char*, ScriptedAnswer, Health>> cases{
        {"models", json(R"({"models":[{"name":"qwen3:4b","size":1},{"name":"llama3.3"}]})"),
         Health::running({"qwen3:4b", "llama3.3"})},
        {"no models", json(R"({"models":[]})"), Health::running({})},
        {"no models member", json(R"({"version":"0.9"})"), Health::unreachable()},
        {"a model without a name", json(R"({"models":[{"size":1}]})"), Health::unreachable()},
        {"not JSON", json("<html>"), Health::unreachable()},
        {"another status", json(R"({"models":[]})", 500), Health::unreachable()},
    };
    for (const auto& [name, answer, expected] : cases) {
        SCOPED_TRACE(name);
        server_.script("/api/tags", answer);
        EXPECT_EQ(OllamaSetup::health(host()), expected);
    }
    EXPECT_EQ(server_.requests().back().method, "GET");
    EXPECT_EQ(server_.requests().back().target, "/api/tags");
}

TEST_F(OllamaSetupTest, ASilentServerIsUnreachableWithinTwoAndAHalfSeconds) {
    ScriptedAnswer silent;
    silent.headDelay = 10s;
    server_.script("/api/tags", silent);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(OllamaSetup::health(host()).isRunning());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);

    int port = 0;
    {
        FakeProviderServer gone;
        port = gone.port();
    }
    EXPECT_FALSE(OllamaSetup::health(*platform::URL::fromString("http://127.0.0.1:" + std::to_string(port))).isRunning());
}

TEST_F(OllamaSetupTest, PullsWithProgressUntilSuccess) {
    const PullResult result = pull(ScriptedAnswer()
                                       .write("{\"status\":\"pulling manifest\"}\n")
                                       .write("  {\"status\":\"pulling abc\",\"digest\":\"sha256:abc\",\"total\":2000,"
                                              "\"completed\":500}\t\n\n")
                                       .write("{\"status\":\"pulling abc\",\"total\":2000,\"completed\":2000}\n")
                                       .write("{\"status\":\"success\"}\n")
                                       .write("{\"status\":\"never read\"}\n"));
    EXPECT_EQ(result.error, "");
    EXPECT_EQ(result.reported, (std::vector<Progress>{{"pulling manifest", std::nullopt, std::nullopt},
                                                      {"pulling abc", 500, 2000},
                                                      {"pulling abc", 2000, 2000},
                                                      {"success", std::nullopt, std::nullopt}}));
    EXPECT_TRUE(result.everyReportOnTheMainActor);
    const testsupport::ProviderRequest request = server_.requests().back();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/api/pull");
    EXPECT_EQ(request.body, R"({"name":"qwen3:4b","stream":true})");
}

TEST_F(OllamaSetupTest, ReportsEveryWayAPullFails) {
    struct Case {
        const char* name;
        ScriptedAnswer answer;
        std::size_t reported;
        OllamaSetupError::Kind kind;
        std::string error;
    };
    const std::vector<Case> cases{
        {"an error line", ScriptedAnswer().write("{\"status\":\"pulling\"}\n").write(
                              "{\"status\":\"pulling\",\"error\":\"disk full\"}\n"),
         1, OllamaSetupError::Kind::serverMessage, "disk full"},
        {"an error line without status", ScriptedAnswer().write("{\"error\":\"pull model manifest: file does not exist\"}\n"),
         0, OllamaSetupError::Kind::decode, "Couldn't parse Ollama response: The data couldn't be read because it is missing."},
        {"cut short before success", ScriptedAnswer().write("{\"status\":\"pulling abc\",\"total\":9,\"completed\":1}\n"), 1,
         OllamaSetupError::Kind::incomplete, "Ollama stopped pulling qwen3:4b before it finished"},
        {"404", json("{\"error\":\"not found\"}", 404), 0, OllamaSetupError::Kind::badStatus, "Ollama returned HTTP 404"},
    };
    for (const Case& scripted : cases) {
        SCOPED_TRACE(scripted.name);
        const PullResult result = pull(scripted.answer);
        EXPECT_EQ(result.reported.size(), scripted.reported);
        EXPECT_EQ(result.kind, scripted.kind);
        EXPECT_EQ(result.error, scripted.error);
    }
}

TEST_F(OllamaSetupTest, APullThatLosesItsConnectionFailsWithTheReadingError) {
    const PullResult result = pull(ScriptedAnswer().write("{\"status\":\"pulling\"}\n").drop());
    EXPECT_EQ(result.reported.size(), 1u);
    EXPECT_EQ(result.kind, std::nullopt);
    EXPECT_EQ(result.error, "The network connection was lost.");
}

class ScopedPath {
public:
    explicit ScopedPath(const std::filesystem::path& folder) : saved_(std::getenv("PATH") ? std::getenv("PATH") : "") {
        ::setenv("PATH", folder.c_str(), 1);
    }
    ~ScopedPath() { ::setenv("PATH", saved_.c_str(), 1); }

private:
    std::string saved_;
};

// A program that writes its arguments to `marker`.
void writeRecorder(const std::filesystem::path& program, const std::filesystem::path& marker) {
    std::ofstream(program) << "#!/bin/sh\necho \"$@\" > " << marker << ".part && /bin/mv " << marker << ".part " << marker
                           << "\n";
    ::chmod(program.c_str(), 0755);
}

std::string waitForFile(const std::filesystem::path& path) {
    for (int i = 0; i < 500 && !std::filesystem::exists(path); ++i) std::this_thread::sleep_for(10ms);
    std::ifstream input(path);
    std::string line;
    std::getline(input, line);
    return line;
}

TEST(OllamaLaunch, StartsTheServerWhenInstalledElseOpensTheDownloadPage) {
    testsupport::TempDirectory folder;
    writeRecorder(folder.path() / "xdg-open", folder.path() / "opened");
    {
        ScopedPath path(folder.path());
        OllamaSetup::launchOrInstall();
    }
    EXPECT_EQ(waitForFile(folder.path() / "opened"), "https://ollama.com/download");

    writeRecorder(folder.path() / "ollama", folder.path() / "started");
    {
        ScopedPath path(folder.path());
        OllamaSetup::launchOrInstall();
    }
    EXPECT_EQ(waitForFile(folder.path() / "started"), "serve");
}

}  // namespace
}  // namespace dictaro
