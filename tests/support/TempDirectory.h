#pragma once

#include <filesystem>
#include <random>
#include <string>

namespace testsupport {

// A fresh directory under the system's temporary folder, removed with
// everything in it when the object goes away.
class TempDirectory {
public:
    TempDirectory() {
        std::random_device random;
        path_ = std::filesystem::temp_directory_path() / ("dictaro-test-" + std::to_string(random()) + std::to_string(random()));
        std::filesystem::create_directories(path_);
    }
    ~TempDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace testsupport
