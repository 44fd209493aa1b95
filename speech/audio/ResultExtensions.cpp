#include "speech/audio/ResultExtensions.h"

#include <algorithm>

#include "platform/text/CaseMapping.h"
#include "platform/text/UnicodeProperties.h"
#include "platform/text/Utf.h"
#include "speech/model/Constants.h"

namespace sonoscribe {

std::string trimmingSpecialTokenCharacters(std::string_view text) {
    std::u32string scalars = platform::text::toScalars(text);
    auto special = [](char32_t c) { return Constants::specialTokenCharacters.find(c) != std::u32string_view::npos; };
    const auto first = std::find_if_not(scalars.begin(), scalars.end(), special);
    const auto last = std::find_if_not(scalars.rbegin(), std::make_reverse_iterator(first), special).base();
    return platform::text::toUtf8(std::u32string_view(&*first, static_cast<std::size_t>(last - first)));
}

bool contains(const std::vector<TranscriptionSegment>& segments, const TranscriptionSegment& segment) {
    return std::any_of(segments.begin(), segments.end(),
                       [&](const TranscriptionSegment& other) { return other.start == segment.start; });
}

std::string normalized(std::string_view text) {
    std::u32string kept;
    for (char32_t c : platform::text::toScalars(platform::text::lowercased(text))) {
        if (c == U'-') c = U' ';
        if (platform::text::isPunctuation(c)) continue;
        if (c == U' ' && !kept.empty() && kept.back() == U' ') continue;
        kept.push_back(c);
    }
    return std::string(platform::text::trimmingWhitespacesAndNewlines(platform::text::toUtf8(kept)));
}

}  // namespace sonoscribe
