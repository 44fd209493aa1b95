#include "speech/model/ModelVariant.h"

namespace sonoscribe {

std::string_view description(ModelVariant variant) {
    static constexpr std::array<std::string_view, 11> names{
        "tiny", "tiny.en", "base", "base.en", "small", "small.en",
        "medium", "medium.en", "large", "large-v2", "large-v3",
    };
    return names[static_cast<std::size_t>(variant)];
}

bool isMultilingual(ModelVariant variant) {
    // One bit per case in declaration order; the English-only sizes are clear.
    constexpr unsigned multilingualMask = 0x755;
    return (multilingualMask >> static_cast<unsigned>(variant)) & 1u;
}

}  // namespace sonoscribe
