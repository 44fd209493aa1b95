#pragma once

#include <string>

#include "app/formatting/ContextProfile.h"

namespace dictaro {

// The instructions every provider sends ahead of the transcript.
struct FormattingPrompts {
    FormattingPrompts() = delete;

    static std::string systemPrompt(const ContextProfile& profile);
};

}  // namespace dictaro
