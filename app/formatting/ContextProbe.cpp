#include "app/formatting/ContextProbe.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/text/Graphemes.h"
#include "platform/text/UnicodeProperties.h"

namespace dictaro {

namespace {

using Kind = ContextProfile::Kind;

constexpr std::size_t kMaxHintCharacters = 80;

const std::unordered_map<std::string, Kind>& exactMatch() {
    static const std::unordered_map<std::string, Kind> table{
        {"com.apple.mail", Kind::email},
        {"com.readdle.smartemail-Mac", Kind::email},
        {"com.airmail.airmail", Kind::email},
        {"com.microsoft.Outlook", Kind::email},
        {"com.mimestream.Mimestream", Kind::email},
        {"com.apple.MobileSMS", Kind::chat},
        {"com.tinyspeck.slackmacgap", Kind::chat},
        {"com.hnc.Discord", Kind::chat},
        {"ru.keepcoder.Telegram", Kind::chat},
        {"net.whatsapp.WhatsApp", Kind::chat},
        {"desktop.WhatsApp", Kind::chat},
        {"com.microsoft.teams", Kind::chat},
        {"com.microsoft.teams2", Kind::chat},
        {"org.whispersystems.signal-desktop", Kind::chat},
        {"chat.zulip.app", Kind::chat},
        {"com.anthropic.claudefordesktop", Kind::chat},
        {"com.openai.chat", Kind::chat},
        {"com.apple.Terminal", Kind::terminal},
        {"com.googlecode.iterm2", Kind::terminal},
        {"dev.warp.Warp-Stable", Kind::terminal},
        {"com.mitchellh.ghostty", Kind::terminal},
        {"net.kovidgoyal.kitty", Kind::terminal},
        {"io.alacritty", Kind::terminal},
        {"com.apple.dt.Xcode", Kind::code},
        {"com.microsoft.VSCode", Kind::code},
        {"com.microsoft.VSCodeInsiders", Kind::code},
        {"com.visualstudio.code.oss", Kind::code},
        {"com.sublimetext.4", Kind::code},
        {"com.sublimetext.3", Kind::code},
        {"dev.zed.Zed", Kind::code},
        {"dev.zed.Zed-Preview", Kind::code},
        {"com.panic.Nova", Kind::code},
        {"com.todesktop.230313mzl4w4u92", Kind::code},
        {"com.apple.Notes", Kind::notes},
        {"md.obsidian", Kind::notes},
        {"notion.id", Kind::notes},
        {"net.shinyfrog.bear", Kind::notes},
        {"com.lukilabs.lukiapp", Kind::notes},
        {"com.evernote.Evernote", Kind::notes},
        {"abnerworks.Typora", Kind::notes},
    };
    return table;
}

constexpr std::array<std::pair<std::string_view, Kind>, 1> kPrefixMatch{{{"com.jetbrains.", Kind::code}}};

// The same kinds of application as they name themselves on a Linux desktop.
// X11 class names come in whatever case their authors chose ("Slack",
// "discord"), so these compare without regard to ASCII case; the table keeps
// them in lower case.
const std::unordered_map<std::string, Kind>& linuxExactMatch() {
    static const std::unordered_map<std::string, Kind> table{
        {"org.gnome.evolution", Kind::email},
        {"evolution", Kind::email},
        {"thunderbird", Kind::email},
        {"org.mozilla.thunderbird", Kind::email},
        {"net.thunderbird.thunderbird", Kind::email},
        {"org.gnome.geary", Kind::email},
        {"org.kde.kmail2", Kind::email},
        {"kmail", Kind::email},
        {"mailspring", Kind::email},
        {"slack", Kind::chat},
        {"com.slack.slack", Kind::chat},
        {"discord", Kind::chat},
        {"com.discordapp.discord", Kind::chat},
        {"org.telegram.desktop", Kind::chat},
        {"telegramdesktop", Kind::chat},
        {"signal", Kind::chat},
        {"signal-desktop", Kind::chat},
        {"org.signal.signal", Kind::chat},
        {"element", Kind::chat},
        {"im.riot.riot", Kind::chat},
        {"teams-for-linux", Kind::chat},
        {"zulip", Kind::chat},
        {"org.gnome.fractal", Kind::chat},
        {"org.gnome.terminal", Kind::terminal},
        {"gnome-terminal-server", Kind::terminal},
        {"org.gnome.console", Kind::terminal},
        {"org.kde.konsole", Kind::terminal},
        {"konsole", Kind::terminal},
        {"kitty", Kind::terminal},
        {"alacritty", Kind::terminal},
        {"org.alacritty.alacritty", Kind::terminal},
        {"com.mitchellh.ghostty", Kind::terminal},
        {"org.wezfurlong.wezterm", Kind::terminal},
        {"com.gexperts.tilix", Kind::terminal},
        {"xfce4-terminal", Kind::terminal},
        {"terminator", Kind::terminal},
        {"foot", Kind::terminal},
        {"xterm", Kind::terminal},
        {"code", Kind::code},
        {"code-oss", Kind::code},
        {"com.visualstudio.code", Kind::code},
        {"cursor", Kind::code},
        {"dev.zed.zed", Kind::code},
        {"zed", Kind::code},
        {"sublime_text", Kind::code},
        {"com.sublimetext.three", Kind::code},
        {"org.gnome.builder", Kind::code},
        {"obsidian", Kind::notes},
        {"md.obsidian.obsidian", Kind::notes},
        {"joplin", Kind::notes},
        {"net.cozic.joplin_desktop", Kind::notes},
        {"typora", Kind::notes},
        {"logseq", Kind::notes},
        {"com.logseq.logseq", Kind::notes},
        {"org.gnome.notes", Kind::notes},
    };
    return table;
}

constexpr std::array<std::pair<std::string_view, Kind>, 1> kLinuxPrefixMatch{{{"jetbrains-", Kind::code}}};

constexpr std::array<std::string_view, 3> kFieldHintAttributes{"AXPlaceholderValue", "AXDescription", "AXTitle"};

std::string asciiLowercased(std::string_view text) {
    std::string lowered(text);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(), [](unsigned char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c);
    });
    return lowered;
}

