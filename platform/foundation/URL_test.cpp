#include "platform/foundation/URL.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

namespace platform {
namespace {

URL web(std::string_view text) {
    auto url = URL::fromString(text);
    EXPECT_TRUE(url.has_value()) << text;
    return url.value_or(URL::fileURLWithPath("/"));
}

TEST(URL, ParsesAddressesIntoComponents) {
    const URL url = web("https://user:pw@Example.com:8080/a/b%20c?x=1&y=2#frag");
    EXPECT_EQ(url.scheme(), "https");
    EXPECT_EQ(url.components().userInfo, "user:pw");
    EXPECT_EQ(url.host(), "Example.com");
    EXPECT_EQ(url.port(), 8080);
    EXPECT_EQ(url.percentEncodedPath(), "/a/b%20c");
    EXPECT_EQ(url.path(), "/a/b c");
    EXPECT_EQ(url.query(), "x=1&y=2");
    EXPECT_EQ(url.components().fragment, "frag");
    EXPECT_EQ(url.absoluteString(), "https://user:pw@Example.com:8080/a/b%20c?x=1&y=2#frag");

    const URL relative = web("/api/models?cursor=abc");
    EXPECT_FALSE(relative.host().has_value());
    EXPECT_EQ(relative.path(), "/api/models");
    EXPECT_EQ(relative.query(), "cursor=abc");
    EXPECT_EQ(relative.absoluteString(), "/api/models?cursor=abc");

    EXPECT_EQ(web("http://[::1]:9/x").host(), "[::1]");
    EXPECT_EQ(web("http://[::1]:9/x").port(), 9);
}

TEST(URL, RejectsTextThatIsNoAddressAndEncodesStrayCharacters) {
    for (const char* bad : {"", "1http://x", "http://host:port/", "http://h:99999/", "a b:c"}) {
        EXPECT_FALSE(URL::fromString(bad).has_value()) << bad;
    }
    EXPECT_EQ(web("http://h/a b/%zz/%41\"").absoluteString(), "http://h/a%20b/%25zz/%41%22");
    EXPECT_EQ(web("http://h/caf\xC3\xA9").absoluteString(), "http://h/caf%C3%A9");
    EXPECT_EQ(web("http://h/caf\xC3\xA9").path(), "/caf\xC3\xA9");
}

TEST(URL, BuildsFromComponentsWithReplacedPathAndQuery) {
    URL::Components components = web("https://hub.test:8443/old?q=1").components();
    components.path = "/new/path";
    components.query = std::nullopt;
    EXPECT_EQ(URL::fromComponents(components).absoluteString(), "https://hub.test:8443/new/path");
}

TEST(URL, AppendsComponentsTheFoundationWay) {
    const struct {
        const char* base;
        const char* component;
        bool keepSlashes;
        const char* expected;
    } cases[] = {
        {"https://hub.test", "api", true, "https://hub.test/api"},
        {"https://hub.test/", "api", true, "https://hub.test/api"},
        {"https://hub.test/api", "owner/name", true, "https://hub.test/api/owner/name"},
        {"https://hub.test/api", "/lead", true, "https://hub.test/api/lead"},
        {"https://hub.test/api", "dir/", true, "https://hub.test/api/dir/"},
        {"https://hub.test/api", "refs/pr/1", false, "https://hub.test/api/refs%2Fpr%2F1"},
        {"https://hub.test/api", "a b?#%", false, "https://hub.test/api/a%20b%3F%23%25"},
        {"https://hub.test/api?x=1", "more", true, "https://hub.test/api/more?x=1"},
        {"https://hub.test/api", "", true, "https://hub.test/api"},
    };
    for (const auto& c : cases) {
        const URL base = web(c.base);
        const URL result = c.keepSlashes ? base.appendingPathComponent(c.component) : base.appendingComponent(c.component);
        EXPECT_EQ(result.absoluteString(), c.expected) << c.base << " + " << c.component;
    }
    const URL encoded = web("https://hub.test/api").appendingComponent("refs/pr/1");
    EXPECT_EQ(encoded.lastPathComponent(), "refs/pr/1");
    EXPECT_EQ(encoded.pathComponents(), (std::vector<std::string>{"/", "api", "refs/pr/1"}));
    EXPECT_EQ(web("file:///a//b%20c/").pathComponents(), (std::vector<std::string>{"/", "a", "b c"}));
    EXPECT_EQ(web("file:///").pathComponents(), std::vector<std::string>{"/"});
    EXPECT_TRUE(web("https://hub.test").pathComponents().empty());
}

TEST(URL, ReadsAndDropsTheLastComponent) {
    const struct {
        const char* url;
        const char* last;
        const char* extension;
        const char* parent;
    } cases[] = {
        {"file:///models/base/config.json", "config.json", "json", "file:///models/base/"},
        {"file:///models/base/", "base", "", "file:///models/"},
        {"file:///models/Encoder.mlmodelc/", "Encoder.mlmodelc", "mlmodelc", "file:///models/"},
        {"file:///archive.tar.gz", "archive.tar.gz", "gz", "file:///"},
        {"file:///dir/.hidden", ".hidden", "", "file:///dir/"},
        {"file:///dir/trailing.", "trailing.", "", "file:///dir/"},
        {"file:///", "/", "", "file:///"},
        {"https://hub.test", "", "", "https://hub.test"},
        {"https://hub.test/a%20b.txt?x", "a b.txt", "txt", "https://hub.test/?x"},
    };
    for (const auto& c : cases) {
        const URL url = web(c.url);
        EXPECT_EQ(url.lastPathComponent(), c.last) << c.url;
        EXPECT_EQ(url.pathExtension(), c.extension) << c.url;
        EXPECT_EQ(url.deletingLastPathComponent().absoluteString(), c.parent) << c.url;
    }
}

class FileURLTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = std::filesystem::temp_directory_path() / ("url_test_" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder_ / "sub");
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(folder_);
    }
    void TearDown() override {
        std::filesystem::current_path(previous_);
        std::filesystem::remove_all(folder_);
    }
    std::filesystem::path folder_;
    std::filesystem::path previous_;
};

