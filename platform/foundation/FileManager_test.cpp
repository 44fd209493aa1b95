#include "platform/foundation/FileManager.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace platform {
namespace {

namespace fs = std::filesystem;

class FileManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = (fs::temp_directory_path() / ("file_manager_test_" + std::to_string(::getpid()))).string();
        fs::create_directories(root_);
    }
    void TearDown() override { fs::remove_all(root_); }

    std::string at(const std::string& relative) const { return root_ + "/" + relative; }
    void write(const std::string& relative, const std::string& text) const { std::ofstream(at(relative)) << text; }
    std::string read(const std::string& relative) const {
        auto bytes = FileManager::contents(at(relative));
        return bytes ? std::string(bytes->begin(), bytes->end()) : "<unreadable>";
    }

    std::string root_;
};

TEST_F(FileManagerTest, CreatesListsAndRemovesFolders) {
    FileManager::createDirectory(at("a/b/c"));
    FileManager::createDirectory(at("a/b/c"));  // existing folder is fine with intermediates
    EXPECT_TRUE(FileManager::isDirectory(at("a/b/c")));
    EXPECT_THROW(FileManager::createDirectory(at("a/b/c"), false), FileSystemError);
    EXPECT_THROW(FileManager::createDirectory(at("x/y"), false), FileSystemError);

    write("a/file.txt", "x");
    write("a/.hidden", "y");
    EXPECT_THROW(FileManager::createDirectory(at("a/file.txt")), FileSystemError);
    EXPECT_EQ(FileManager::contentsOfDirectory(at("a")), (std::vector<std::string>{".hidden", "b", "file.txt"}));
    EXPECT_THROW(FileManager::contentsOfDirectory(at("missing")), FileSystemError);

    FileManager::removeItem(at("a"));
    EXPECT_FALSE(FileManager::fileExists(at("a")));
    try {
        FileManager::removeItem(at("a"));
        FAIL() << "removing a missing item must fail";
    } catch (const FileSystemError& error) {
        EXPECT_EQ(error.path(), at("a"));
        EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
    }
}

TEST_F(FileManagerTest, MovesWithoutOverwriting) {
    write("from.txt", "new");
    write("taken.txt", "old");
    EXPECT_THROW(FileManager::moveItem(at("from.txt"), at("taken.txt")), FileSystemError);
    EXPECT_EQ(read("taken.txt"), "old");
    EXPECT_EQ(read("from.txt"), "new");

    FileManager::moveItem(at("from.txt"), at("to.txt"));
    EXPECT_FALSE(FileManager::fileExists(at("from.txt")));
    EXPECT_EQ(read("to.txt"), "new");
    EXPECT_THROW(FileManager::moveItem(at("from.txt"), at("again.txt")), FileSystemError);
}

TEST_F(FileManagerTest, WritesAtomicallyAndReadsBack) {
    const std::string bytes("a\0b\xFF", 4);
    FileManager::writeAtomically(at("data.bin"), bytes);
    EXPECT_EQ(read("data.bin"), bytes);
    EXPECT_EQ(FileManager::fileSize(at("data.bin")), 4u);

    FileManager::writeAtomically(at("data.bin"), "");
    EXPECT_EQ(read("data.bin"), "");
    EXPECT_EQ(FileManager::fileSize(at("data.bin")), 0u);
    EXPECT_EQ(FileManager::contentsOfDirectory(root_), std::vector<std::string>{"data.bin"});  // no temporary left

    EXPECT_THROW(FileManager::writeAtomically(at("no/such/folder.txt"), "x"), FileSystemError);
    EXPECT_FALSE(FileManager::contents(at("missing")).has_value());
    EXPECT_FALSE(FileManager::contents(root_).has_value());
    EXPECT_FALSE(FileManager::fileSize(root_).has_value());

    // Files are read in blocks; sizes around a block's edge come back whole.
    for (const std::size_t size : {std::size_t{0}, std::size_t{65535}, std::size_t{65536}, std::size_t{200001}}) {
        std::string bytes(size, '\0');
        for (std::size_t k = 0; k < size; ++k) bytes[k] = static_cast<char>(k * 7 + k / 251);
        FileManager::writeAtomically(at("blocks.bin"), bytes);
        EXPECT_EQ(read("blocks.bin"), bytes) << size;
    }
}

TEST_F(FileManagerTest, ExpandsTildeToTheHomeFolder) {
    const char* saved = std::getenv("HOME");
    const std::string previous = saved ? saved : "";
    ::setenv("HOME", root_.c_str(), 1);
    EXPECT_EQ(FileManager::expandingTildeInPath("~"), root_);
    EXPECT_EQ(FileManager::expandingTildeInPath("~/models"), root_ + "/models");
    EXPECT_EQ(FileManager::expandingTildeInPath("/abs/~"), "/abs/~");
    EXPECT_EQ(FileManager::expandingTildeInPath("rel"), "rel");
    EXPECT_EQ(FileManager::expandingTildeInPath("~no-such-user-here/x"), "~no-such-user-here/x");
    if (saved) ::setenv("HOME", previous.c_str(), 1); else ::unsetenv("HOME");
}

} // namespace
} // namespace platform
