#pragma once

#include <string_view>

#include "mlcore/foundation/Logging.h"
#include "platform/log/Signposter.h"

namespace sonoscribe {

// The core logger, extended with the engine's per-area loggers and
// signposters and with the two calls that mark a performance interval for
// the tracing tools. Intervals carry no data and change nothing in the
// pipeline; with no trace sink listening they cost one check.
class Logging : public celvan::Logging {
public:
    struct AudioEncoding {
        static const platform::log::Logger& logger();
        static platform::log::Signposter& signposter();
    };
    struct FeatureExtractor {
        static const platform::log::Logger& logger();
        static platform::log::Signposter& signposter();
    };
    struct TranscribeTask {
        static const platform::log::Logger& logger();
        static platform::log::Signposter& signposter();
    };

    // Always returns an open interval, emitted or not.
    static platform::log::SignpostIntervalState beginSignpost(std::string_view name,
                                                              platform::log::Signposter& signposter);
    // Ending an interval twice emits the second end with the message
    // "[Error] Interval already ended".
    static void endSignpost(std::string_view name, const platform::log::SignpostIntervalState& interval,
                            platform::log::Signposter& signposter);
};

}  // namespace sonoscribe
