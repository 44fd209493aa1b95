#include "mlcore/hub/HubApi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "mlcore/hub/Hub.h"
#include "tests/support/HubTestEnvironment.h"
#include "mlcore/hub/HubWrapper.h"
#include "platform/concurrency/CancellationError.h"
#include "platform/concurrency/Task.h"
#include "platform/foundation/DecodingError.h"
#include "platform/foundation/FileManager.h"

namespace celvan {
namespace {

using testsupport::HubFault;
using Kind = HubFault::Kind;

class HubApiTest : public testing::HubTestEnvironment {
protected:
    static constexpr const char* listingPath = "/api/models/owner/model/revision/main";

    HubApi::Repo repo() const { return {repoId, HubApi::RepoType::models}; }

    // The listing answered with these names instead of the served folder's.
    void serveListing(const std::vector<std::string>& names, const std::string& path = listingPath) {
        std::string body = "{\"id\":\"owner/model\",\"siblings\":[";
        for (std::size_t i = 0; i < names.size(); ++i) body += (i ? ",{\"rfilename\":\"" : "{\"rfilename\":\"") + names[i] + "\"}";
        HubFault listing;
        listing.kind = Kind::reply;
        listing.method = "GET";
        listing.path = path;
        listing.status = 200;
        listing.body = body + "]}";
        server().addFault(listing);
    }

    void replyToListing(int status) {
        HubFault fault;
        fault.kind = Kind::reply;
        fault.method = "GET";
        fault.path = listingPath;
        fault.status = status;
        fault.body = "{\"error\":\"no\"}";
        fault.headers = {{"Retry-After", "0"}};
        server().addFault(fault);
    }

    int fileRequests(const std::string& method) const {
        int count = 0;
        for (const auto& request : const_cast<HubApiTest*>(this)->server().requests()) {
            if (request.method == method && request.path.find("/resolve/") != std::string::npos) ++count;
        }
        return count;
    }

    static std::vector<std::string> sorted(std::vector<std::string> names) {
        std::sort(names.begin(), names.end());
        return names;
    }

    HubApi offlineHub() const {
        return HubApi(platform::URL::fileURLWithPath(cache().string(), true), std::nullopt, std::nullopt, false, true);
    }

    template <class Error>
    static std::string messageOf(const std::function<void()>& operation) {
        try {
            operation();
        } catch (const Error& error) {
            return error.what();
        }
        return "(no error)";
    }

