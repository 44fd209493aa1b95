#pragma once

#include "platform/text/UnicodeProperties.h"
#include "platform/text/Utf.h"

#include <string_view>

namespace celvan {

// A character (grapheme cluster) counts as whitespace when its first scalar
// has the White_Space property, line breaks included.
inline bool isWhitespaceCharacter(std::string_view character) {
    const auto scalars = platform::text::toScalars(character);
    return !scalars.empty() && platform::text::isWhiteSpace(scalars.front());
}

} // namespace celvan