template <std::size_t N>
std::optional<Kind> prefixKind(const std::array<std::pair<std::string_view, Kind>, N>& rows, std::string_view id) {
    for (const auto& [prefix, kind] : rows) {
        if (id.starts_with(prefix)) return kind;
    }
    return std::nullopt;
}

}  // namespace

ContextProbe::ContextProbe(std::shared_ptr<const AccessibilityReader> accessibility)
    : accessibility_(std::move(accessibility)) {}

ContextProfile ContextProbe::detect(const std::optional<RunningApplication>& app) const {
    ContextProfile profile;
    profile.kind = kind(app ? app->bundleIdentifier : std::nullopt);
    if (app) profile.appName = app->localizedName;
    profile.fieldHint = fieldHint(app);
    return profile;
}

Kind ContextProbe::kind(const std::optional<std::string>& bundleID) {
    if (!bundleID) return Kind::generic;
    if (auto found = exactMatch().find(*bundleID); found != exactMatch().end()) return found->second;
    if (auto kind = prefixKind(kPrefixMatch, *bundleID)) return *kind;
    const std::string lowered = asciiLowercased(*bundleID);
    if (auto found = linuxExactMatch().find(lowered); found != linuxExactMatch().end()) return found->second;
    return prefixKind(kLinuxPrefixMatch, lowered).value_or(Kind::generic);
}

std::optional<std::string> ContextProbe::fieldHint(const std::optional<RunningApplication>& app) const {
    if (!accessibility_ || !app || !accessibility_->isProcessTrusted()) return std::nullopt;
    const std::unique_ptr<FocusedElement> element = accessibility_->focusedElement(app->processIdentifier);
    if (!element) return std::nullopt;
    for (std::string_view attribute : kFieldHintAttributes) {
        const std::optional<std::string> value = element->stringAttribute(attribute);
        if (!value) continue;
        const std::string_view trimmed = platform::text::trimmingWhitespacesAndNewlines(*value);
        if (trimmed.empty() || platform::text::graphemeCount(trimmed) > kMaxHintCharacters) continue;
        return std::string(trimmed);
    }
    return std::nullopt;
}

}  // namespace dictaro