    // Nothing at all below the cache folder.
    bool cacheIsEmpty() const {
        return !std::filesystem::exists(cache()) || std::filesystem::is_empty(cache());
    }
};

TEST_F(HubApiTest, AnEmptyGivenTokenStaysEmptyAndSendsNoAuthorization) {
    ::setenv("HF_TOKEN", "hf_environment", 1);
    serve("a.json", "{}");
    const HubApi client = hub("");
    EXPECT_EQ(client.hfToken, "");
    client.getFilenames(repo(), "main");
    client.snapshot(repo());
    ASSERT_FALSE(server().requests().empty());
    for (const auto& request : server().requests()) EXPECT_FALSE(request.header("Authorization").has_value());

    server().clearRequests();
    hub("hf_given").getFilenames(repo(), "main");
    EXPECT_EQ(server().requests().at(0).header("Authorization"), "Bearer hf_given");
}

TEST_F(HubApiTest, ListingSelectsByGlobsEachNameOnceAndKeepsListingOrderWithoutGlobs) {
    serveListing({"b.json", "a.json", "sub/model.bin", "b.json", ".gitattributes"});
    const HubApi client = hub();
    EXPECT_EQ(client.getFilenames(repo(), "main"),
              (std::vector<std::string>{"b.json", "a.json", "sub/model.bin", "b.json", ".gitattributes"}));
    EXPECT_EQ(sorted(client.getFilenames(repo(), "main", {"*.json", "a.json"})),
              (std::vector<std::string>{"a.json", "b.json"}));
    // Without flags "*" crosses "/" and matches a leading ".".
    EXPECT_EQ(sorted(client.getFilenames(repo(), "main", {"*model*", "*attributes"})),
              (std::vector<std::string>{".gitattributes", "sub/model.bin"}));
    EXPECT_TRUE(client.getFilenames(repo(), "main", {"*.txt"}).empty());
}

TEST_F(HubApiTest, ARevisionWithSlashesIsSentAsOneComponent) {
    serveListing({"x.json"}, "/api/models/owner/model/revision/refs/pr/1");
    EXPECT_EQ(hub().getFilenames(repo(), "refs/pr/1"), std::vector<std::string>{"x.json"});
    EXPECT_EQ(server().requests().at(0).target, "/api/models/owner/model/revision/refs%2Fpr%2F1");
}

TEST_F(HubApiTest, ListingFailuresBecomeHubErrors) {
    using HubKind = Hub::HubClientError::Kind;
    struct Case {
        int status;
        HubKind kind;
        std::string message;
    };
    for (const auto& c : std::vector<Case>{
             {401, HubKind::authorizationRequired, "Authentication required. Please provide a valid Hugging Face token."},
             {403, HubKind::authorizationRequired, "Authentication required. Please provide a valid Hugging Face token."},
             {404, HubKind::fileNotFound, "File not found: main"},
             {500, HubKind::httpStatusCode, "HTTP error with status code: 500"},
             {503, HubKind::httpStatusCode, "HTTP error with status code: 503"}}) {
        SCOPED_TRACE(c.status);
        server().clearFaults();
        server().clearRequests();
        replyToListing(c.status);
        try {
            hub().getFilenames(repo(), "main");
            ADD_FAILURE() << "no error";
        } catch (const Hub::HubClientError& error) {
            EXPECT_EQ(error.kind(), c.kind);
            EXPECT_EQ(std::string(error.what()), c.message);
        }
        // A busy hub is asked again, a few times.
        EXPECT_EQ(server().requestCount("GET"), c.status == 503 ? 4 : 1);
    }

    for (const std::string body : {"{\"error\":\"no\"}", "[]", "{\"siblings\":{}}", "{\"siblings\":[{\"name\":\"a\"}]}", "{"}) {
        SCOPED_TRACE(body);
        server().clearFaults();
        HubFault listing;
        listing.kind = Kind::reply;
        listing.path = listingPath;
        listing.status = 200;
        listing.body = body;
        server().addFault(listing);
        EXPECT_THROW(hub().getFilenames(repo(), "main"), platform::DecodingError);
    }

    const HubApi unreachable(platform::URL::fileURLWithPath(cache().string(), true), "", "http://127.0.0.1:1");
    try {
        unreachable.getFilenames(repo(), "main");
        ADD_FAILURE() << "no error";
    } catch (const Hub::HubClientError& error) {
        EXPECT_EQ(error.kind(), HubKind::downloadError);
        EXPECT_EQ(std::string(error.what()), "Download failed: Could not connect to the server.");
    }
}

TEST_F(HubApiTest, HostileListingsAreRefusedWholeWithNothingWrittenOrFetched) {
    serve("good.json", "{}");
    for (const std::string hostile : {"../escape.json", "/etc/passwd", "a/../../b", "a//b", "./a", "a\\\\b",
                                      "nul\\u0000byte", "line\\nbreak", ".cache/huggingface/download/good.json.metadata",
                                      ".cache/huggingface", "", "dir/"}) {
        SCOPED_TRACE(hostile);
        server().clearFaults();
        server().clearRequests();
        serveListing({"good.json", hostile});
        try {
            hub().snapshot(repo(), "main", {});
            ADD_FAILURE() << "accepted";
        } catch (const Hub::HubClientError& error) {
            EXPECT_EQ(error.kind(), Hub::HubClientError::Kind::parseError);
            EXPECT_TRUE(std::string(error.what()).starts_with("Parse error: Unsafe file name in repository:"));
        }
        EXPECT_TRUE(cacheIsEmpty());
        EXPECT_EQ(fileRequests("HEAD") + fileRequests("GET"), 0);
    }

    server().clearRequests();
    EXPECT_THROW(hub().snapshot({"../outside", HubApi::RepoType::models}), Hub::HubClientError);
    EXPECT_THROW(hub().snapshot({"owner/../../x", HubApi::RepoType::models}), Hub::HubClientError);
    EXPECT_THROW(hub().snapshot(repo(), ".."), Hub::HubClientError);
    EXPECT_THROW(hub().getFilenames(repo(), "ma\nin"), Hub::HubClientError);
    EXPECT_TRUE(server().requests().empty());
    EXPECT_TRUE(cacheIsEmpty());
}

TEST_F(HubApiTest, ASecondSnapshotOfAnUnchangedRepositoryCostsHeadRequestsOnly) {
    serve("config.json", "{\"a\":1}");
    serve("tokenizer.json", "{\"model\":{}}");
    serve("weights/model.bin", bytes(3 << 20));
    const HubApi client = hub();

    std::vector<double> fractions;
    const platform::URL folder = client.snapshot(repo(), "main", {}, [&](const platform::Progress& progress) {
        fractions.push_back(progress.fractionCompleted());
    });
    EXPECT_EQ(folder.path(), (cache() / "models" / repoId).string());
    EXPECT_EQ(readFile(cached("weights/model.bin")), bytes(3 << 20));
    ASSERT_FALSE(fractions.empty());
    EXPECT_DOUBLE_EQ(fractions.back(), 1.0);
    EXPECT_TRUE(std::is_sorted(fractions.begin(), fractions.end()));

    server().clearRequests();
    int calls = 0;
    client.snapshot(repo(), "main", {}, [&](const platform::Progress&) { ++calls; });
    EXPECT_EQ(fileRequests("HEAD"), 3);
    EXPECT_EQ(fileRequests("GET"), 0);
    EXPECT_EQ(server().requestCount("GET"), 1);  // the listing
    EXPECT_EQ(calls, 1);
}

TEST_F(HubApiTest, GlobsThatMatchNothingReportOnceAndCreateNoFolder) {
    serve("a.json", "{}");
    std::vector<std::pair<int64_t, int64_t>> reports;
    const auto folder = hub().snapshot(repo(), "main", {"*.safetensors"}, [&](const platform::Progress& progress) {
        reports.emplace_back(progress.completedUnitCount(), progress.totalUnitCount());
    });
    EXPECT_EQ(reports, (std::vector<std::pair<int64_t, int64_t>>{{0, 0}}));
    EXPECT_FALSE(std::filesystem::exists(folder.path()));
}

TEST_F(HubApiTest, OfflineWorksFromTheCacheAndVerifiesSha256Etags) {
    serve("small.json", "{\"small\":true}");          // git object id: 40 digits
    serve("large.bin", bytes(2 << 20, 3));            // SHA-256 etag: 64 digits
    hub().snapshot(repo());
    server().clearRequests();

    EXPECT_EQ(offlineHub().snapshot(repo(), "ignored", {"*.nothing"}).path(), (cache() / "models" / repoId).string());
    EXPECT_TRUE(server().requests().empty());

    // A changed file under a 40-digit tag is not compared with its content.
    writeFile(cached("small.json"), "{\"small\":false}");
    EXPECT_NO_THROW(offlineHub().snapshot(repo()));

    std::string damaged = bytes(2 << 20, 3);
    damaged[12345] ^= 1;
    writeFile(cached("large.bin"), damaged);
    EXPECT_EQ(messageOf<HubApi::EnvironmentError>([&] { offlineHub().snapshot(repo()); }),
              "File integrity check failed: Hash mismatch for large.bin");

    std::filesystem::remove(cached("large.bin"));
    writeFile(cached("sub/extra.txt"), "not from the hub");
    EXPECT_EQ(messageOf<HubApi::EnvironmentError>([&] { offlineHub().snapshot(repo()); }),
              "Offline mode error: Metadata not available for extra.txt");
    EXPECT_TRUE(server().requests().empty());
}

TEST_F(HubApiTest, OfflineWithoutUsableCacheFailsClearly) {
    EXPECT_EQ(messageOf<HubApi::EnvironmentError>([&] { offlineHub().snapshot(repo()); }),
              "Offline mode error: Repository not available locally");

    writeFile(cached(".gitattributes"), "*");
    writeFile(cached(".cache/huggingface/download/a.json.metadata"), "x\ny\n1\n");
    EXPECT_EQ(messageOf<HubApi::EnvironmentError>([&] { offlineHub().snapshot(repo()); }),
              "Offline mode error: No files available locally for this repository");

    // A link is not one of the repository's files, even when it points at one.
    writeFile(scratch() / "elsewhere.txt", "outside");
    std::filesystem::create_symlink(scratch() / "elsewhere.txt", cached("link.txt"));
    EXPECT_EQ(messageOf<HubApi::EnvironmentError>([&] { offlineHub().snapshot(repo()); }),
              "Offline mode error: No files available locally for this repository");
    EXPECT_TRUE(server().requests().empty());
}

TEST_F(HubApiTest, CancellingASnapshotThrowsInsteadOfReturningTheFolder) {
    serve("first.json", "{}");
    serve("slow.bin", bytes(8 << 20, 5));
    HubFault slow;
    slow.kind = Kind::trickle;
    slow.method = "GET";
    slow.path = std::string("/lfs/models/") + repoId + "/slow.bin";
    slow.bytes = 256 << 10;
    slow.seconds = 0.05;
    server().addFault(slow);

    const HubApi client = hub();
    platform::Task<platform::URL> task([&] { return client.snapshot(repo()); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (server().requestCount("GET", slow.path) == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_GT(server().requestCount("GET", slow.path), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    task.cancel();
    EXPECT_THROW(task.value(), platform::CancellationError);
    EXPECT_TRUE(std::filesystem::exists(cached("first.json")));
    EXPECT_FALSE(std::filesystem::exists(cached("slow.bin")));
    EXPECT_FALSE(std::filesystem::exists(metadataFolder() / "slow.bin.metadata"));
}

TEST_F(HubApiTest, ConfigurationFilesKeepByteOrderMarksAndReportWhatIsWrong) {
    const auto file = [&](const std::string& name, const std::string& content) {
        writeFile(scratch() / name, content);
        return platform::URL::fileURLWithPath((scratch() / name).string());
    };
    const Config config = hub().configuration(file("bom.json", "\xEF\xBB\xBF{\"vocab\":{\"\xEF\xBB\xBFhi\":1},\"flag\":true}"));
    ASSERT_NE(config["vocab"].dictionary(), nullptr);
    EXPECT_EQ(config["vocab"]["\xEF\xBB\xBFhi"].integer(), 1);
    EXPECT_EQ(config["flag"].integer(), 1);

    const auto broken = file("broken.json", "{\"a\":");
    try {
        hub().configuration(broken);
        ADD_FAILURE() << "parsed";
    } catch (const Hub::HubClientError& error) {
        EXPECT_EQ(error.kind(), Hub::HubClientError::Kind::jsonSerialization);
        EXPECT_EQ(std::string(error.what()), "JSON Serialization failed for " + broken.description() +
                                                 ". Please verify that you have set the HF_TOKEN environment variable.");
        EXPECT_EQ(error.fileURL(), broken);
    }
    EXPECT_EQ(messageOf<Hub::HubClientError>([&] { hub().configuration(file("list.json", "[1,2]")); }),
              "Failed to parse server response.");
    EXPECT_THROW(hub().configuration(platform::URL::fileURLWithPath((scratch() / "missing.json").string())),
                 platform::FileSystemError);
}

TEST_F(HubApiTest, TheWrapperForwardsToTheClientWithItsOwnRepositoryType) {
    serve("a.json", "{}");
    const HubApiWrapper wrapper(platform::URL::fileURLWithPath(cache().string(), true));
    const HubApiWrapper::Repo model{repoId, HubApiWrapper::RepoType::models};
    EXPECT_EQ(wrapper.getFilenames(model, "main", {"*.json"}), std::vector<std::string>{"a.json"});
    EXPECT_EQ(wrapper.snapshot(model, "main", {"*.json"}), wrapper.localRepoLocation(model));
    EXPECT_EQ(readFile(cached("a.json")), "{}");
    EXPECT_EQ(wrapper.localRepoLocation({"x", HubApiWrapper::RepoType::datasets}).path(),
              (cache() / "datasets" / "x").string());
    EXPECT_EQ(description(model), "Repo(id: \"owner/model\", type: models)");
}

}  // namespace
}  // namespace celvan
