#include "platform/coreml/runtime/BlobFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <limits>
#include <optional>

#include "platform/coreml/runtime/RuntimeError.h"

namespace platform::coreml::runtime {
namespace {

constexpr uint32_t kSentinel = 0xDEADBEEF;
constexpr uint32_t kVersion = 2;
constexpr uint64_t kRecordSize = 64;

[[noreturn]] void invalid(const std::string& message) {
    throw ModelLoadError(ModelLoadError::Kind::invalidWeights, message);
}

template <typename T>
T load(const std::byte* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

struct Code {
    uint32_t code;
    DataType type;
};

constexpr Code kCodes[] = {
    {1, DataType::Float16}, {2, DataType::Float32}, {3, DataType::UInt8},  {4, DataType::Int8},
    {6, DataType::Int16},   {7, DataType::UInt16},  {8, DataType::Int4},   {9, DataType::UInt1},
    {10, DataType::UInt2},  {11, DataType::UInt4},  {12, DataType::UInt3}, {13, DataType::UInt6},
    {14, DataType::Int32},  {15, DataType::UInt32},
};

std::optional<DataType> typeOfCode(uint32_t code) {
    for (const auto& entry : kCodes) {
        if (entry.code == code) return entry.type;
    }
    return std::nullopt;
}

std::string codeName(uint32_t code) {
    switch (code) {
        case 5: return "bf16";
        case 16: return "fp8 e4m3fn";
        case 17: return "fp8 e5m2";
        default: return "code " + std::to_string(code);
    }
}

}  // namespace

uint32_t blobTypeCode(DataType type) {
    for (const auto& entry : kCodes) {
        if (entry.type == type) return entry.code;
    }
    return 0;
}

struct BlobFile::Mapping {
    const std::byte* data = nullptr;
    size_t size = 0;
    ~Mapping() {
        if (data) munmap(const_cast<std::byte*>(data), size);
    }
};

BlobFile::BlobFile(std::shared_ptr<Mapping> mapping, uint64_t size, uint32_t count)
    : mapping_(std::move(mapping)), size_(size), count_(count) {}

std::shared_ptr<BlobFile> BlobFile::open(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw ModelLoadError(ModelLoadError::Kind::unreadableBundle,
                             "cannot open weight file " + path.string() + ": " + std::strerror(errno));
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        throw ModelLoadError(ModelLoadError::Kind::unreadableBundle, "weight file " + path.string() + " is not a file");
    }
    const auto size = static_cast<uint64_t>(info.st_size);
    if (size < kRecordSize) {
        ::close(fd);
        invalid("weight file is " + std::to_string(size) + " bytes, shorter than its header");
    }
    void* data = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (data == MAP_FAILED) {
        throw ModelLoadError(ModelLoadError::Kind::unreadableBundle, "cannot map weight file: " + std::string(std::strerror(errno)));
    }
    auto mapping = std::make_shared<Mapping>();
    mapping->data = static_cast<const std::byte*>(data);
    mapping->size = size;

    const uint32_t count = load<uint32_t>(mapping->data);
    const uint32_t version = load<uint32_t>(mapping->data + 4);
    if (version != kVersion) invalid("weight file has storage version " + std::to_string(version) + ", expected 2");
    if (count > (size - kRecordSize) / kRecordSize) {
        invalid("weight file claims " + std::to_string(count) + " blobs, more than its " + std::to_string(size) +
                " bytes can hold");
    }
    return std::shared_ptr<BlobFile>(new BlobFile(std::move(mapping), size, count));
}

Tensor BlobFile::read(uint64_t recordOffset, const ValueType& type) {
    const auto key = std::make_pair(recordOffset, type.dataType);
    if (const auto cached = cache_.find(key); cached != cache_.end()) {
        if (cached->second.shape() != type.shape) {
            if (cached->second.count() != elementCount(type.shape)) {
                invalid("blob at offset " + std::to_string(recordOffset) + " is read with two different sizes");
            }
            return cached->second.reshaped(type.shape);
        }
        return cached->second;
    }

    const std::string where = "blob at offset " + std::to_string(recordOffset);
    if (recordOffset < kRecordSize || recordOffset % kRecordSize != 0) {
        invalid(where + ": offset is not a 64-byte aligned record position");
    }
    if (recordOffset > size_ - kRecordSize) invalid(where + ": record lies outside the weight file");
    const std::byte* record = mapping_->data + recordOffset;
    if (load<uint32_t>(record) != kSentinel) invalid(where + ": bad sentinel");

    const uint32_t code = load<uint32_t>(record + 4);
    const uint64_t byteCount = load<uint64_t>(record + 8);
    const uint64_t dataOffset = load<uint64_t>(record + 16);
    const auto stored = typeOfCode(code);
    if (!stored) invalid(where + ": unsupported blob data type " + codeName(code));
    if (*stored != type.dataType) {
        invalid(where + " holds " + std::string(name(*stored)) + ", the program reads it as " +
                std::string(name(type.dataType)));
    }
    const auto count = elementCount(type.shape);
    if (!count) invalid(where + ": the program gives it no concrete shape");
    const unsigned bits = packedBits(type.dataType);
    if (static_cast<uint64_t>(*count) > std::numeric_limits<uint64_t>::max() / bits) invalid(where + ": too large");
    const uint64_t needed = (static_cast<uint64_t>(*count) * bits + 7) / 8;
    if (byteCount < needed) {
        invalid(where + " holds " + std::to_string(byteCount) + " bytes, the program needs " + std::to_string(needed));
    }
    if (dataOffset > size_ || needed > size_ - dataOffset) invalid(where + ": data lies outside the weight file");

    const std::byte* data = mapping_->data + dataOffset;
    Tensor tensor;
    if (bits < 8) {
        tensor = unpack(data, type.dataType, type.shape);
    } else if (dataOffset % elementSize(type.dataType) != 0) {
        tensor = Tensor(type.dataType, type.shape);
        std::memcpy(tensor.mutableBytes(), data, needed);
    } else {
        tensor = Tensor::view(type.dataType, type.shape, data, mapping_);
    }
    cache_.emplace(key, tensor);
    return tensor;
}

Tensor BlobFile::unpack(const std::byte* data, DataType type, const Shape& shape) const {
    Tensor result(type, shape);
    auto* out = result.mutableData<uint8_t>();
    const unsigned bits = packedBits(type);
    const auto* bytes = reinterpret_cast<const uint8_t*>(data);
    const uint64_t count = static_cast<uint64_t>(result.count());
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t first = i * bits;
        unsigned value = 0;
        for (unsigned b = 0; b < bits; ++b) {
            const uint64_t bit = first + b;
            value |= ((bytes[bit / 8] >> (bit % 8)) & 1u) << b;
        }
        if (type == DataType::Int4 && (value & 0x8u)) value |= 0xF0u;  // two's complement
        out[i] = static_cast<uint8_t>(value);
    }
    return result;
}

}  // namespace platform::coreml::runtime
