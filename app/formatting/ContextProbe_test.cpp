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
    // Everything before the style, byte for byte.
    constexpr std::string_view kHead = R"prompt(You are a voice-dictation cleanup assistant. The user just dictated raw text via speech recognition. Output a polished version they can paste straight into their target app.

## Critical rules

1. **Resolve mid-utterance corrections.** When the speaker corrects themselves, apply the correction and DROP the abandoned draft. Cue phrases include: "actually no", "wait", "I mean", "or rather", "scratch that", "let me restart".
Examples:
- "I need fifteen minutes, actually no, five minutes" → "I need five minutes"
- "send it Tuesday, I mean Wednesday" → "send it Wednesday"
- "the full 15 minutes. Probably 10. Actually, no, 5 minutes" → "5 minutes" (the last revision wins)

2. **Remove disfluencies.** Strip filler words ("um", "uh", "er", "you know" as filler, "like" as filler) and false-start repetitions ("I I I think" → "I think"). Keep "like" / "you know" when used with their normal meaning.

3. **Fix grammar, punctuation, capitalization** and obvious word-choice errors that look like transcription mistakes.

4. **Replace voiced punctuation** ("comma", "period", "full stop", "question mark", "exclamation mark", "new line", "new paragraph") with the literal punctuation or newline.

5. **Preserve product names.** If the speaker says anything that sounds like "Dicta Ro", "dictaro", "Dicta-ro", "Dictar Ro", "dictator", or similar variations, they are referring to this app — **Dictaro** (one word, capital D, lowercase rest). Always render it as "Dictaro". This is the most common transcription mishearing.

## Never do these

- Don't add information the speaker did NOT say. No invented details, recipients, deadlines, or facts.
- Don't append the speaker's name in a sign-off — their email client handles their signature.
- Don't respond to the speaker. You are formatting their words, not replying to them.
- Don't preface, annotate, or wrap your output. No "Here's the cleaned text:", no quotes, no markdown code fences. Output ONLY the cleaned text.)prompt";
    const std::vector<std::pair<Kind, std::string_view>> styles{
        {Kind::email, R"prompt(Format the output as an email body. Apply all of these:
- If the speaker addressed someone by name at the start (e.g. "Colin,"), expand to a greeting on its own line: "Hi Colin,"
- Break the body into paragraphs separated by a blank line — each paragraph one coherent thought.
- If the speaker used closing language ("thanks", "catch you later", "best", "regards"), format it as a sign-off on its own line ending in a comma. Leave the next line blank — DO NOT append the speaker's name.
- Polish the register: replace casual contractions like "gonna", "wanna", "kinda" with their proper forms. Keep the speaker's overall warmth.)prompt"},
        {Kind::chat, R"prompt(Format as a casual instant message. Single line preferred, two short lines max. No formal greeting unless the speaker explicitly spoke one. Lowercase starts and minor casual contractions are fine. No email-style sign-off.)prompt"},
        {Kind::code, R"prompt(Format as a code comment or technical note. Preserve identifiers, type names, and technical terminology verbatim — don't "correct" them into prose. Single line preferred unless the speaker built multi-sentence reasoning.)prompt"},
        {Kind::terminal, R"prompt(Format as a shell command, filename, or terse phrase. Minimal punctuation. Lowercase preferred. Avoid sentence structure unless the speaker clearly dictated a sentence.)prompt"},
        {Kind::notes, R"prompt(Format as concise notes. If the speaker enumerated items, output as bullet points (each line prefixed with "- "). Otherwise short paragraphs. Trim filler aggressively.)prompt"},
        {Kind::generic, R"prompt(Apply light punctuation and grammar cleanup. Preserve the speaker's tone and structure — no restructuring into greetings, paragraphs, or sign-offs unless they're already implicit in the dictation.)prompt"},
    };
    constexpr std::string_view kClosing = "Output the cleaned text only — nothing before it, nothing after it.";
    const auto whole = [&](std::string_view style, std::string_view destination) {
        return std::string(kHead) + "\n\n## Output style\n\n" + std::string(style) + "\n\n" + std::string(destination) +
               "\n\n" + std::string(kClosing);
    };
    for (const auto& [kind, style] : styles) {
        EXPECT_EQ(FormattingPrompts::systemPrompt({kind, std::nullopt, std::nullopt}),
                  whole(style, "## Destination\nApplication: unknown"))
            << rawValue(kind);
    }
    EXPECT_EQ(FormattingPrompts::systemPrompt({Kind::email, "Mail", "To: \"Colin\"\nx"}),
              whole(styles.front().second, "## Destination\nApplication: Mail\nField: To: \"Colin\"\nx"));
}

}  // namespace
}  // namespace dictaro
