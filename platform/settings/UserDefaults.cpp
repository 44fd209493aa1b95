#include "platform/settings/UserDefaults.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <system_error>

#include "platform/foundation/JsonReader.h"
#include "platform/foundation/JsonWriter.h"

namespace platform {

namespace {

[[noreturn]] void fail(const std::string& what, const std::filesystem::path& path) {
    throw std::filesystem::filesystem_error(what, path, std::error_code(errno, std::generic_category()));
}

std::filesystem::path configFolder() {
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && config[0] == '/') return config;
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home != nullptr ? home : "/") / ".config";
}

void writeAll(int descriptor, const std::vector<std::uint8_t>& data, const std::filesystem::path& path) {
    std::size_t written = 0;
    while (written < data.size()) {
        const ssize_t count = ::write(descriptor, data.data() + written, data.size() - written);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) fail("cannot write the settings", path);
        written += static_cast<std::size_t>(count);
    }
}

JSONValue::Object::iterator find(JSONValue::Object& values, std::string_view key) {
    return std::find_if(values.begin(), values.end(), [&](const auto& member) { return member.first == key; });
}

}  // namespace

std::shared_ptr<UserDefaults> UserDefaults::standard() {
    static const auto defaults = std::make_shared<UserDefaults>(configFolder() / "dictaro" / "settings.json");
    return defaults;
}

UserDefaults::UserDefaults(std::filesystem::path file) : file_(std::move(file)) { load(); }

void UserDefaults::load() {
    std::ifstream input(file_, std::ios::binary);
    if (!input) return;
    const std::string text((std::istreambuf_iterator<char>(input)), std::istreambuf_iterator<char>());
    try {
        JSONValue document = jsonObject(text);
        if (JSONValue::Object* members = document.object()) {
            // A key written twice counts once, with its later value.
            for (auto& [key, value] : *members) {
                if (auto existing = find(values_, key); existing != values_.end()) {
                    existing->second = std::move(value);
                } else {
                    values_.emplace_back(key, std::move(value));
                }
            }
            return;
        }
    } catch (const JSONReadError&) {
    }
    unreadable_ = true;
}

std::optional<JSONValue> UserDefaults::object(std::string_view key) const {
    std::lock_guard lock(mutex_);
    for (const auto& [name, value] : values_) {
        if (name == key) return value;
    }
    return std::nullopt;
}

std::optional<std::string> UserDefaults::string(std::string_view key) const {
    std::optional<JSONValue> value = object(key);
    if (!value || !value->string()) return std::nullopt;
    return *value->string();
}

std::optional<bool> UserDefaults::boolean(std::string_view key) const {
    std::optional<JSONValue> value = object(key);
    if (!value || !value->number() || value->number()->storage() != JSONNumber::Storage::boolean) return std::nullopt;
    return value->number()->boolValue();
}

void UserDefaults::set(std::string_view key, JSONValue value) {
    std::vector<std::pair<std::string, JSONValue>> values;
    values.emplace_back(std::string(key), std::move(value));
    set(std::move(values));
}

void UserDefaults::set(std::vector<std::pair<std::string, JSONValue>> values) {
    std::lock_guard lock(mutex_);
    JSONValue::Object updated = values_;
    for (auto& [key, value] : values) {
        if (auto existing = find(updated, key); existing != updated.end()) {
            existing->second = std::move(value);
        } else {
            updated.emplace_back(std::move(key), std::move(value));
        }
    }
    write(updated);
    values_ = std::move(updated);
}

void UserDefaults::removeObject(std::string_view key) {
    std::lock_guard lock(mutex_);
    JSONValue::Object updated = values_;
    auto existing = find(updated, key);
    if (existing == updated.end()) return;
    updated.erase(existing);
    write(updated);
    values_ = std::move(updated);
}

void UserDefaults::write(const JSONValue::Object& values) {
    const std::filesystem::path folder = file_.parent_path();
    std::filesystem::create_directories(folder);
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all, std::filesystem::perm_options::replace);
    if (unreadable_) {
        // Whatever the user had there stays next to the new file.
        std::error_code ignored;
        std::filesystem::rename(file_, std::filesystem::path(file_) += ".unreadable", ignored);
        unreadable_ = false;
    }

    std::string temporary = (folder / (file_.filename().string() + ".XXXXXX")).string();
    const int descriptor = ::mkstemp(temporary.data());
    if (descriptor < 0) fail("cannot create the settings file", temporary);
    try {
        if (::fchmod(descriptor, S_IRUSR | S_IWUSR) != 0) fail("cannot protect the settings file", temporary);
        writeAll(descriptor, jsonData(JSONValue(values)), temporary);
        if (::fsync(descriptor) != 0) fail("cannot write the settings", temporary);
    } catch (...) {
        ::close(descriptor);
        ::unlink(temporary.c_str());
        throw;
    }
    if (::close(descriptor) != 0 || ::rename(temporary.c_str(), file_.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        errno = error;
        fail("cannot replace the settings file", file_);
    }
    // The rename itself must reach the disk before the change counts as saved.
    if (const int directory = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY); directory >= 0) {
        ::fsync(directory);
        ::close(directory);
    }
}

}  // namespace platform
