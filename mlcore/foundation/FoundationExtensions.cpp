#include "mlcore/foundation/FoundationExtensions.h"

#include "platform/foundation/FileManager.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/URL.h"
#include "platform/text/Graphemes.h"
#include "platform/text/UnicodeProperties.h"
#include "platform/text/Utf.h"

#include <fnmatch.h>

#include <algorithm>
#include <cmath>

namespace celvan {
namespace {

using Encode = std::function<std::vector<int>(const std::string&)>;

std::optional<std::string> acceptedPrefix(std::string_view prefix, int minTokenCount, const Encode& encode) {
    std::string trimmed(platform::text::trimmingWhitespacesAndNewlines(prefix));
    if (encode(trimmed).size() >= static_cast<std::size_t>(std::max(minTokenCount, 0))) return trimmed;
    return std::nullopt;
}

} // namespace

std::vector<std::string> matching(const std::vector<std::string>& names, const std::string& glob) {
    std::vector<std::string> matches;
    for (const std::string& name : names) {
        if (::fnmatch(glob.c_str(), name.c_str(), 0) == 0) matches.push_back(name);
    }
    return matches;
}

std::string trimmingFromEnd(std::string_view text, std::string_view character, int upto) {
    for (int removed = 0; removed < upto && !text.empty(); ++removed) {
        const std::string_view last = platform::text::lastGraphemeCluster(text);
        if (!platform::text::charactersEqual(last, character)) break;
        text.remove_suffix(last.size());
    }
    return std::string(text);
}

std::optional<std::string> lastNaturalBoundary(std::string_view text, int minTokenCount, const Encode& encode) {
    if (text.empty()) return std::nullopt;
    const std::vector<std::string_view> characters = platform::text::graphemeClusters(text);
    // Offset just past the last character that is one of `boundaries`.
    auto endOfLast = [&](std::initializer_list<std::string_view> boundaries) -> std::optional<std::size_t> {
        for (auto it = characters.rbegin(); it != characters.rend(); ++it) {
            if (std::find(boundaries.begin(), boundaries.end(), *it) != boundaries.end()) {
                return static_cast<std::size_t>(it->data() - text.data()) + it->size();
            }
        }
        return std::nullopt;
    };
    for (const auto& tier : {std::initializer_list<std::string_view>{".", "!", "?", "\n"},
                             std::initializer_list<std::string_view>{",", ";", ":", "-", "\xE2\x80\x93"}}) {
        if (const auto end = endOfLast(tier)) {
            if (auto prefix = acceptedPrefix(text.substr(0, *end), minTokenCount, encode)) return prefix;
        }
    }
    if (const auto end = endOfLast({" "})) return acceptedPrefix(text.substr(0, *end - 1), minTokenCount, encode);
    return std::nullopt;
}

std::string resolveAbsolutePath(std::string_view path) {
    const std::string expanded = platform::FileManager::expandingTildeInPath(path);
    if (!expanded.empty() && expanded.front() == '/') return expanded;
    return platform::URL::fileURLWithPath(platform::FileManager::currentDirectoryPath(), true)
        .appendingPathComponent(expanded)
        .path();
}

float rounded(float value, int places) {
    const float scale = std::pow(10.0f, static_cast<float>(places));
    return std::round(value * scale) / scale;
}

std::string ProcessInfo::stringFromSysctl(std::string_view name) {
    const std::string value = platform::ProcessInfo::systemValue(name);
    return platform::text::repairUtf8(std::string_view(value).substr(0, value.find('\0')));
}

const std::string& ProcessInfo::processor() {
    static const std::string value = stringFromSysctl("machdep.cpu.brand_string");
    return value;
}

const std::string& ProcessInfo::cores() {
    static const std::string value = stringFromSysctl("machdep.cpu.core_count");
    return value;
}

const std::string& ProcessInfo::threads() {
    static const std::string value = stringFromSysctl("machdep.cpu.thread_count");
    return value;
}

const std::string& ProcessInfo::vendor() {
    static const std::string value = stringFromSysctl("machdep.cpu.vendor");
    return value;
}

const std::string& ProcessInfo::family() {
    static const std::string value = stringFromSysctl("machdep.cpu.family");
    return value;
}

const std::string& ProcessInfo::hwModel() {
    static const std::string value = stringFromSysctl("hw.model");
    return value;
}

} // namespace celvan
