#pragma once

#include <string>

#include "app/formatting/ContextProfile.h"
#include "app/formatting/FormattingStream.h"

namespace dictaro {

// A language model that rewrites a raw transcript for the place it goes to.
class FormattingService {
public:
    virtual ~FormattingService() = default;

    // Returns at once; the exchange runs in a task of its own.
    virtual FormattingStream format(const std::string& transcript, const ContextProfile& context) const = 0;
};

}  // namespace dictaro
