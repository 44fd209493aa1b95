#include "app/formatting/ContextProbe.h"

#include <gtest/gtest.h>

#include <map>

#include "app/formatting/FormattingPrompts.h"

namespace dictaro {
namespace {

using Kind = ContextProfile::Kind;

// An accessibility interface whose focused element holds fixed attributes.
class FakeAccessibility final : public AccessibilityReader {
public:
    bool trusted = true;
    std::optional<std::map<std::string, std::string, std::less<>>> focused;
    mutable int askedForPid = 0;

    bool isProcessTrusted() const override { return trusted; }
    std::unique_ptr<FocusedElement> focusedElement(int processIdentifier) const override {
        askedForPid = processIdentifier;
        if (!focused) return nullptr;
        struct Element final : FocusedElement {
            std::map<std::string, std::string, std::less<>> attributes;
            std::optional<std::string> stringAttribute(std::string_view name) const override {
                auto found = attributes.find(name);
                if (found == attributes.end()) return std::nullopt;
                return found->second;
            }
        };
        auto element = std::make_unique<Element>();
        element->attributes = *focused;
        return element;
    }
};

TEST(ContextProbe, ClassifiesApplicationsByTheirIdentifiers) {
    const std::vector<std::pair<std::optional<std::string>, Kind>> cases{
        {std::nullopt, Kind::generic},
        {"com.apple.mail", Kind::email},
        {"com.apple.Mail", Kind::generic},
        {"COM.APPLE.MAIL", Kind::generic},
        {"com.tinyspeck.slackmacgap", Kind::chat},
        {"com.mitchellh.ghostty", Kind::terminal},
        {"net.kovidgoyal.kitty", Kind::terminal},
        {"com.todesktop.230313mzl4w4u92", Kind::code},
        {"abnerworks.Typora", Kind::notes},
        {"com.jetbrains.intellij", Kind::code},
        {"com.jetbrains.", Kind::code},
        {"com.jetbrains", Kind::generic},
        // The same kinds of application as a Linux desktop names them.
        {"org.gnome.Evolution", Kind::email},
        {"thunderbird", Kind::email},
        {"Slack", Kind::chat},
        {"discord", Kind::chat},
        {"org.telegram.desktop", Kind::chat},
        {"signal", Kind::chat},
        {"org.gnome.Terminal", Kind::terminal},
        {"org.kde.konsole", Kind::terminal},
        {"kitty", Kind::terminal},
        {"Alacritty", Kind::terminal},
        {"code", Kind::code},
        {"dev.zed.Zed", Kind::code},
        {"sublime_text", Kind::code},
        {"obsidian", Kind::notes},
        {"jetbrains-pycharm", Kind::code},
        {"jetbrains", Kind::generic},
        {"org.gnome.Nautilus", Kind::generic},
        {"", Kind::generic},
    };
    for (const auto& [id, kind] : cases) {
        EXPECT_EQ(ContextProbe::kind(id), kind) << id.value_or("(none)");
    }
}

TEST(ContextProbe, ReadsTheFirstFittingFieldHint) {
    const std::string eighty(80, 'x');
    struct Case {
        const char* name;
        bool trusted;
        std::optional<std::map<std::string, std::string, std::less<>>> focused;
        std::optional<std::string> hint;
    };
    const std::vector<Case> cases{
        {"placeholder first", true, {{{"AXPlaceholderValue", "Message #general"}, {"AXTitle", "Title"}}}, "Message #general"},
        {"too long and empty fall through to the title", true,
         {{{"AXPlaceholderValue", std::string(81, 'x')}, {"AXDescription", " \n"}, {"AXTitle", "  Subject \n"}}},
         "Subject"},
        {"80 characters are fine", true, {{{"AXDescription", eighty}}}, eighty},
        {"80 characters of several bytes each are fine", true,
         {{{"AXTitle", [] {
              std::string text;
              for (int i = 0; i < 80; ++i) text += "\xC3\xA9";
              return text;
          }()}}},
         [] {
             std::string text;
             for (int i = 0; i < 80; ++i) text += "\xC3\xA9";
             return text;
         }()},
        {"nothing qualifies", true, {{{"AXTitle", ""}}}, std::nullopt},
        {"no focused element", true, std::nullopt, std::nullopt},
        {"not trusted", false, {{{"AXTitle", "Subject"}}}, std::nullopt},
    };
    for (const Case& scripted : cases) {
        SCOPED_TRACE(scripted.name);
        auto accessibility = std::make_shared<FakeAccessibility>();
        accessibility->trusted = scripted.trusted;
        accessibility->focused = scripted.focused;
        const ContextProbe probe(accessibility);
        const ContextProfile profile = probe.detect(RunningApplication{"org.gnome.Evolution", "Evolution", 4242});
        EXPECT_EQ(profile, (ContextProfile{Kind::email, "Evolution", scripted.hint}));
    }
    EXPECT_EQ(ContextProbe(std::make_shared<FakeAccessibility>()).detect(std::nullopt), ContextProfile{});
}

TEST(FormattingPrompts, BuildsThePromptAroundTheDestination) {
    const std::string generic = FormattingPrompts::systemPrompt({});
    EXPECT_TRUE(generic.starts_with("You are a voice-dictation cleanup assistant."));
    EXPECT_NE(generic.find("\n\n## Destination\nApplication: unknown\n\nOutput the cleaned text only \xE2\x80\x94 nothing "
                           "before it, nothing after it."),
              std::string::npos);
    EXPECT_TRUE(generic.ends_with("nothing after it."));
    EXPECT_EQ(generic.find("Field: "), std::string::npos);
    EXPECT_NE(generic.find("## Output style\n\nApply light punctuation and grammar cleanup."), std::string::npos);
    EXPECT_NE(generic.find("\"let me restart\".\nExamples:\n- \"I need fifteen minutes, actually no, five minutes\" "
                           "\xE2\x86\x92 \"I need five minutes\""),
              std::string::npos);
    EXPECT_NE(generic.find("literal punctuation or newline.\n\n5. **Preserve product names.** If the speaker says "
                           "anything that sounds like \"Dicta Ro\", \"dictaro\", \"Dicta-ro\", \"Dictar Ro\", "
                           "\"dictator\", or similar variations, they are referring to this app \xE2\x80\x94 **Dictaro**"),
              std::string::npos);
    EXPECT_NE(generic.find("most common transcription mishearing.\n\n## Never do these\n\n- Don't add information"),
              std::string::npos);

    const std::string email = FormattingPrompts::systemPrompt({Kind::email, "Mail", "To: \"Colin\"\nx"});
    EXPECT_TRUE(email.ends_with("## Destination\nApplication: Mail\nField: To: \"Colin\"\nx\n\nOutput the cleaned text "
                                "only \xE2\x80\x94 nothing before it, nothing after it."));
    const std::vector<std::pair<Kind, const char*>> styles{
        {Kind::email, "## Output style\n\nFormat the output as an email body. Apply all of these:\n- If the speaker"},
        {Kind::chat, "## Output style\n\nFormat as a casual instant message."},
        {Kind::code, "## Output style\n\nFormat as a code comment or technical note."},
        {Kind::terminal, "## Output style\n\nFormat as a shell command, filename, or terse phrase."},
        {Kind::notes, "## Output style\n\nFormat as concise notes."},
    };
    for (const auto& [kind, style] : styles) {
        EXPECT_NE(FormattingPrompts::systemPrompt({kind, std::nullopt, std::nullopt}).find(style), std::string::npos)
            << rawValue(kind);
    }
}

}  // namespace
}  // namespace dictaro
