#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// A file or web address with Foundation's path-component rules. Paths are
// kept percent-encoded inside; the accessors that return text decode it.
class URL {
public:
    // Every text field except the host is percent-encoded.
    struct Components {
        std::string scheme;
        std::optional<std::string> userInfo;
        std::optional<std::string> host;
        std::optional<int> port;
        std::string path;
        std::optional<std::string> query;
        std::optional<std::string> fragment;
    };

    // Absent for empty text or text that is no address (a bad scheme or
    // port); characters that may not appear are percent-encoded.
    static std::optional<URL> fromString(std::string_view text);
    static URL fromComponents(const Components& components);

    // A relative path is taken from the current directory. Without a hint
    // the path is a directory when it ends in "/" or names one on disk.
    static URL fileURLWithPath(std::string_view path);
    static URL fileURLWithPath(std::string_view path, bool isDirectory);

    const std::string& absoluteString() const { return text_; }
    const std::string& description() const { return text_; }
    const Components& components() const { return components_; }

    const std::string& scheme() const { return components_.scheme; }
    const std::optional<std::string>& host() const { return components_.host; }
    std::optional<int> port() const { return components_.port; }
    const std::optional<std::string>& query() const { return components_.query; }
    bool isFileURL() const { return components_.scheme == "file"; }
    bool hasDirectoryPath() const;

    // The decoded path without its trailing "/" ("/" for the root).
    std::string path() const;
    const std::string& percentEncodedPath() const { return components_.path; }

    // The decoded components, led by "/" for an absolute path; empty
    // segments are skipped.
    std::vector<std::string> pathComponents() const;
    // The decoded last component ("/" for the root, "" for no path).
    std::string lastPathComponent() const;
    // The text after the last "." of the last component, unless that "."
    // starts or ends it.
    std::string pathExtension() const;

    // "/" inside the component separates nested components; a trailing "/"
    // makes the result a directory.
    URL appendingPathComponent(std::string_view component) const;
    // The component stays one component: a "/" inside it is percent-encoded.
    URL appendingComponent(std::string_view component) const;
    // The parent, ending in "/"; the root stays the root.
    URL deletingLastPathComponent() const;

    friend bool operator==(const URL& a, const URL& b) { return a.text_ == b.text_; }

private:
    explicit URL(Components components);
    URL withPath(std::string path) const;

    Components components_;
    std::string text_;
};

} // namespace platform

template <>
struct std::hash<platform::URL> {
    std::size_t operator()(const platform::URL& url) const noexcept {
        return std::hash<std::string>()(url.absoluteString());
    }
};
