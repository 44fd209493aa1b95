#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string_view>

namespace platform::x11 {
class KeyGrabber;
}

namespace dictaro {

// The global hot key, Super+Alt+M, grabbed on the whole screen. Each press
// (not its autorepeats) runs the registered handler on the main actor.
class HotkeyManager {
public:
    enum class Action : uint32_t { toggle = 1 };

    // How the hot key is written wherever the user reads it.
    static constexpr std::string_view label = "Super+Alt+M";

    HotkeyManager();
    ~HotkeyManager();
    HotkeyManager(const HotkeyManager&) = delete;
    HotkeyManager& operator=(const HotkeyManager&) = delete;

    // Grabs the action's key afresh and keeps `handler` in place of any
    // earlier one. A refusal is written to the system log and to the
    // application's log.
    void registerAction(Action action, std::function<void()> handler);

    // Lets go of every key and forgets every handler.
    void unregisterAll();

private:
    void handlePress(int grabId, bool isRepeat);

    struct Handlers;
    std::shared_ptr<Handlers> handlers_;
    std::unique_ptr<platform::x11::KeyGrabber> grabber_;
};

std::string_view caseName(HotkeyManager::Action action);

}  // namespace dictaro
