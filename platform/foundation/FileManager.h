#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace platform {

// A failed file-system operation; what() names the operation, the path and
// the system's reason.
class FileSystemError : public std::runtime_error {
public:
    FileSystemError(std::string_view operation, std::string path, std::error_code code);

    const std::string& path() const { return path_; }
    std::error_code code() const { return code_; }

private:
    std::string path_;
    std::error_code code_;
};

// The default file manager's operations on file-system paths.
struct FileManager {
    static bool fileExists(const std::string& path);
    static bool isDirectory(const std::string& path);

    // Creates the folder and, with intermediates, every missing parent; an
    // existing folder is fine then, as Foundation has it.
    static void createDirectory(const std::string& path, bool withIntermediateDirectories = true);

    // The names of the folder's entries, hidden ones included, sorted.
    static std::vector<std::string> contentsOfDirectory(const std::string& path);

    // Removes a file, or a folder with everything in it.
    static void removeItem(const std::string& path);

    // Fails when something already exists at the destination; works across
    // file systems.
    static void moveItem(const std::string& from, const std::string& to);

    // The file's bytes, absent when it cannot be read.
    static std::optional<std::vector<uint8_t>> contents(const std::string& path);

    // Writes through a temporary file in the same folder and renames it into
    // place, so readers see the old content or the new, never a mix. It does
    // not wait for the disk, as the platform's atomic write does not: after
    // a power cut the file may be empty, which its readers must refuse.
    // `mode` gives the new file's permission bits.
    static void writeAtomically(const std::string& path, std::string_view bytes, unsigned mode = 0644);

    // The size of a regular file, absent when there is none.
    static std::optional<uint64_t> fileSize(const std::string& path);

    static std::string currentDirectoryPath();
    static std::string homeDirectoryPath();

    // Replaces a leading "~" or "~/" with the home folder; "~user" forms
    // name another user's home.
    static std::string expandingTildeInPath(std::string_view path);
};

} // namespace platform
