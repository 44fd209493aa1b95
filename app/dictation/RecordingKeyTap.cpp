#include "app/dictation/RecordingKeyTap.h"

#include "app/dictation/Log.h"
#include "platform/concurrency/MainActor.h"
#include "platform/x11/KeyGrabber.h"

namespace dictaro {
namespace {

using platform::x11::KeyPosition;

KeyPosition positionOf(TappedRecordingKey key) {
    switch (key) {
    case TappedRecordingKey::cancel: return KeyPosition::escape;
    case TappedRecordingKey::pause: return KeyPosition::space;
    case TappedRecordingKey::restart: return KeyPosition::r;
    case TappedRecordingKey::stop: return KeyPosition::returnKey;
    }
    return KeyPosition::escape;
}

}  // namespace

RecordingKeyTap::RecordingKeyTap(std::function<void(TappedRecordingKey)> perform)
    : perform_(std::make_shared<std::function<void(TappedRecordingKey)>>(std::move(perform))) {}

RecordingKeyTap::~RecordingKeyTap() {
    remove();
}

void RecordingKeyTap::install(std::span<const TappedRecordingKey> keys) {
    remove();
    auto onPress = [perform = std::weak_ptr(perform_)](platform::x11::KeyGrabber::Press press) {
        // The grab already kept the key from the focused application; a
        // repeat of a held key does nothing more.
        if (press.isRepeat) return;
        platform::MainActor::post([perform, key = static_cast<TappedRecordingKey>(press.grabId)] {
            if (auto alive = perform.lock()) (*alive)(key);
        });
    };
    bool taken = true;
    try {
        if (!grabber_) grabber_ = std::make_unique<platform::x11::KeyGrabber>(onPress);
        for (TappedRecordingKey key : keys) {
            const int id = static_cast<int>(key);
            // Esc cancels whatever is held with it.
            taken = taken && (key == TappedRecordingKey::cancel ? grabber_->grabWithAnyModifiers(id, positionOf(key))
                                                                : grabber_->grab(id, positionOf(key), 0)) == 0;
        }
    } catch (const platform::x11::X11Error&) {
        taken = false;
    }
    if (!taken) {
        if (grabber_) {
            for (TappedRecordingKey key : allTappedRecordingKeys) grabber_->ungrab(static_cast<int>(key));
        }
        Log::error("eventTap", "failed to create recording event tap — Accessibility likely missing");
        return;
    }
    installed_ = true;
}

void RecordingKeyTap::remove() {
    if (!installed_) return;
    for (TappedRecordingKey key : allTappedRecordingKeys) grabber_->ungrab(static_cast<int>(key));
    installed_ = false;
}

}  // namespace dictaro
