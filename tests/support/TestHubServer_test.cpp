#include "tests/support/TestHubServer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <fstream>

#include "platform/crypto/SHA256.h"
#include "platform/net/URLSession.h"

namespace testsupport {
namespace {

// Hands every redirect back, so that the answers themselves can be read.
struct StayingDelegate : platform::URLSessionDelegate {
    std::optional<platform::URLRequest> willPerformHTTPRedirection(platform::URLSessionTask&,
                                                                   const platform::HTTPURLResponse&,
                                                                   platform::URLRequest) override {
        return std::nullopt;
    }
};

class TestHubServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = std::filesystem::temp_directory_path() / ("test-hub-" + std::to_string(::getpid()));
        std::filesystem::create_directories(root_ / "models" / "owner" / "name" / "sub");
        std::filesystem::create_directories(root_ / "datasets" / "owner" / "data");
        write("models/owner/name/hello.txt", "hello\n");
        write("models/owner/name/sub/b \"q\".json", "{}");
        write("models/owner/name/large.bin", std::string(4096, 'x'));
        write("datasets/owner/data/rows.csv", "a,b\n");
        server_ = std::make_unique<TestHubServer>(root_, 4096);
    }
    void TearDown() override {
        server_.reset();
        std::filesystem::remove_all(root_);
    }

    void write(const std::string& relative, const std::string& content) {
        std::ofstream(root_ / relative, std::ios::binary) << content;
    }
    platform::HTTPURLResponse send(const std::string& method, const std::string& path, std::string* body = nullptr) {
        platform::URLRequest request(server_->endpoint() + path);
        request.httpMethod = method;
        auto [bytes, response] = session_->data(request);
        if (body) *body = std::string(bytes.begin(), bytes.end());
        return response;
    }

    std::filesystem::path root_;
    std::unique_ptr<TestHubServer> server_;
    std::shared_ptr<platform::URLSession> session_ =
        platform::URLSession::make(platform::URLSessionConfiguration::defaultConfiguration(),
                                   std::make_shared<StayingDelegate>());
};

TEST_F(TestHubServerTest, ListsEveryFileOfARepositoryWithItsCommit) {
    std::string body;
    auto response = send("GET", "/api/models/owner/name/revision/refs%2Fpr%2F1", &body);
    ASSERT_EQ(response.statusCode, 200);
    auto listing = nlohmann::json::parse(body);
    EXPECT_EQ(listing["sha"], server_->commit("models", "owner/name"));
    std::vector<std::string> names;
    for (const auto& sibling : listing["siblings"]) names.push_back(sibling["rfilename"]);
    EXPECT_EQ(names, (std::vector<std::string>{"hello.txt", "large.bin", "sub/b \"q\".json"}));

    server_->setCommit("datasets", "owner/data", std::string(40, 'a'));
    send("GET", "/api/datasets/owner/data/revision/main", &body);
    EXPECT_EQ(nlohmann::json::parse(body)["sha"], std::string(40, 'a'));
    EXPECT_EQ(send("GET", "/api/models/owner/missing/revision/main").statusCode, 404);
    EXPECT_EQ(server_->requestCount("GET", "/api/models/owner/name/revision/refs/pr/1"), 1);
}

TEST_F(TestHubServerTest, AnswersFileRequestsAsTheHubDoes) {
    struct Case {
        const char* name;
        std::string method;
        std::string path;
        int status;
        std::optional<std::string> etag;
        std::optional<std::string> linkedSize;
    };
    const std::string largeTag = "\"" + platform::SHA256::hash(std::string(4096, 'x')).hexString() + "\"";
    const std::vector<Case> cases = {
        // git hash-object of "hello\n".
        {"small file", "HEAD", TestHubServer::resolvePath("models", "owner/name", "main", "hello.txt"), 200,
         "\"ce013625030ba8dba906f756967f9e9ca394464a\"", std::nullopt},
        {"large file", "HEAD", TestHubServer::resolvePath("models", "owner/name", "main", "large.bin"), 302, largeTag,
         "4096"},
        {"dataset file", "GET", TestHubServer::resolvePath("datasets", "owner/data", "v1.0", "rows.csv"), 200,
         std::nullopt, std::nullopt},
        {"missing file", "HEAD", TestHubServer::resolvePath("models", "owner/name", "main", "absent"), 404,
         std::nullopt, std::nullopt},
        {"escaping path", "GET", "/owner/name/resolve/main/sub/%2E%2E/%2E%2E/%2E%2E/name/hello.txt", 404,
         std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        auto response = send(c.method, c.path);
        EXPECT_EQ(response.statusCode, c.status) << c.name;
        if (c.etag) {
            EXPECT_EQ(response.value("ETag"), c.etag) << c.name;
        }
        EXPECT_EQ(response.value("X-Linked-Size"), c.linkedSize) << c.name;
        if (c.status == 302) {
            EXPECT_EQ(response.value("X-Linked-Etag"), c.etag) << c.name;
            EXPECT_EQ(response.value("X-Repo-Commit"), server_->commit("models", "owner/name")) << c.name;
            EXPECT_EQ(response.value("Location"), server_->endpoint() + "/lfs/models/owner/name/large.bin") << c.name;
        }
    }
}

TEST_F(TestHubServerTest, FaultsRetireAfterTheirCount) {
    const std::string path = TestHubServer::resolvePath("models", "owner/name", "main", "hello.txt");
    HubFault busy;
    busy.kind = HubFault::Kind::reply;
    busy.status = 429;
    busy.method = "GET";
    busy.path = path;
    busy.times = 2;
    server_->addFault(busy);
    EXPECT_EQ(send("HEAD", path).statusCode, 200);
    EXPECT_EQ(send("GET", path).statusCode, 429);
    EXPECT_EQ(send("GET", path).statusCode, 429);
    EXPECT_EQ(send("GET", path).statusCode, 200);
    EXPECT_EQ(server_->requestCount("GET", path), 3);
    EXPECT_EQ(server_->requestCount("HEAD"), 1);
}

}  // namespace
}  // namespace testsupport
