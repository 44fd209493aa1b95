#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform::text {

// The language most of a UTF-8 text is written in, as a language code ("en",
// "de", "ja"; "zh" for Chinese in either script); none when the text is too
// short or too mixed to tell, or is not valid UTF-8.
std::optional<std::string> dominantLanguage(std::string_view text);

}  // namespace platform::text
