#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <utility>

#include "platform/coreml/runtime/Tensor.h"
#include "platform/coreml/runtime/Value.h"

namespace platform::coreml::runtime {

// The weight file of a bundle (blob storage version 2), memory-mapped. Every
// offset and size is checked against the file before a byte is read, so a
// truncated or hostile file ends in ModelLoadError (invalidWeights).
class BlobFile {
public:
    static std::shared_ptr<BlobFile> open(const std::filesystem::path& path);

    uint32_t blobCount() const { return count_; }
    uint64_t fileSize() const { return size_; }

    // The blob whose 64-byte record starts at `recordOffset`, as a tensor of
    // `type`. Byte-sized types are views into the mapping; sub-byte types are
    // unpacked to one byte per element. Blobs read twice give the same tensor.
    Tensor read(uint64_t recordOffset, const ValueType& type);

    BlobFile(const BlobFile&) = delete;
    BlobFile& operator=(const BlobFile&) = delete;
    ~BlobFile() = default;

private:
    struct Mapping;
    BlobFile(std::shared_ptr<Mapping> mapping, uint64_t size, uint32_t count);

    Tensor unpack(const std::byte* data, DataType type, const Shape& shape) const;

    std::shared_ptr<Mapping> mapping_;
    uint64_t size_;
    uint32_t count_;
    std::map<std::pair<uint64_t, DataType>, Tensor> cache_;
};

// The blob storage code of a data type (1 fp16, 2 fp32, ...), 0 when the type
// cannot be stored in a weight file.
uint32_t blobTypeCode(DataType type);

}  // namespace platform::coreml::runtime
