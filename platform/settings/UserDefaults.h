#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/foundation/JsonValue.h"

namespace platform {

// The application's settings: one JSON object in a file of the user's own
// (folder 0700, file 0600). Every change is written at once through a
// temporary file that is renamed over the old one, so a crash leaves either
// the old file or the new one, whole. A file that cannot be opened or read as
// settings is moved aside on the first write, never overwritten: each time to
// a name of its own, "settings.json.unreadable-<date>-<time>", which the
// system log names.
class UserDefaults {
public:
    // $XDG_CONFIG_HOME/dictaro/settings.json, else ~/.config/dictaro/settings.json.
    static std::shared_ptr<UserDefaults> standard();

    explicit UserDefaults(std::filesystem::path file);

    const std::filesystem::path& file() const noexcept { return file_; }

    std::optional<JSONValue> object(std::string_view key) const;
    // The stored value when it has that type, else none.
    std::optional<std::string> string(std::string_view key) const;
    std::optional<bool> boolean(std::string_view key) const;

    // Each writes the file before it returns and throws
    // std::filesystem::filesystem_error when it cannot; the value in memory
    // stays as it was then.
    void set(std::string_view key, JSONValue value);
    void set(std::vector<std::pair<std::string, JSONValue>> values);
    void removeObject(std::string_view key);

private:
    void load();
    void setAsideUnreadableFile();
    void write(const JSONValue::Object& values);

    std::filesystem::path file_;
    mutable std::mutex mutex_;
    JSONValue::Object values_;
    // Why the file on disk could not be read; none when it could, or when
    // there is none.
    std::optional<std::string> unreadable_;
};

}  // namespace platform
