#pragma once

#include <string>
#include <vector>

namespace dictaro {

// Starts a program found on PATH with an argument list, detached from this
// process's terminal and output, and does not wait for it. False when no
// such program is found or it cannot be started.
bool launchProgram(const std::string& name, const std::vector<std::string>& arguments);

// Whether PATH holds a program of that name that could be started.
bool isProgramOnPath(const std::string& name);

}  // namespace dictaro
