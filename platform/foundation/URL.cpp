#include "platform/foundation/URL.h"

#include <sys/stat.h>

#include <cctype>
#include <filesystem>
#include <string_view>

namespace platform {
namespace {

bool isUnreserved(unsigned char c) {
    return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

bool isSubDelimiter(unsigned char c) {
    return std::string_view("!$&'()*+,;=").find(static_cast<char>(c)) != std::string_view::npos;
}

bool inPath(unsigned char c) {
    return isUnreserved(c) || isSubDelimiter(c) || c == ':' || c == '@' || c == '/';
}

bool inPathSegment(unsigned char c) {
    return inPath(c) && c != '/';
}

bool inQuery(unsigned char c) {
    return inPath(c) || c == '?';
}

bool inUserInfo(unsigned char c) {
    return isUnreserved(c) || isSubDelimiter(c) || c == ':';
}

bool inHost(unsigned char c) {
    return isUnreserved(c) || isSubDelimiter(c) || c == ':' || c == '[' || c == ']';
}

bool isHexDigit(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

int hexValue(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
}

// With keepEscapes, a "%" that already starts a valid escape stays as it is
// (text that is already an address); otherwise every "%" is data.
template <typename Allowed>
std::string percentEncode(std::string_view text, Allowed allowed, bool keepEscapes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool validEscape = c == '%' && i + 2 < text.size() && isHexDigit(text[i + 1]) && isHexDigit(text[i + 2]);
        if (allowed(c) || (keepEscapes && validEscape)) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xF]);
        }
    }
    return out;
}

std::string percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && isHexDigit(text[i + 1]) && isHexDigit(text[i + 2])) {
            out.push_back(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

bool isValidScheme(std::string_view scheme) {
    if (scheme.empty() || !std::isalpha(static_cast<unsigned char>(scheme.front()))) return false;
    for (char c : scheme) {
        const auto u = static_cast<unsigned char>(c);
        if (!std::isalnum(u) && c != '+' && c != '-' && c != '.') return false;
    }
    return true;
}

std::optional<int> parsePort(std::string_view text, bool& valid) {
    valid = true;
    if (text.empty()) return std::nullopt;
    int port = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)) || port > 65535) {
            valid = false;
            return std::nullopt;
        }
        port = port * 10 + (c - '0');
    }
    if (port > 65535) valid = false;
    return port;
}

// Parses "userinfo@host:port"; false when the port is not a number.
bool parseAuthority(std::string_view authority, URL::Components& components) {
    const std::size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
        components.userInfo = percentEncode(authority.substr(0, at), inUserInfo, true);
        authority.remove_prefix(at + 1);
    }
    const std::size_t closingBracket = authority.rfind(']');
    std::size_t colon = authority.rfind(':');
    if (colon != std::string_view::npos && closingBracket != std::string_view::npos && colon < closingBracket) {
        colon = std::string_view::npos;
    }
    if (colon != std::string_view::npos) {
        bool valid = false;
        components.port = parsePort(authority.substr(colon + 1), valid);
        if (!valid) return false;
        authority = authority.substr(0, colon);
    }
    components.host = percentDecode(authority);
    return true;
}

