#include "platform/crypto/SHA256.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace platform {
namespace {

struct KnownDigest {
    std::string input;
    std::string hex;
};

TEST(SHA256, MatchesPublishedDigests) {
    const std::vector<KnownDigest> cases = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SHA256::hash(c.input).hexString(), c.hex) << c.input.size() << " bytes";
    }
}

TEST(MessageDigest, Sha1MatchesPublishedDigests) {
    const std::vector<KnownDigest> cases = {
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        // The object id git gives a file holding "hello\n".
        {std::string("blob 6\0hello\n", 13), "ce013625030ba8dba906f756967f9e9ca394464a"},
    };
    for (const auto& c : cases) {
        MessageDigest digest(MessageDigest::Algorithm::sha1);
        digest.update(c.input);
        EXPECT_EQ(MessageDigest::hexString(digest.finalize()), c.hex) << c.input.size() << " bytes";
    }
}

TEST(SHA256, PiecewiseUpdatesEqualOneShot) {
    std::mt19937 random(7);
    std::vector<std::uint8_t> data(300000);
    for (auto& byte : data) {
        byte = static_cast<std::uint8_t>(random());
    }
    const SHA256Digest whole = SHA256::hash(std::span<const std::uint8_t>(data));
    for (std::size_t piece : {1u, 63u, 64u, 65u, 4096u, 299999u}) {
        SHA256 hasher;
        for (std::size_t offset = 0; offset < data.size(); offset += piece) {
            hasher.update(std::span(data.data() + offset, std::min(piece, data.size() - offset)));
        }
        EXPECT_EQ(hasher.finalize(), whole) << "piece " << piece;
    }
}

TEST(SHA256, ACopyGoesOnFromTheSamePointWithoutTouchingTheOriginal) {
    SHA256 original;
    original.update("abc");
    SHA256 copy = original;
    copy.update("def");
    original.update("xyz");
    EXPECT_EQ(copy.finalize(), SHA256::hash("abcdef"));
    SHA256 assigned;
    assigned = original;
    EXPECT_EQ(assigned.finalize(), SHA256::hash("abcxyz"));
    EXPECT_EQ(original.finalize(), SHA256::hash("abcxyz"));
}

TEST(SHA256, FinalizedHasherRefusesMoreInput) {
    SHA256 hasher;
    hasher.finalize();
    EXPECT_THROW(hasher.update("x"), std::logic_error);
    EXPECT_THROW(hasher.finalize(), std::logic_error);
}

class SHA256File : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = std::filesystem::temp_directory_path() / ("sha256-test-" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder_);
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    std::filesystem::path write(const std::string& name, const std::string& content) {
        auto path = folder_ / name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    std::filesystem::path folder_;
};

TEST_F(SHA256File, HashesFilesOfEverySizeAroundTheBuffer) {
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{1} << 20, (std::size_t{1} << 20) + 1,
                             (std::size_t{3} << 20) - 5}) {
        std::string content(size, '\0');
        for (std::size_t i = 0; i < size; ++i) {
            content[i] = static_cast<char>(i * 31 + 7);
        }
        auto path = write("file-" + std::to_string(size), content);
        EXPECT_EQ(SHA256::hashFile(path), SHA256::hash(content)) << size << " bytes";
    }
}

TEST_F(SHA256File, MissingFileOrFolderThrowsFilesystemError) {
    EXPECT_THROW(SHA256::hashFile(folder_ / "absent"), std::filesystem::filesystem_error);
    EXPECT_THROW(SHA256::hashFile(folder_), std::filesystem::filesystem_error);
}

}  // namespace
}  // namespace platform
