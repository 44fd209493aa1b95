#pragma once

#include <string>

#include "app/formatting/FormattingService.h"
#include "app/formatting/ProviderExchange.h"

namespace dictaro {

// What every provider shares: `format` runs the provider's own exchange,
// `Derived::stream`, on a copy of the formatter in a task of its own.
template <class Derived>
struct StreamingFormatter : FormattingService {
    // How long the answer may stay silent before the exchange fails.
    double timeoutInterval = provider::kTimeoutInterval;

    FormattingStream format(const std::string& transcript, const ContextProfile& context) const final {
        return FormattingStream::start(
            [self = static_cast<const Derived&>(*this), transcript, context](const FormattingStream::Yield& yield) {
                return self.stream(transcript, context, yield);
            });
    }
};

}  // namespace dictaro
