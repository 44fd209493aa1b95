#include "platform/settings/UserDefaults.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <system_error>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/JsonReader.h"
#include "platform/foundation/JsonWriter.h"
#include "platform/log/SystemLog.h"

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

// Moves `from` to `to` unless something is there already; false with errno
// set otherwise.
bool moveWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    // Some file systems (NFS among them) cannot rename without replacing; a
    // hard link refuses an existing name just the same.
    if (errno != EINVAL || ::link(from.c_str(), to.c_str()) != 0) return false;
    return ::unlink(from.c_str()) == 0;
}

// "settings.json.unreadable-20260312-174501", with "-2", "-3", ... after it
// for a name that is taken.
std::filesystem::path setAsideName(const std::filesystem::path& file, int attempt) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    std::string name = file.filename().string() + ".unreadable-" + stamp;
    if (attempt > 1) name += "-" + std::to_string(attempt);
    return file.parent_path() / name;
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
    const std::optional<std::vector<std::uint8_t>> bytes = FileManager::contents(file_.string());
    if (!bytes) {
        std::error_code ignored;
        if (std::filesystem::exists(std::filesystem::symlink_status(file_, ignored))) {
            unreadable_ = "it cannot be opened";
        }
        return;
    }
    try {
        JSONValue document = jsonObject(std::string(bytes->begin(), bytes->end()));
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
        unreadable_ = "it holds no settings object";
    } catch (const JSONReadError&) {
        // The reader's own words quote the file, which is the user's to see,
        // not the log's.
        unreadable_ = "it is not valid JSON";
    }
}

void UserDefaults::setAsideUnreadableFile() {
    std::filesystem::path copy;
    for (int attempt = 1;; ++attempt) {
        copy = setAsideName(file_, attempt);
        if (moveWithoutReplacing(file_, copy)) break;
        // Gone meanwhile: there is nothing left to keep.
        if (errno == ENOENT) return;
        if (errno != EEXIST || attempt == 1000) fail("cannot set the unreadable settings file aside", file_);
    }
    static const log::Logger systemLog("com.pelmaroven.dictaro", "UserDefaults");
    systemLog.log(log::LogType::error, "The settings file " + file_.string() + " could not be read (" + *unreadable_ +
                                           "); it is kept as " + copy.string() +
                                           " and the settings start from their defaults");
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
        setAsideUnreadableFile();
        unreadable_.reset();
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
