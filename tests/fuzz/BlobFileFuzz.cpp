#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/coreml/runtime/BlobFile.h"
#include "platform/coreml/runtime/RuntimeError.h"
#include "tests/fuzz/FuzzDriver.h"

using namespace platform::coreml::runtime;

// The input is a weight file. Every record position it could hold is read as
// each type the program might give it, with element counts taken from the
// record itself and its neighbours.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("blob-fuzz-" + std::to_string(getpid()) + ".bin");
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    static const DataType types[] = {DataType::Float16, DataType::Float32, DataType::UInt8, DataType::Int8,
                                     DataType::UInt4, DataType::Int4, DataType::UInt3, DataType::UInt1, DataType::Int32};
    try {
        auto file = BlobFile::open(path);
        // The mapping keeps the bytes; the file itself can go at once.
        std::filesystem::remove(path);
        for (uint64_t offset = 64; offset + 64 <= size && offset < 64 * 16; offset += 64) {
            uint64_t bytes = 0;
            std::memcpy(&bytes, data + offset + 8, sizeof bytes);
            for (DataType type : types) {
                for (int64_t count : {int64_t{1}, int64_t{10}, static_cast<int64_t>(bytes % 100000), static_cast<int64_t>(bytes)}) {
                    if (count < 0) continue;
                    try {
                        file->read(offset, ValueType{type, {count}});
                    } catch (const ModelLoadError&) {
                    }
                }
            }
        }
    } catch (const ModelLoadError&) {
    }
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    return 0;
}
