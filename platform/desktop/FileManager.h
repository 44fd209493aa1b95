#pragma once

#include <filesystem>
#include <stdexcept>

namespace platform::desktop {

// What the bus or the file manager answered instead of showing an item.
class FileManagerError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Selects the item in a window of the user's file manager, through the
// freedesktop FileManager1 interface on the session bus. Waits for the
// answer, up to a few seconds since the bus may have to start the file
// manager first, so callers on the UI thread run it elsewhere. Throws
// FileManagerError, with the bus's message, when no file manager answers or
// it refuses; the caller then has to fall back.
void showItem(const std::filesystem::path& item);

}  // namespace platform::desktop
