#include "platform/text/DominantLanguage.h"

#include <climits>

#include <cld2/public/compact_lang_det.h>

namespace platform::text {

std::optional<std::string> dominantLanguage(std::string_view text) {
    if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
    bool isReliable = false;
    int validPrefixBytes = 0;
    const CLD2::Language language = CLD2::DetectLanguageCheckUTF8(
        text.data(), static_cast<int>(text.size()), true, &isReliable, &validPrefixBytes);
    if (language == CLD2::UNKNOWN_LANGUAGE || language == CLD2::TG_UNKNOWN_LANGUAGE) return std::nullopt;
    // The detector tells the traditional script apart ("zh-Hant"); callers
    // want the language.
    if (language == CLD2::CHINESE || language == CLD2::CHINESE_T) return "zh";
    const char* code = CLD2::LanguageCode(language);
    if (code == nullptr || *code == '\0') return std::nullopt;
    return std::string(code);
}

}  // namespace platform::text
