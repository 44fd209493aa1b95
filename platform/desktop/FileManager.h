#pragma once

#include <filesystem>

namespace platform::desktop {

// Selects the item in a window of the user's file manager, through the
// freedesktop FileManager1 interface on the session bus. False when no file
// manager answers or it refuses; the caller then has to fall back.
bool showItem(const std::filesystem::path& item);

}  // namespace platform::desktop
