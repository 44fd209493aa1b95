#include "app/dictation/HotkeyManager.h"

#include <mutex>
#include <string>

#include "app/dictation/Log.h"
#include "platform/concurrency/MainActor.h"
#include "platform/log/SystemLog.h"
#include "platform/x11/KeyGrabber.h"

namespace dictaro {
namespace {

// A display that cannot be opened has no X error code of its own.
constexpr int noDisplayStatus = -1;

const platform::log::Logger& systemLog() {
    static const platform::log::Logger logger("com.pelmaroven.dictaro", "HotkeyManager");
    return logger;
}

}  // namespace

// Read on the grabber's reader thread, written on the main thread.
struct HotkeyManager::Handlers {
    std::mutex mutex;
    std::map<Action, std::function<void()>> byAction;
};

std::string_view caseName(HotkeyManager::Action action) {
    switch (action) {
    case HotkeyManager::Action::toggle: return "toggle";
    }
    return "toggle";
}

HotkeyManager::HotkeyManager() : handlers_(std::make_shared<Handlers>()) {}

HotkeyManager::~HotkeyManager() {
    unregisterAll();
}

void HotkeyManager::registerAction(Action action, std::function<void()> handler) {
    int status = 0;
    if (!grabber_) {
        try {
            grabber_ = std::make_unique<platform::x11::KeyGrabber>(
                [this](platform::x11::KeyGrabber::Press press) { handlePress(press.grabId, press.isRepeat); });
        } catch (const platform::x11::X11Error&) {
            status = noDisplayStatus;
        }
    }
    if (grabber_) grabber_->ungrab(static_cast<int>(action));
    {
        std::lock_guard lock(handlers_->mutex);
        handlers_->byAction[action] = std::move(handler);
    }
    using platform::x11::Modifier;
    if (grabber_) {
        status = grabber_->grab(static_cast<int>(action), platform::x11::KeyPosition::m, Modifier::super | Modifier::alt);
    }
    const std::string name(caseName(action));
    if (status == 0) {
        systemLog().log(platform::log::LogType::defaultType, "HotkeyManager: registered " + name);
    } else {
        const std::string refused = "HotkeyManager: failed to register " + name + ", status=" + std::to_string(status);
        systemLog().log(platform::log::LogType::defaultType, refused);
        // The user looks for why the hot key does nothing in our own log.
        Log::error("app", refused);
    }
}

void HotkeyManager::unregisterAll() {
    if (grabber_) grabber_->ungrab(static_cast<int>(Action::toggle));
    std::lock_guard lock(handlers_->mutex);
    handlers_->byAction.clear();
}

void HotkeyManager::handlePress(int grabId, bool isRepeat) {
    if (isRepeat || grabId != static_cast<int>(Action::toggle)) return;
    // The handler is looked up on the main actor, so one that was replaced
    // or dropped in the meantime does not run.
    platform::MainActor::post([handlers = std::weak_ptr<Handlers>(handlers_)] {
        auto alive = handlers.lock();
        if (!alive) return;
        std::function<void()> handler;
        {
            std::lock_guard lock(alive->mutex);
            auto found = alive->byAction.find(Action::toggle);
            if (found == alive->byAction.end()) return;
            handler = found->second;
        }
        handler();
    });
}

}  // namespace dictaro
