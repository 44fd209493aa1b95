#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "mlcore/hub/CacheLayout.h"
#include "mlcore/hub/HeaderNumbers.h"
#include "mlcore/hub/Hub.h"
#include "mlcore/hub/HubApi.h"
#include "mlcore/hub/HubWrapper.h"
#include "platform/crypto/SHA256.h"
#include "platform/foundation/DecodingError.h"
#include "platform/foundation/JsonReader.h"
#include "platform/foundation/JsonWriter.h"
#include "platform/log/SystemLog.h"

namespace celvan {
namespace {

using Hub::HubClientError;
using EnvironmentError = HubApi::EnvironmentError;

TEST(HubErrors, DescribeThemselvesWithTheirPayloads) {
    const auto url = platform::URL::fileURLWithPath("/tmp/config.json");
    const std::vector<std::pair<HubClientError, std::string>> clientCases = {
        {HubClientError::httpStatusCode(500), "HTTP error with status code: 500"},
        {HubClientError::jsonSerialization(url, "bad json"), "bad json"},
        {HubClientError::downloadError("timed out"), "Download failed: timed out"},
        {HubClientError::fileNotFound("a.bin"), "File not found: a.bin"},
        {HubClientError::networkError(platform::URLError(platform::URLError::Code::timedOut)),
         "Network error: The request timed out."},
        {HubClientError::resourceNotFound("m"), "Resource not found: m"},
        {HubClientError::configurationMissing("tokenizer.json"), "Required configuration file missing: tokenizer.json"},
        {HubClientError::fileSystemError(std::make_exception_ptr(std::runtime_error("disk full"))),
         "File system error: disk full"},
        {HubClientError::parseError("x"), "Parse error: x"},
        {HubClientError::authorizationRequired(), "Authentication required. Please provide a valid Hugging Face token."},
        {HubClientError::parse(), "Failed to parse server response."},
        {HubClientError::unexpectedError(), "An unexpected error occurred."},
    };
    for (const auto& [error, message] : clientCases) EXPECT_EQ(error.what(), message);
    EXPECT_EQ(clientCases[0].first.statusCode(), 500);
    EXPECT_EQ(clientCases[1].first.fileURL(), url);

    const std::vector<std::pair<EnvironmentError, std::string>> environmentCases = {
        {EnvironmentError::invalidMetadataError("x"), "Invalid metadata: x"},
        {EnvironmentError::offlineModeError("x"), "Offline mode error: x"},
        {EnvironmentError::fileIntegrityError("x"), "File integrity check failed: x"},
        {EnvironmentError::fileWriteError("x"), "Failed to write file: x"},
    };
    for (const auto& [error, message] : environmentCases) {
        EXPECT_EQ(error.what(), message);
        EXPECT_EQ(error.payload(), "x");
    }
}

TEST(Repo, CodesAsAnObjectWithIdAndRawType) {
    const auto repo = HubApi::Repo::decode(platform::jsonObject(R"({"id":"owner/name","type":"models"})"));
    EXPECT_EQ(repo, (HubApi::Repo{"owner/name", HubApi::RepoType::models}));
    const HubApiWrapper::Repo dataset{"x", HubApiWrapper::RepoType::datasets};
    const auto text = platform::jsonData(dataset.encode());
    EXPECT_EQ(std::string(text.begin(), text.end()), R"({"id":"x","type":"datasets"})");
    EXPECT_EQ(HubApiWrapper::Repo::decode(platform::jsonObject(text)), dataset);
    EXPECT_EQ(toHubApiRepo(dataset), (HubApi::Repo{"x", HubApi::RepoType::datasets}));

    for (const char* bad : {R"({"id":"a","type":"model"})", R"({"id":"a"})", R"({"id":1,"type":"models"})", "[]"}) {
        EXPECT_THROW(HubApi::Repo::decode(platform::jsonObject(bad)), platform::DecodingError) << bad;
    }
    EXPECT_FALSE(repoTypeFromRawValue("model"));
    EXPECT_EQ(wrapperRepoTypeFromRawValue("spaces"), HubApiWrapper::RepoType::spaces);
}

TEST(CacheLayout, PlacesRepositoriesMetadataAndPartialFilesUnderTheDownloadBase) {
    const auto base = platform::URL::fileURLWithPath("/cache/base", true);
    const auto folder = repoDestination(base, {"owner/name", HubApi::RepoType::datasets});
    EXPECT_EQ(folder.path(), "/cache/base/datasets/owner/name");
    const auto metadata = repoMetadataDestination(folder);
    EXPECT_EQ(metadata.path(), "/cache/base/datasets/owner/name/.cache/huggingface/download");
    EXPECT_EQ(metadataFileLocation(metadata, "a/b.bin").path(), metadata.path() + "/a/b.bin.metadata");
    EXPECT_EQ(incompleteFileLocation(metadata, "weights/model.bin", "E1").path(),
              metadata.path() + "/weights/model.bin.E1.incomplete");
    HubApiWrapper wrapper(base);
    EXPECT_EQ(wrapper.localRepoLocation({"x", HubApiWrapper::RepoType::datasets}).path(), "/cache/base/datasets/x");
}

TEST(CacheLayout, RefusesNamesThatCouldLeaveTheRepositoryFolder) {
    for (const std::string& name : std::vector<std::string>{"config.json", "a/b/c.bin", ".gitattributes", "..a",
                                                           ".cache/other", ".cache/huggingface/other", "a..b"}) {
        EXPECT_TRUE(isSafeRelativeFilename(name)) << name;
    }
    for (const std::string& name :
         std::vector<std::string>{"", ".", "..", "../x", "a/../../x", "/abs", "a/", "a//b", "./a", "a\\..\\b",
                                  std::string("a\0b", 3), "a\nb", ".cache", ".cache/huggingface",
                                  ".cache/huggingface/download", ".cache/huggingface/download/x.metadata"}) {
        EXPECT_FALSE(isSafeRelativeFilename(name)) << name;
        EXPECT_THROW(checkRelativeFilename(name), HubClientError) << name;
    }
    for (const std::string& id : std::vector<std::string>{"", "..", "../x", "/x", "a//b", "a\\b"}) {
        EXPECT_THROW(repoDestination(platform::URL::fileURLWithPath("/c", true), {id, HubApi::RepoType::models}),
                     HubClientError)
            << id;
    }
    for (const std::string& revision : std::vector<std::string>{"", ".", "..", "a\r\nb"}) {
        EXPECT_THROW(checkRevision(revision), HubClientError) << revision;
    }
    EXPECT_NO_THROW(checkRevision("refs/pr/1"));
}

TEST(CacheLayout, KeepsOnlyPlainShortEtagsInFileNames) {
    const std::string sha(64, 'a');
    EXPECT_EQ(etagFileComponent(sha), sha);
    EXPECT_EQ(etagFileComponent("v1.0_x-Y"), "v1.0_x-Y");
    for (const std::string& etag : {std::string("../../x"), std::string("a/b"), std::string(""),
                                    std::string(200, 'a'), std::string("a b")}) {
        EXPECT_EQ(etagFileComponent(etag), platform::SHA256::hash(etag).hexString()) << etag;
    }
}

TEST(HeaderNumbers, ReadsOnlyPlainDecimalCounts) {
    const std::vector<std::pair<std::string, std::optional<int64_t>>> counts = {
        {"0", 0},
        {"12345", 12345},
        {"9223372036854775807", INT64_MAX},
        {"9223372036854775808", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"12a", std::nullopt},
        {"-5", std::nullopt},
        {"+5", std::nullopt},
        {"", std::nullopt},
        {" 5", std::nullopt},
        {"5, 5", std::nullopt},
    };
    for (const auto& [text, value] : counts) EXPECT_EQ(parseByteCount(text), value) << text;

    const std::vector<std::pair<std::string, std::optional<int64_t>>> ranges = {
        {"bytes 100-199/200", 100},
        {"bytes 0-0/1", 0},
        {"bytes 100-199/*", 100},
        {"bytes 100-199/500", 100},
        {"bytes 100-199/150", std::nullopt},
        {"bytes 200-100/300", std::nullopt},
        {"bytes */200", std::nullopt},
        {"bytes -1-5/10", std::nullopt},
        {"items 0-1/2", std::nullopt},
        {"bytes 99999999999999999999-1/2", std::nullopt},
    };
    for (const auto& [text, value] : ranges) {
        const auto range = parseContentRange(text);
        EXPECT_EQ(range ? std::optional(range->first) : std::nullopt, value) << text;
    }
    EXPECT_EQ(parseContentRange("bytes 100-199/500")->total, 500);
    EXPECT_EQ(parseContentRange("bytes 100-199/500")->last, 199);
    EXPECT_EQ(parseContentRange("bytes 100-199/*")->total, std::nullopt);
}

TEST(HubApi, NormalizesEtagsAndMatchesWholePatterns) {
    const std::vector<std::pair<std::optional<std::string>, std::optional<std::string>>> etags = {
        {std::nullopt, std::nullopt}, {"W/\"0123\"", "0123"}, {"\"abc\"", "abc"}, {"abc", "abc"}, {"W/W/\"x\"", "W/\"x"},
    };
    for (const auto& [given, expected] : etags) EXPECT_EQ(HubApi::normalizeEtag(given), expected);

    const HubApi hub(platform::URL::fileURLWithPath("/tmp/unused", true), "");
    EXPECT_TRUE(HubApi::matchesPattern(hub.commitHashPattern, std::string(40, 'f')));
    EXPECT_FALSE(HubApi::matchesPattern(hub.commitHashPattern, std::string(40, 'F')));
    EXPECT_FALSE(HubApi::matchesPattern(hub.commitHashPattern, std::string(39, 'f')));
    EXPECT_FALSE(HubApi::matchesPattern(hub.sha256Pattern, std::string(64, 'a') + "\n"));
    EXPECT_FALSE(HubApi::matchesPattern("([", "x"));
}

class CapturingSink : public platform::log::LogSink {
public:
    bool isEnabled(std::string_view, std::string_view, platform::log::LogType) const override { return true; }
    void write(const platform::log::LogMessage& message) override {
        std::lock_guard lock(mutex);
        lines.emplace_back(message.text);
    }
    std::mutex mutex;
    std::vector<std::string> lines;
};

class HubApiFiles : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = std::filesystem::temp_directory_path() / ("celvan-hub-files-" + std::to_string(::getpid()));
        std::filesystem::remove_all(folder_);
        std::filesystem::create_directories(folder_ / "home");
        ::setenv("HOME", (folder_ / "home").c_str(), 1);
        for (const char* name : {"HF_TOKEN", "HUGGING_FACE_HUB_TOKEN", "HF_TOKEN_PATH", "HF_HOME", "HF_ENDPOINT"}) {
            ::unsetenv(name);
        }
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    void write(const std::string& name, const std::string& text) {
        std::filesystem::create_directories((folder_ / name).parent_path());
        std::ofstream(folder_ / name, std::ios::binary) << text;
    }
    platform::URL url(const std::string& name) const { return platform::URL::fileURLWithPath((folder_ / name).string()); }
    HubApi hub() const { return HubApi(platform::URL::fileURLWithPath(folder_.string(), true), "hf_secret_token"); }

