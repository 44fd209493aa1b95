#include "app/formatting/FormattingPrompts.h"

#include <string_view>
#include <vector>

namespace dictaro {

namespace {

constexpr std::string_view kIntroduction = R"prompt(You are a voice-dictation cleanup assistant. The user just dictated raw text via speech recognition. Output a polished version they can paste straight into their target app.)prompt";

constexpr std::string_view kCriticalRules = R"prompt(## Critical rules

1. **Resolve mid-utterance corrections.** When the speaker corrects themselves, apply the correction and DROP the abandoned draft. Cue phrases include: "actually no", "wait", "I mean", "or rather", "scratch that", "let me restart".
Examples:
- "I need fifteen minutes, actually no, five minutes" → "I need five minutes"
- "send it Tuesday, I mean Wednesday" → "send it Wednesday"
- "the full 15 minutes. Probably 10. Actually, no, 5 minutes" → "5 minutes" (the last revision wins)

2. **Remove disfluencies.** Strip filler words ("um", "uh", "er", "you know" as filler, "like" as filler) and false-start repetitions ("I I I think" → "I think"). Keep "like" / "you know" when used with their normal meaning.

3. **Fix grammar, punctuation, capitalization** and obvious word-choice errors that look like transcription mistakes.

4. **Replace voiced punctuation** ("comma", "period", "full stop", "question mark", "exclamation mark", "new line", "new paragraph") with the literal punctuation or newline.)prompt";

constexpr std::string_view kProductNameRuleStart = R"prompt(5. **Preserve product names.** If the speaker says anything that sounds like)prompt";

constexpr std::string_view kProductNameRuleEnd = R"prompt(, or similar variations, they are referring to this app — **Dictaro** (one word, capital D, lowercase rest). Always render it as "Dictaro". This is the most common transcription mishearing.)prompt";

constexpr std::string_view kProhibitions = R"prompt(## Never do these

- Don't add information the speaker did NOT say. No invented details, recipients, deadlines, or facts.
- Don't append the speaker's name in a sign-off — their email client handles their signature.
- Don't respond to the speaker. You are formatting their words, not replying to them.
- Don't preface, annotate, or wrap your output. No "Here's the cleaned text:", no quotes, no markdown code fences. Output ONLY the cleaned text.)prompt";

constexpr std::string_view kEmailStyle = R"prompt(Format the output as an email body. Apply all of these:
- If the speaker addressed someone by name at the start (e.g. "Colin,"), expand to a greeting on its own line: "Hi Colin,"
- Break the body into paragraphs separated by a blank line — each paragraph one coherent thought.
- If the speaker used closing language ("thanks", "catch you later", "best", "regards"), format it as a sign-off on its own line ending in a comma. Leave the next line blank — DO NOT append the speaker's name.
- Polish the register: replace casual contractions like "gonna", "wanna", "kinda" with their proper forms. Keep the speaker's overall warmth.)prompt";

constexpr std::string_view kChatStyle = R"prompt(Format as a casual instant message. Single line preferred, two short lines max. No formal greeting unless the speaker explicitly spoke one. Lowercase starts and minor casual contractions are fine. No email-style sign-off.)prompt";

constexpr std::string_view kCodeStyle = R"prompt(Format as a code comment or technical note. Preserve identifiers, type names, and technical terminology verbatim — don't "correct" them into prose. Single line preferred unless the speaker built multi-sentence reasoning.)prompt";

constexpr std::string_view kTerminalStyle = R"prompt(Format as a shell command, filename, or terse phrase. Minimal punctuation. Lowercase preferred. Avoid sentence structure unless the speaker clearly dictated a sentence.)prompt";

constexpr std::string_view kNotesStyle = R"prompt(Format as concise notes. If the speaker enumerated items, output as bullet points (each line prefixed with "- "). Otherwise short paragraphs. Trim filler aggressively.)prompt";

constexpr std::string_view kGenericStyle = R"prompt(Apply light punctuation and grammar cleanup. Preserve the speaker's tone and structure — no restructuring into greetings, paragraphs, or sign-offs unless they're already implicit in the dictation.)prompt";

// How speech recognition tends to hear the product's name.
constexpr std::string_view kNameSoundAlikes = "\"Dicta Ro\", \"dictaro\", \"Dicta-ro\", \"Dictar Ro\", \"dictator\"";

constexpr std::string_view kOutputStyleHeading = "## Output style\n\n";
constexpr std::string_view kClosingLine = "Output the cleaned text only — nothing before it, nothing after it.";

std::string_view styleText(ContextProfile::Kind kind) {
    switch (kind) {
        case ContextProfile::Kind::email: return kEmailStyle;
        case ContextProfile::Kind::chat: return kChatStyle;
        case ContextProfile::Kind::code: return kCodeStyle;
        case ContextProfile::Kind::terminal: return kTerminalStyle;
        case ContextProfile::Kind::notes: return kNotesStyle;
        case ContextProfile::Kind::generic: break;
    }
    return kGenericStyle;
}

std::string joined(const std::vector<std::string>& parts, std::string_view separator) {
    std::string text;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) text += separator;
        text += parts[i];
    }
    return text;
}

}  // namespace

std::string FormattingPrompts::systemPrompt(const ContextProfile& profile) {
    std::string rules(kCriticalRules);
    rules += "\n\n";
    rules += kProductNameRuleStart;
    rules += ' ';
    rules += kNameSoundAlikes;
    rules += kProductNameRuleEnd;

    std::vector<std::string> destination{"## Destination", "Application: " + profile.appName.value_or("unknown")};
    if (profile.fieldHint) destination.push_back("Field: " + *profile.fieldHint);

    return joined({std::string(kIntroduction), rules, std::string(kProhibitions),
                   std::string(kOutputStyleHeading) + std::string(styleText(profile.kind)), joined(destination, "\n"),
                   std::string(kClosingLine)},
                  "\n\n");
}

}  // namespace dictaro
