#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clipboard/Pasteboard.h"

namespace platform::clipboard {

// The clipboard of a program that quits lives on in a small process of its
// own, as command-line clipboard tools do: started with the contents on its
// standard input, it serves them until another program takes the clipboard,
// then ends.

// Starts `command` as that process with `contents`; whether it started and
// took them.
bool startClipboardKeeper(const std::vector<std::string>& command, const PasteboardSnapshot& contents);

// The whole life of that process, for the program's entry point; its exit
// status.
int runClipboardKeeper(int argc, char** argv);

// The contents as they travel to the keeper, and back; absent when the bytes
// are not such contents.
std::string encodeContents(const PasteboardSnapshot& contents);
std::optional<PasteboardSnapshot> decodeContents(std::string_view bytes);

}  // namespace platform::clipboard
