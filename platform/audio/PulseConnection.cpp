#include "platform/audio/PulseConnection.h"

#include <pulse/pulseaudio.h>

namespace platform::audio {

PulseConnection::PulseConnection(const std::string& clientName) {
    mainloop_ = pa_threaded_mainloop_new();
    if (mainloop_ == nullptr) return;
    context_ = pa_context_new(pa_threaded_mainloop_get_api(mainloop_), clientName.c_str());
    if (context_ == nullptr) return;
    pa_context_set_state_callback(
        context_, [](pa_context*, void* loop) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0); },
        mainloop_);
    if (pa_threaded_mainloop_start(mainloop_) < 0) return;
    pa_threaded_mainloop_lock(mainloop_);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        while (true) {
            const pa_context_state_t state = pa_context_get_state(context_);
            if (state == PA_CONTEXT_READY) {
                connected_ = true;
                break;
            }
            if (!PA_CONTEXT_IS_GOOD(state)) break;
            pa_threaded_mainloop_wait(mainloop_);
        }
    }
    pa_threaded_mainloop_unlock(mainloop_);
}

PulseConnection::~PulseConnection() {
    if (mainloop_ != nullptr) pa_threaded_mainloop_stop(mainloop_);
    if (context_ != nullptr) {
        pa_context_disconnect(context_);
        pa_context_unref(context_);
    }
    if (mainloop_ != nullptr) pa_threaded_mainloop_free(mainloop_);
}

void PulseConnection::wait(pa_operation* operation) const {
    if (operation == nullptr) return;
    while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) pa_threaded_mainloop_wait(mainloop_);
    pa_operation_unref(operation);
}

PulseLock::PulseLock(const PulseConnection& connection) : mainloop_(connection.mainloop()) {
    pa_threaded_mainloop_lock(mainloop_);
}

PulseLock::~PulseLock() { pa_threaded_mainloop_unlock(mainloop_); }

}  // namespace platform::audio
