#include "platform/foundation/FileManager.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace platform {
namespace fs = std::filesystem;

namespace {

std::error_code lastError() {
    return std::error_code(errno, std::generic_category());
}

std::string userHome(const std::string& user) {
    struct passwd* entry = user.empty() ? ::getpwuid(::getuid()) : ::getpwnam(user.c_str());
    return entry && entry->pw_dir ? entry->pw_dir : "";
}

void writeAll(int fd, std::string_view bytes, const std::string& path) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            throw FileSystemError("write", path, lastError());
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
}

} // namespace

FileSystemError::FileSystemError(std::string_view operation, std::string path, std::error_code code)
    : std::runtime_error("Could not " + std::string(operation) + " \"" + path + "\": " + code.message()),
      path_(std::move(path)),
      code_(code) {}

bool FileManager::fileExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

bool FileManager::isDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

void FileManager::createDirectory(const std::string& path, bool withIntermediateDirectories) {
    std::error_code error;
    if (withIntermediateDirectories) {
        fs::create_directories(path, error);
        if (!error && !isDirectory(path)) error = std::make_error_code(std::errc::file_exists);
    } else if (!fs::create_directory(path, error) && !error) {
        error = std::make_error_code(std::errc::file_exists);
    }
    if (error) throw FileSystemError("create the folder", path, error);
}

std::vector<std::string> FileManager::contentsOfDirectory(const std::string& path) {
    std::error_code error;
    fs::directory_iterator entries(path, error);
    std::vector<std::string> names;
    for (; !error && entries != fs::directory_iterator(); entries.increment(error)) {
        names.push_back(entries->path().filename().string());
    }
    if (error) throw FileSystemError("list the folder", path, error);
    std::sort(names.begin(), names.end());
    return names;
}

void FileManager::removeItem(const std::string& path) {
    std::error_code error;
    if (!fs::exists(fs::symlink_status(path, error))) {
        throw FileSystemError("remove", path, std::make_error_code(std::errc::no_such_file_or_directory));
    }
    fs::remove_all(path, error);
    if (error) throw FileSystemError("remove", path, error);
}

void FileManager::moveItem(const std::string& from, const std::string& to) {
    std::error_code error;
    if (fs::exists(fs::symlink_status(to, error))) {
        throw FileSystemError("move onto", to, std::make_error_code(std::errc::file_exists));
    }
    fs::rename(from, to, error);
    if (error == std::errc::cross_device_link) {
        error.clear();
        fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks, error);
        if (!error) fs::remove_all(from, error);
    }
    if (error) throw FileSystemError("move", from, error);
}

std::optional<std::vector<uint8_t>> FileManager::contents(const std::string& path) {
    if (isDirectory(path)) return std::nullopt;
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    // Read in large blocks: a byte at a time costs more than the disk for
    // files of many megabytes. The size is only a hint, for a file may grow.
    constexpr std::size_t kBlock = 1 << 16;
    std::vector<uint8_t> bytes;
    std::error_code sizeError;
    if (const auto size = fs::file_size(path, sizeError); !sizeError) bytes.reserve(size + 1);
    std::size_t filled = 0;
    while (file) {
        bytes.resize(filled + kBlock);
        file.read(reinterpret_cast<char*>(bytes.data() + filled), static_cast<std::streamsize>(kBlock));
        filled += static_cast<std::size_t>(file.gcount());
    }
    if (file.bad()) return std::nullopt;
    bytes.resize(filled);
    return bytes;
}

void FileManager::writeAtomically(const std::string& path, std::string_view bytes, unsigned mode) {
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) throw FileSystemError("write", path, lastError());
    try {
        writeAll(fd, bytes, path);
        if (::fchmod(fd, static_cast<mode_t>(mode)) != 0) throw FileSystemError("write", path, lastError());
    } catch (...) {
        ::close(fd);
        ::unlink(temporary.c_str());
        throw;
    }
    if (::close(fd) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
        const std::error_code error = lastError();
        ::unlink(temporary.c_str());
        throw FileSystemError("write", path, error);
    }
}

std::optional<uint64_t> FileManager::fileSize(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return static_cast<uint64_t>(info.st_size);
}

std::string FileManager::currentDirectoryPath() {
    std::error_code error;
    const fs::path current = fs::current_path(error);
    return error ? "" : current.string();
}

std::string FileManager::homeDirectoryPath() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    return userHome("");
}

std::string FileManager::expandingTildeInPath(std::string_view path) {
    if (path.empty() || path.front() != '~') return std::string(path);
    const std::size_t slash = path.find('/');
    const std::string user(path.substr(1, slash == std::string_view::npos ? std::string_view::npos : slash - 1));
    std::string home = user.empty() ? homeDirectoryPath() : userHome(user);
    if (home.empty()) return std::string(path);
    if (home.size() > 1 && home.back() == '/') home.pop_back();
    return slash == std::string_view::npos ? home : home + std::string(path.substr(slash));
}

} // namespace platform
