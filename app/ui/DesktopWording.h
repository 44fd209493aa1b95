#pragma once

#include <string_view>

#include "app/dictation/HotkeyManager.h"

namespace dictaro {

// The words this desktop uses where the texts name a key chord, the system,
// its settings program or its file viewer. Every such text is built from these.
namespace wording {

inline constexpr std::string_view hotkey = HotkeyManager::label;
inline constexpr std::string_view system = "Linux";
inline constexpr std::string_view systemSettings = "Settings";
inline constexpr std::string_view fileViewer = "File Manager";

}  // namespace wording
}  // namespace dictaro