    std::filesystem::path folder_;
};

TEST_F(HubApiFiles, MetadataRecordsRoundTripAndDamagedOnesAreLoggedAndDeleted) {
    hub().writeDownloadMetadata(std::string(40, 'c'), "etag1", url("meta/a/b.bin.metadata"));
    const auto record = hub().readDownloadMetadata(url("meta/a/b.bin.metadata"));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->commitHash, std::string(40, 'c'));
    EXPECT_EQ(record->etag, "etag1");
    EXPECT_EQ(record->filename, "b.bin");
    EXPECT_GT(record->timestamp, 1.5e9);
    EXPECT_FALSE(hub().readDownloadMetadata(url("meta/none.metadata")));

    auto sink = std::make_shared<CapturingSink>();
    auto previous = platform::log::setLogSink(sink);
    const std::vector<std::pair<std::string, std::string>> damaged = {
        {"c1\r\ne1\r\n1700000000.5\r\n", "Invalid timestamp format"},
        {"c1\ne1", "Metadata file is missing required fields"},
        {"c1\ne1\nyesterday\n", "Invalid timestamp format"},
    };
    for (const auto& [text, reason] : damaged) {
        write("meta/x.metadata", text);
        EXPECT_FALSE(hub().readDownloadMetadata(url("meta/x.metadata"))) << reason;
        EXPECT_FALSE(std::filesystem::exists(folder_ / "meta/x.metadata"));
        ASSERT_FALSE(sink->lines.empty());
        EXPECT_EQ(sink->lines.back(), "Invalid metadata file " + url("meta/x.metadata").absoluteString() +
                                          ": Invalid metadata: " + reason + ". Removing it from disk and continuing.");
    }
    platform::log::setLogSink(previous);
    for (const auto& line : sink->lines) EXPECT_EQ(line.find("hf_secret_token"), std::string::npos);
}

