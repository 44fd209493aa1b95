#include "app/dictation/LogFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <fstream>
#include <iterator>

#include "platform/foundation/FileManager.h"

namespace dictaro {
namespace fs = std::filesystem;

namespace {

constexpr unsigned privateFolderMode = 0700;
constexpr unsigned privateFileMode = 0600;

bool isUtf8Continuation(char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

}  // namespace

void trimLogIfNeeded(const fs::path& file, std::uintmax_t threshold, std::uintmax_t keep) {
    std::error_code error;
    const std::uintmax_t size = fs::file_size(file, error);
    if (error || size <= threshold) return;
    std::ifstream in(file, std::ios::binary);
    if (!in) return;
    in.seekg(static_cast<std::streamoff>(size - std::min(keep, size)));
    std::string tail{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) return;
    // A UTF-8 character is at most four bytes, so at most three continuation
    // bytes of a cut one can lead the tail.
    std::size_t start = 0;
    while (start < 3 && start < tail.size() && isUtf8Continuation(tail[start])) ++start;
    try {
        platform::FileManager::writeAtomically(file.string(), std::string_view(tail).substr(start), privateFileMode);
    } catch (const platform::FileSystemError&) {
        // The log keeps its old content; it is trimmed at the next launch.
    }
}

LogFile::LogFile(fs::path file) : file_(std::move(file)), queue_("com.pelmaroven.dictaro.log") {}

const fs::path& LogFile::location() {
    std::call_once(located_, [this] {
        std::error_code ignored;
        fs::create_directories(file_.parent_path(), ignored);
        // An older run may have left the folder or the file readable by others.
        fs::permissions(file_.parent_path(), static_cast<fs::perms>(privateFolderMode), ignored);
        fs::permissions(file_, static_cast<fs::perms>(privateFileMode), ignored);
        trimLogIfNeeded(file_, trimThreshold, keptTail);
    });
    return file_;
}

void LogFile::append(std::string line) {
    queue_.post([this, line = std::move(line)] { appendNow(line); });
}

void LogFile::waitUntilWritten() {
    queue_.run([] {});
}

void LogFile::appendNow(const std::string& line) {
    const int fd = ::open(location().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, privateFileMode);
    if (fd < 0) return;
    std::string_view rest = line;
    while (!rest.empty()) {
        const ssize_t written = ::write(fd, rest.data(), rest.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) break;
        rest.remove_prefix(static_cast<std::size_t>(written));
    }
    ::close(fd);
}

}  // namespace dictaro
