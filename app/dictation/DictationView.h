#pragma once

#include "app/dictation/TranscriptDisplay.h"

namespace dictaro {

// The floating transcript panel with its content, as the dictation controller
// drives it. The panel implements it; tests drive the controller through a fake.
class DictationView {
public:
    virtual ~DictationView() = default;

    virtual void render(const TranscriptDisplay& display) = 0;
    virtual bool isVisible() const = 0;
    // Sizes and places the panel where the user left it and fades it in,
    // without taking the focus from the application being dictated into.
    virtual void showAtPersistedPosition() = 0;
    virtual void dismiss() = 0;
};

}  // namespace dictaro