TEST_F(HubApiFiles, HashesFilesAndNamesTheOneThatIsMissing) {
    write("empty", "");
    EXPECT_EQ(hub().computeFileHash(url("empty")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    try {
        hub().computeFileHash(url("missing.bin"));
        ADD_FAILURE();
    } catch (const HubClientError& error) {
        EXPECT_EQ(error.kind(), HubClientError::Kind::fileNotFound);
        EXPECT_STREQ(error.what(), "File not found: missing.bin");
    }
}

TEST_F(HubApiFiles, FindsTheTokenInTheEnvironmentAndTokenFilesInOrder) {
    struct Case {
        std::vector<std::pair<const char*, std::string>> environment;
        std::vector<std::pair<std::string, std::string>> files;
        std::optional<std::string> token;
    };
    const std::string home = (folder_ / "home").string();
    const std::vector<Case> cases = {
        {{{"HF_TOKEN", "env"}, {"HUGGING_FACE_HUB_TOKEN", "other"}}, {}, "env"},
        {{{"HF_TOKEN", ""}, {"HUGGING_FACE_HUB_TOKEN", "second"}}, {}, "second"},
        // A token file keeps no white space around the token.
        {{{"HF_TOKEN_PATH", "~/my-token"}}, {{"home/my-token", "  from-path\n"}}, "from-path"},
        {{{"HF_HOME", folder_.string() + "/hf"}}, {{"hf/token", "from-home\r\n"}}, "from-home"},
        // One with a control character inside is no token; the next source counts.
        {{{"HF_TOKEN_PATH", folder_.string() + "/bad"}},
         {{"bad", "abc\ndef"}, {"home/.cache/huggingface/token", "cached"}},
         "cached"},
        {{{"HF_TOKEN", "bad\r\nX-Injected: 1"}}, {{"home/.huggingface/token", "legacy"}}, "legacy"},
        {{}, {{"home/.cache/huggingface/token", "\n\n"}}, std::nullopt},
        {{}, {}, std::nullopt},
    };
    for (const auto& c : cases) {
        SetUp();
        for (const auto& [name, value] : c.environment) ::setenv(name, value.c_str(), 1);
        for (const auto& [name, text] : c.files) write(name, text);
        EXPECT_EQ(HubApi().hfToken, c.token) << (c.token ? *c.token : "none");
    }
    ::setenv("HF_TOKEN", "env", 1);
    EXPECT_EQ(HubApi(std::nullopt, "").hfToken, "");
}

TEST_F(HubApiFiles, TakesTheEndpointAndCacheFromTheEnvironmentWhenNotGiven) {
    EXPECT_EQ(HubApi().endpoint, HubApi::defaultEndpoint);
    ::setenv("HF_ENDPOINT", "http://127.0.0.1:9", 1);
    const HubApi hub;
    EXPECT_EQ(hub.endpoint, "http://127.0.0.1:9");
    EXPECT_EQ(hub.downloadBase.path(), (folder_ / "home" / "Documents" / "huggingface").string());
    EXPECT_EQ(HubApi(std::nullopt, std::nullopt, "http://other").endpoint, "http://other");
}

}  // namespace
}  // namespace celvan
