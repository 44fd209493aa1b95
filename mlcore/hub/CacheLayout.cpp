#include "mlcore/hub/CacheLayout.h"

#include <algorithm>
#include <array>
#include <vector>

#include "mlcore/hub/Hub.h"
#include "platform/crypto/SHA256.h"

namespace celvan {

namespace {

constexpr std::array<std::string_view, 3> kMetadataFolder = {".cache", "huggingface", "download"};

// Long enough for any tag a hub sends (a SHA-256 is 64), short enough that
// the partial file's name stays well within a file system's name limit.
constexpr std::size_t kLongestPlainEtag = 96;

std::vector<std::string_view> segmentsOf(std::string_view path) {
    std::vector<std::string_view> segments;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = path.find('/', start);
        segments.push_back(path.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) return segments;
        start = end + 1;
    }
}

bool hasForbiddenCharacter(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f || c == '\\';
    });
}

bool isSafeSegment(std::string_view segment) { return !segment.empty() && segment != "." && segment != ".."; }

bool isSafeSegmentPath(std::string_view path) {
    if (path.empty() || hasForbiddenCharacter(path)) return false;
    const auto segments = segmentsOf(path);
    return std::all_of(segments.begin(), segments.end(), isSafeSegment);
}

// Names in messages are shown without their control characters, which
// would otherwise garble a log line or a terminal.
std::string printable(std::string_view text) {
    std::string shown;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        shown.push_back(byte < 0x20 || byte == 0x7f ? '?' : c);
    }
    return shown;
}

[[noreturn]] void reject(const std::string& what, std::string_view value) {
    throw Hub::HubClientError::parseError(what + " \"" + printable(value) + "\"");
}

}  // namespace

bool isSafeRelativeFilename(std::string_view name) {
    if (!isSafeSegmentPath(name)) return false;
    const auto segments = segmentsOf(name);
    // A name inside the metadata folder, or one that would put a file where
    // one of its folders belongs, could overwrite or block the bookkeeping.
    const std::size_t shared = std::min(segments.size(), kMetadataFolder.size());
    return !std::equal(segments.begin(), segments.begin() + static_cast<std::ptrdiff_t>(shared),
                       kMetadataFolder.begin());
}

void checkRelativeFilename(const std::string& name) {
    if (!isSafeRelativeFilename(name)) reject("Unsafe file name in repository:", name);
}

void checkRepoId(const std::string& id) {
    if (!isSafeSegmentPath(id)) reject("Invalid repository id:", id);
}

void checkRevision(const std::string& revision) {
    if (!isSafeSegment(revision) || hasForbiddenCharacter(revision)) reject("Invalid revision:", revision);
}

std::string etagFileComponent(const std::string& etag) {
    const bool plain = !etag.empty() && etag.size() <= kLongestPlainEtag &&
                       std::all_of(etag.begin(), etag.end(), [](char c) {
                           return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                  c == '.' || c == '_' || c == '-';
                       });
    return plain ? etag : platform::SHA256::hash(etag).hexString();
}

platform::URL repoDestination(const platform::URL& downloadBase, const HubApi::Repo& repo) {
    checkRepoId(repo.id);
    return downloadBase.appendingPathComponent(rawValue(repo.type)).appendingPathComponent(repo.id);
}

platform::URL repoMetadataDestination(const platform::URL& repoDestination) {
    return repoDestination.appendingPathComponent(".cache")
        .appendingPathComponent("huggingface")
        .appendingPathComponent("download");
}

platform::URL metadataFileLocation(const platform::URL& repoMetadataDestination, const std::string& relativeFilename) {
    checkRelativeFilename(relativeFilename);
    return repoMetadataDestination.appendingPathComponent(relativeFilename + ".metadata");
}

platform::URL incompleteFileLocation(const platform::URL& repoMetadataDestination,
                                     const std::string& relativeFilename, const std::string& etag) {
    checkRelativeFilename(relativeFilename);
    return repoMetadataDestination.appendingPathComponent(relativeFilename + "." + etagFileComponent(etag) +
                                                          ".incomplete");
}

}  // namespace celvan