bool isDirectoryOnDisk(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string absolutePath(std::string_view path) {
    if (!path.empty() && path.front() == '/') return std::string(path);
    std::string absolute = std::filesystem::current_path().string();
    if (absolute.back() != '/') absolute.push_back('/');
    return absolute.append(path);
}

std::string withoutTrailingSlash(std::string path) {
    if (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

} // namespace

URL::URL(Components components) : components_(std::move(components)) {
    if (!components_.scheme.empty()) text_ = components_.scheme + ":";
    if (components_.host) {
        text_ += "//";
        if (components_.userInfo) text_ += *components_.userInfo + "@";
        text_ += percentEncode(*components_.host, inHost, false);
        if (components_.port) text_ += ":" + std::to_string(*components_.port);
    }
    text_ += components_.path;
    if (components_.query) text_ += "?" + *components_.query;
    if (components_.fragment) text_ += "#" + *components_.fragment;
}

std::optional<URL> URL::fromString(std::string_view text) {
    if (text.empty()) return std::nullopt;
    Components components;
    std::string_view rest = text;
    const std::size_t schemeEnd = rest.find_first_of(":/?#");
    if (schemeEnd != std::string_view::npos && rest[schemeEnd] == ':') {
        if (!isValidScheme(rest.substr(0, schemeEnd))) return std::nullopt;
        components.scheme = std::string(rest.substr(0, schemeEnd));
        rest.remove_prefix(schemeEnd + 1);
    }
    if (rest.substr(0, 2) == "//") {
        rest.remove_prefix(2);
        const std::size_t authorityEnd = rest.find_first_of("/?#");
        if (!parseAuthority(rest.substr(0, authorityEnd), components)) return std::nullopt;
        rest = authorityEnd == std::string_view::npos ? std::string_view() : rest.substr(authorityEnd);
    }
    const std::size_t fragmentStart = rest.find('#');
    if (fragmentStart != std::string_view::npos) {
        components.fragment = percentEncode(rest.substr(fragmentStart + 1), inQuery, true);
        rest = rest.substr(0, fragmentStart);
    }
    const std::size_t queryStart = rest.find('?');
    if (queryStart != std::string_view::npos) {
        components.query = percentEncode(rest.substr(queryStart + 1), inQuery, true);
        rest = rest.substr(0, queryStart);
    }
    components.path = percentEncode(rest, inPath, true);
    return URL(std::move(components));
}

URL URL::fromComponents(const Components& components) {
    return URL(components);
}

URL URL::fileURLWithPath(std::string_view path) {
    const std::string absolute = absolutePath(path);
    return fileURLWithPath(absolute, absolute.back() == '/' || isDirectoryOnDisk(absolute));
}

URL URL::fileURLWithPath(std::string_view path, bool isDirectory) {
    std::string absolute = absolutePath(path);
    if (isDirectory && absolute.back() != '/') absolute.push_back('/');
    Components components;
    components.scheme = "file";
    components.host = "";
    components.path = percentEncode(absolute, inPath, false);
    return URL(std::move(components));
}

bool URL::hasDirectoryPath() const {
    return !components_.path.empty() && components_.path.back() == '/';
}

std::string URL::path() const {
    return withoutTrailingSlash(percentDecode(components_.path));
}

std::vector<std::string> URL::pathComponents() const {
    // Split before decoding, so an encoded "/" stays inside its component.
    const std::string& encoded = components_.path;
    std::vector<std::string> parts;
    if (!encoded.empty() && encoded.front() == '/') parts.emplace_back("/");
    std::size_t start = 0;
    while (start < encoded.size()) {
        std::size_t end = encoded.find('/', start);
        if (end == std::string::npos) end = encoded.size();
        if (end > start) parts.push_back(percentDecode(std::string_view(encoded).substr(start, end - start)));
        start = end + 1;
    }
    return parts;
}

std::string URL::lastPathComponent() const {
    const std::string encoded = withoutTrailingSlash(components_.path);
    if (encoded.empty() || encoded == "/") return encoded;
    const std::size_t slash = encoded.rfind('/');
    return percentDecode(slash == std::string::npos ? encoded : encoded.substr(slash + 1));
}

std::string URL::pathExtension() const {
    const std::string last = lastPathComponent();
    const std::size_t dot = last.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == last.size()) return "";
    return last.substr(dot + 1);
}

URL URL::withPath(std::string path) const {
    Components components = components_;
    components.path = std::move(path);
    return URL(std::move(components));
}

URL URL::appendingPathComponent(std::string_view component) const {
    while (!component.empty() && component.front() == '/') component.remove_prefix(1);
    if (component.empty()) return *this;
    std::string path = components_.path;
    if (path.empty() || path.back() != '/') path.push_back('/');
    return withPath(path + percentEncode(component, inPath, false));
}

URL URL::appendingComponent(std::string_view component) const {
    if (component.empty()) return *this;
    std::string path = components_.path;
    if (path.empty() || path.back() != '/') path.push_back('/');
    return withPath(path + percentEncode(component, inPathSegment, false));
}

URL URL::deletingLastPathComponent() const {
    const std::string& path = components_.path;
    if (path.empty() || path == "/") return *this;
    const std::string trimmed = withoutTrailingSlash(path);
    const std::size_t slash = trimmed.rfind('/');
    return withPath(slash == std::string::npos ? "./" : trimmed.substr(0, slash + 1));
}

} // namespace platform
