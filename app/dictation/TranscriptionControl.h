#pragma once

#include <functional>
#include <string>

#include "app/dictation/TranscriptionStatus.h"

namespace dictaro {

// The speech service as the dictation controller drives it. Every member is
// called on the main actor, and every callback and completion comes back on
// it; none of them blocks the main actor.
class TranscriptionControl {
public:
    using StatusHandler = std::function<void(const TranscriptionStatus&)>;
    using TranscriptHandler = std::function<void(const std::string&)>;

    virtual ~TranscriptionControl() = default;

    virtual TranscriptionStatus status() const = 0;
    // Called once per real change of the status, with the new one.
    virtual void setOnStatusChange(StatusHandler handler) = 0;
    // Called with the whole live transcript whenever it changes.
    virtual void setOnTranscriptUpdate(TranscriptHandler handler) = 0;

    // Begins a live dictation; acts only when ready.
    virtual void start() = 0;
    // Ends the dictation; `done` receives the trimmed transcript once the
    // service is ready again (at once, with "", when nothing ran).
    virtual void stop(std::function<void(std::string)> done) = 0;
    // Acts only while recording.
    virtual void pause() = 0;
    // Acts only while paused.
    virtual void resume() = 0;
    // Throws the text away and begins again; acts only while recording or paused.
    virtual void restart() = 0;
    // Acts only after an error; the service is ready (or loading its model
    // again) afterwards.
    virtual void recoverFromError() = 0;
};

}  // namespace dictaro
