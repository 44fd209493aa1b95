#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "speech/model/TranscriptionSegment.h"

namespace sonoscribe {

// Trims the characters of special-token brackets from both ends.
std::string trimmingSpecialTokenCharacters(std::string_view text);

// True when some segment starts exactly when the given one does.
bool contains(const std::vector<TranscriptionSegment>& segments, const TranscriptionSegment& segment);

// Lower case, hyphens as blanks, no punctuation, single blanks, trimmed.
std::string normalized(std::string_view text);

}  // namespace sonoscribe
