#include "app/dictation/TranscriptionStatus.h"

namespace dictaro {

std::string TranscriptionStatus::description() const {
    switch (kind) {
        case Kind::loading: return "loading";
        case Kind::ready: return "ready";
        case Kind::recording: return "recording";
        case Kind::paused: return "paused";
        case Kind::error: return "error(\"" + message + "\")";
    }
    return "loading";
}

}  // namespace dictaro
