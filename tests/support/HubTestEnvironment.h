#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "mlcore/hub/CacheLayout.h"
#include "mlcore/hub/HubApi.h"
#include "mlcore/hub/HubFileDownloader.h"
#include "tests/support/TestHubServer.h"

namespace celvan::testing {

// A hub on 127.0.0.1 serving a repository folder, a cache folder, and an
// environment of our own: a temporary HOME and explicit hub variables, so
// that no real token, cache or proxy of the machine takes part.
class HubTestEnvironment : public ::testing::Test {
protected:
    static constexpr const char* repoId = "owner/model";

    void SetUp() override {
        static std::atomic<int> counter{0};
        root_ = std::filesystem::temp_directory_path() /
                ("celvan-hub-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::remove_all(root_);
        std::filesystem::create_directories(serverRoot() / "models" / repoId);
        std::filesystem::create_directories(home());
        for (const char* name : {"HF_TOKEN", "HUGGING_FACE_HUB_TOKEN", "HF_TOKEN_PATH", "http_proxy", "https_proxy",
                                 "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "all_proxy", "CI_DISABLE_NETWORK_MONITOR"}) {
            ::unsetenv(name);
        }
        ::setenv("HOME", home().c_str(), 1);
        ::setenv("HF_HOME", (home() / ".hf").c_str(), 1);
        ::setenv("no_proxy", "127.0.0.1,localhost", 1);
        server_ = std::make_unique<testsupport::TestHubServer>(serverRoot(), largeFileThreshold());
        ::setenv("HF_ENDPOINT", server_->endpoint().c_str(), 1);
    }

    void TearDown() override {
        server_.reset();
        std::filesystem::remove_all(root_);
    }

    virtual std::uint64_t largeFileThreshold() const { return 1 << 20; }

    std::filesystem::path serverRoot() const { return root_ / "server"; }
    std::filesystem::path home() const { return root_ / "home"; }
    std::filesystem::path cache() const { return root_ / "cache"; }
    // A folder of the test's own, outside the hub and the cache.
    std::filesystem::path scratch() const { return root_ / "scratch"; }
    testsupport::TestHubServer& server() { return *server_; }

    // Pseudo-random bytes, the same for the same seed.
    static std::string bytes(std::size_t size, unsigned seed = 1) {
        std::mt19937 generator(seed);
        std::string text(size, '\0');
        for (auto& c : text) c = static_cast<char>(generator());
        return text;
    }

    static void writeFile(const std::filesystem::path& path, const std::string& content) {
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }

    static std::string readFile(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    void serve(const std::string& name, const std::string& content) {
        writeFile(serverRoot() / "models" / repoId / name, content);
    }

    HubApi hub(std::optional<std::string> token = std::nullopt) const {
        return HubApi(platform::URL::fileURLWithPath(cache().string(), true), std::move(token));
    }

    HubApi::HubFileDownloader fileDownloader(const std::string& name,
                                             std::optional<std::string> token = std::nullopt) const {
        HubApi client = hub(std::move(token));
        HubApi::Repo repo{repoId, HubApi::RepoType::models};
        const platform::URL folder = repoDestination(client.downloadBase, repo);
        return HubApi::HubFileDownloader{client,   repo,          "main",          folder, repoMetadataDestination(folder),
                                         name,     client.hfToken, client.endpoint, false};
    }

    std::filesystem::path cached(const std::string& name) const { return cache() / "models" / repoId / name; }
    std::filesystem::path metadataFolder() const { return cache() / "models" / repoId / ".cache/huggingface/download"; }

    std::string filePath(const std::string& name) const {
        return testsupport::TestHubServer::resolvePath("models", repoId, "main", name);
    }

private:
    std::filesystem::path root_;
    std::unique_ptr<testsupport::TestHubServer> server_;
};

}  // namespace celvan::testing
