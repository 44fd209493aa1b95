#pragma once

namespace platform {

// Per-prediction settings. Predictions here take none yet; the type keeps
// call sites shaped the way the model interface expects.
struct MLPredictionOptions {};

}  // namespace platform
