#include "speech/model/WhisperError.h"

#include "mlcore/foundation/Logging.h"

namespace sonoscribe {

std::optional<std::string> WhisperError::errorDescription() const {
    celvan::Logging::error(message_);
    return message_;
}

}  // namespace sonoscribe
