#pragma once

#include <string>

namespace dictaro {

// What became of a finished transcript.
class PasteOutcome {
public:
    enum class Kind {
        pasted,                // typed into the target; the clipboard is as it was
        copiedOnly,            // left on the clipboard; `message` says why
        emptyText,             // nothing to paste; nothing touched
        noTarget,              // no application to paste into; left on the clipboard
        accessibilityMissing,  // may not type into others; left on the clipboard
    };

    static PasteOutcome pasted(std::string appName) { return {Kind::pasted, std::move(appName)}; }
    static PasteOutcome copiedOnly(std::string message) { return {Kind::copiedOnly, std::move(message)}; }
    static PasteOutcome emptyText() { return {Kind::emptyText, {}}; }
    static PasteOutcome noTarget() { return {Kind::noTarget, {}}; }
    static PasteOutcome accessibilityMissing() { return {Kind::accessibilityMissing, {}}; }

    Kind kind() const { return kind_; }
    // The application's name for `pasted`.
    const std::string& appName() const { return text_; }
    // The sentence shown to the user for `copiedOnly`.
    const std::string& message() const { return text_; }

    bool operator==(const PasteOutcome&) const = default;

private:
    PasteOutcome(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

    Kind kind_;
    std::string text_;
};

}  // namespace dictaro