TEST_F(FileURLTest, FilePathsBecomeFileAddresses) {
    const URL file = URL::fileURLWithPath("/tmp/my models/x#1.bin");
    EXPECT_TRUE(file.isFileURL());
    EXPECT_EQ(file.absoluteString(), "file:///tmp/my%20models/x%231.bin");
    EXPECT_EQ(file.path(), "/tmp/my models/x#1.bin");

    const URL relative = URL::fileURLWithPath("sub");
    EXPECT_TRUE(relative.hasDirectoryPath());
    EXPECT_EQ(relative.path(), (folder_ / "sub").string());
    EXPECT_FALSE(URL::fileURLWithPath("missing").hasDirectoryPath());
    EXPECT_TRUE(URL::fileURLWithPath("/x", true).hasDirectoryPath());
    EXPECT_EQ(URL::fileURLWithPath("/x", true).path(), "/x");
    EXPECT_EQ(URL::fileURLWithPath("/a/../b/./c").path(), "/a/../b/./c");
}

TEST_F(FileURLTest, PathsRoundTripThroughAppendedComponents) {
    const URL base = URL::fileURLWithPath(folder_.string());
    const URL nested = base.appendingPathComponent("models").appendingPathComponent("owner/name");
    EXPECT_EQ(nested.path(), (folder_ / "models/owner/name").string());
    EXPECT_EQ(nested.deletingLastPathComponent().path(), (folder_ / "models/owner").string());
    const URL odd = base.appendingPathComponent("100% real?.txt");
    EXPECT_EQ(odd.lastPathComponent(), "100% real?.txt");
    EXPECT_EQ(odd.path(), (folder_ / "100% real?.txt").string());
    EXPECT_EQ(URL::fromString(odd.absoluteString()), odd);
}

} // namespace
} // namespace platform
