#pragma once

#include <cstdint>
#include <string>

#include "speech/model/TranscriptionTimings.h"

namespace sonoscribe {

// The fixed-layout timing report of a run whose segments hold totalTokens
// tokens: one line per figure, joined by line feeds, no trailing line feed.
std::string timingReport(const TranscriptionTimings& timings, int64_t totalTokens);

}  // namespace sonoscribe
