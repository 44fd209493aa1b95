#pragma once

#include <array>
#include <string_view>

namespace sonoscribe {

enum class ModelVariant { tiny, tinyEn, base, baseEn, small, smallEn, medium, mediumEn, large, largev2, largev3 };

inline constexpr std::array<ModelVariant, 11> allModelVariants{
    ModelVariant::tiny,   ModelVariant::tinyEn,   ModelVariant::base,  ModelVariant::baseEn,
    ModelVariant::small,  ModelVariant::smallEn,  ModelVariant::medium, ModelVariant::mediumEn,
    ModelVariant::large,  ModelVariant::largev2,  ModelVariant::largev3,
};

// The display name: "tiny", "tiny.en", ..., "large-v3".
std::string_view description(ModelVariant variant);

// False only for the four English-only sizes.
bool isMultilingual(ModelVariant variant);

}  // namespace sonoscribe
