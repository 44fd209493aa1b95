#include <cstring>
#include <fstream>

#include <gtest/gtest.h>

#include "platform/coreml/runtime/BlobFile.h"
#include "platform/coreml/runtime/RuntimeError.h"
#include "tests/support/ModelBundleWriter.h"
#include "tests/support/TempDirectory.h"

namespace platform::coreml::runtime {
namespace {

std::filesystem::path writeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

template <typename T>
void patch(std::vector<uint8_t>& bytes, size_t at, T value) {
    std::memcpy(bytes.data() + at, &value, sizeof value);
}

TEST(BlobFile, WriterLaysOutRecordsAndDataOn64ByteBoundaries) {
    testsupport::BlobWriter writer;
    std::vector<float> values(500);
    for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>(i) * 0.5f;
    EXPECT_EQ(writer.add(Tensor::of(DataType::Float32, {500}, values)), 64u);
    EXPECT_EQ(writer.add(Tensor::of(DataType::Float16, {10}, std::vector<float>(10, 1.0f))), 2176u);
    const auto bytes = writer.bytes();
    uint32_t header[2];
    std::memcpy(header, bytes.data(), 8);
    EXPECT_EQ(header[0], 2u);
    EXPECT_EQ(header[1], 2u);
    uint64_t dataOffset;
    std::memcpy(&dataOffset, bytes.data() + 64 + 16, 8);
    EXPECT_EQ(dataOffset, 128u);
    float last;
    std::memcpy(&last, bytes.data() + 128 + 499 * 4, 4);
    EXPECT_EQ(last, 249.5f);

    testsupport::TempDirectory dir;
    auto file = BlobFile::open(writeFile(dir.path() / "weight.bin", bytes));
    const Tensor read = file->read(64, ValueType{DataType::Float32, {500}});
    EXPECT_EQ(read.toFloats(), values);
    EXPECT_FALSE(read.isWritable());
    EXPECT_EQ(file->read(2176, ValueType{DataType::Float16, {10}}).toFloats(), std::vector<float>(10, 1.0f));
}

TEST(BlobFile, UnpacksSubByteTypesLeastSignificantBitFirst) {
    struct Case {
        DataType type;
        std::vector<int64_t> values;
    };
    const Case cases[] = {
        {DataType::UInt1, {1, 0, 1, 1, 0, 0, 0, 1, 1, 0, 1}},
        {DataType::UInt2, {3, 0, 1, 2, 2, 1, 0, 3, 1, 1, 2}},
        {DataType::UInt3, {7, 0, 5, 2, 6, 1, 3, 4, 7, 7, 1}},
        {DataType::UInt4, {15, 0, 9, 4, 1, 2, 3, 8, 11, 12, 7}},
        {DataType::UInt6, {63, 0, 33, 17, 5, 40, 2, 61, 30, 8, 1}},
        {DataType::Int4, {-8, 7, -1, 0, 3, -4, 5, -6, 1, 2, -3}},
    };
    testsupport::TempDirectory dir;
    for (const auto& c : cases) {
        testsupport::BlobWriter writer;
        const auto n = static_cast<int64_t>(c.values.size());
        writer.add(Tensor::of(c.type, {n}, c.values));
        auto bytes = writer.bytes();
        auto file = BlobFile::open(writeFile(dir.path() / "w.bin", bytes));
        EXPECT_EQ(file->read(64, ValueType{c.type, {n}}).toInts(), c.values) << name(c.type);
    }
    // Element 0 of a 4-bit blob is the low nibble of the first byte.
    testsupport::BlobWriter writer;
    writer.add(Tensor::of(DataType::UInt4, {2}, std::vector<int64_t>{0x3, 0xA}));
    EXPECT_EQ(writer.bytes()[128], 0xA3);
}

TEST(BlobFile, RejectsHostileFilesBeforeReadingOutsideThem) {
    testsupport::BlobWriter writer;
    writer.add(Tensor::of(DataType::Float32, {16}, std::vector<float>(16, 2.0f)));
    const auto good = writer.bytes();
    struct Case {
        std::string name;
        std::vector<uint8_t> bytes;
        uint64_t offset;
        ValueType type;
        std::string fragment;
    };
    const ValueType f32{DataType::Float32, {16}};
    std::vector<Case> cases;
    cases.push_back({"truncated header", std::vector<uint8_t>(good.begin(), good.begin() + 20), 64, f32, "shorter than its header"});
    auto version = good;
    patch<uint32_t>(version, 4, 1);
    cases.push_back({"version", version, 64, f32, "version 1"});
    auto count = good;
    patch<uint32_t>(count, 0, 0xFFFFFFFF);
    cases.push_back({"count", count, 64, f32, "claims"});
    auto sentinel = good;
    patch<uint32_t>(sentinel, 64, 0xDEADBEEE);
    cases.push_back({"sentinel", sentinel, 64, f32, "bad sentinel"});
    cases.push_back({"record offset past the end", good, 1u << 20, f32, "outside the weight file"});
    cases.push_back({"unaligned record offset", good, 65, f32, "aligned"});
    cases.push_back({"huge record offset", good, ~uint64_t{0} - 63, f32, "outside the weight file"});
    auto dataOffset = good;
    patch<uint64_t>(dataOffset, 64 + 16, ~uint64_t{0} - 8);
    cases.push_back({"data offset", dataOffset, 64, f32, "outside the weight file"});
    cases.push_back({"truncated data", std::vector<uint8_t>(good.begin(), good.begin() + 150), 64, f32, "outside the weight file"});
    auto small = good;
    patch<uint64_t>(small, 64 + 8, 8);
    cases.push_back({"size too small", small, 64, f32, "holds 8 bytes"});
    cases.push_back({"wrong type", good, 64, ValueType{DataType::Float16, {16}}, "holds fp32"});
    cases.push_back({"too many elements", good, 64, ValueType{DataType::Float32, {1 << 30}}, "the program needs 4294967296"});
    auto bf16 = good;
    patch<uint32_t>(bf16, 64 + 4, 5);
    cases.push_back({"bf16", bf16, 64, f32, "bf16"});

    testsupport::TempDirectory dir;
    for (const auto& c : cases) {
        try {
            auto file = BlobFile::open(writeFile(dir.path() / "w.bin", c.bytes));
            file->read(c.offset, c.type);
            ADD_FAILURE() << c.name << " was accepted";
        } catch (const ModelLoadError& error) {
            EXPECT_EQ(error.kind(), ModelLoadError::Kind::invalidWeights) << c.name;
            EXPECT_NE(std::string(error.what()).find(c.fragment), std::string::npos) << c.name << ": " << error.what();
        }
    }
}

TEST(BlobFile, SharedOffsetsGiveOneTensor) {
    testsupport::BlobWriter writer;
    writer.add(Tensor::of(DataType::UInt4, {12}, std::vector<int64_t>(12, 5)));
    testsupport::TempDirectory dir;
    auto file = BlobFile::open(writeFile(dir.path() / "w.bin", writer.bytes()));
    const Tensor a = file->read(64, ValueType{DataType::UInt4, {12}});
    const Tensor b = file->read(64, ValueType{DataType::UInt4, {3, 4}});
    EXPECT_EQ(a.bytes(), b.bytes());
    EXPECT_EQ(b.shape(), (Shape{3, 4}));
}

}  // namespace
}  // namespace platform::coreml::runtime
