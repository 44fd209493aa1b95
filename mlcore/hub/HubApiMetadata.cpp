#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string_view>

#include "mlcore/hub/Hub.h"
#include "mlcore/hub/HubApi.h"
#include "platform/crypto/SHA256.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/NumberFormatting.h"

namespace celvan {

namespace {

// Line feed, vertical tab, form feed, carriage return, NEL, and the Unicode
// line and paragraph separators each end a line; "\r\n" ends two.
std::vector<std::string> splitAtNewlines(std::string_view text) {
    std::vector<std::string> parts(1);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t separatorLength = 0;
        if (c >= 0x0a && c <= 0x0d) {
            separatorLength = 1;
        } else if (c == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x85) {
            separatorLength = 2;
        } else if (c == 0xe2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
                   (static_cast<unsigned char>(text[i + 2]) == 0xa8 || static_cast<unsigned char>(text[i + 2]) == 0xa9)) {
            separatorLength = 3;
        }
        if (separatorLength == 0) {
            parts.back().push_back(text[i]);
        } else {
            parts.emplace_back();
            i += separatorLength - 1;
        }
    }
    return parts;
}

std::string trimmed(std::string_view text) {
    auto isSpace = [](char c) { return c == ' ' || c == '\t' || (c >= 0x0a && c <= 0x0d); };
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    return std::string(text);
}

std::optional<double> parseWholeDouble(const std::string& text) {
    if (text.empty()) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || errno == ERANGE) return std::nullopt;
    return value;
}

std::string removingAll(std::string text, std::string_view part) {
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at)) text.erase(at, part.size());
    return text;
}

double secondsSince1970() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

HubApi::LocalDownloadFileMetadata parseMetadata(const platform::URL& metadataPath) {
    const auto bytes = platform::FileManager::contents(metadataPath.path());
    if (!bytes) throw std::runtime_error("The file could not be read.");
    const auto parts =
        splitAtNewlines(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
    if (parts.size() < 3) throw HubApi::EnvironmentError::invalidMetadataError("Metadata file is missing required fields");
    HubApi::LocalDownloadFileMetadata metadata;
    metadata.commitHash = trimmed(parts[0]);
    metadata.etag = trimmed(parts[1]);
    const auto timestamp = parseWholeDouble(trimmed(parts[2]));
    if (!timestamp) throw HubApi::EnvironmentError::invalidMetadataError("Invalid timestamp format");
    metadata.timestamp = *timestamp;
    metadata.filename = removingAll(metadataPath.lastPathComponent(), ".metadata");
    return metadata;
}

}  // namespace

std::optional<HubApi::LocalDownloadFileMetadata> HubApi::readDownloadMetadata(const platform::URL& metadataPath) const {
    if (!platform::FileManager::fileExists(metadataPath.path())) return std::nullopt;
    try {
        return parseMetadata(metadataPath);
    } catch (const EnvironmentError& error) {
        logger().log(platform::log::LogType::error, "Invalid metadata file " + metadataPath.absoluteString() + ": " +
                                                        error.what() + ". Removing it from disk and continuing.");
    } catch (const std::exception& error) {
        logger().log(platform::log::LogType::error, "Error reading metadata file " + metadataPath.absoluteString() +
                                                        ": " + error.what() + ". Removing it from disk and continuing.");
    }
    try {
        platform::FileManager::removeItem(metadataPath.path());
    } catch (const std::exception& error) {
        throw EnvironmentError::invalidMetadataError(std::string("Could not remove corrupted metadata file: ") +
                                                     error.what());
    }
    return std::nullopt;
}

void HubApi::writeDownloadMetadata(const std::string& commitHash, const std::string& etag,
                                   const platform::URL& metadataPath) const {
    const std::string text = commitHash + "\n" + etag + "\n" + platform::description(secondsSince1970()) + "\n";
    try {
        platform::FileManager::createDirectory(metadataPath.deletingLastPathComponent().path());
        platform::FileManager::writeAtomically(metadataPath.path(), text);
    } catch (const std::exception& error) {
        throw EnvironmentError::fileWriteError("Failed to write metadata to " + metadataPath.path() + ": " +
                                               error.what());
    }
}

std::string HubApi::computeFileHash(const platform::URL& file) const {
    try {
        return platform::SHA256::hashFile(file.path()).hexString();
    } catch (const std::filesystem::filesystem_error&) {
        throw Hub::HubClientError::fileNotFound(file.lastPathComponent());
    }
}

}  // namespace celvan
